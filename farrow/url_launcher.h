// Farrow: hands the text after its own name on the command line, unchanged, to the default
// browser: the program that Windows names for https, or where there is none the program that
// opens .\DefaultCheck.htm.
#pragma once
#include "platform/process_starter.h"

// The whole run; the exit code, always 0.
int runUrlLauncher(platform::ProcessStarter& system, const char* commandTail);
