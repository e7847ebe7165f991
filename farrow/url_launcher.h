// Farrow: hands the text after its own name on the command line, unchanged, to the program
// that opens .\DefaultCheck.htm (the default browser).
#pragma once
#include "platform/process_starter.h"

// The whole run; the exit code, always 0.
int runUrlLauncher(platform::ProcessStarter& system, const char* commandTail);
