// Runlatch: starts autorun.exe from the working directory, shown, without arguments.
#pragma once
#include "platform/process_starter.h"

// The whole run; the exit code, always 0.
int runAutorunStarter(platform::ProcessStarter& system);
