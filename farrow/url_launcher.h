// Farrow: hands the text after its own name on the command line, unchanged, to the default
// browser: the program that Windows opens for https for this user, or where there is none the
// program that opens .\DefaultCheck.htm; where neither can be started, the shell opens the
// text, when it is one of the product's own addresses.
#pragma once
#include "platform/process_starter.h"

// The whole run; the exit code, always 0.
int runUrlLauncher(platform::ProcessStarter& system, const wchar_t* commandTail);
