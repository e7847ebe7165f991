// PortalLaunch: opens the portal page in the program that Windows names for https, or where
// there is none in the program that opens the product folder's DefaultCheck.htm, looked for on
// drives C: to G:.
#pragma once
#include "platform/process_starter.h"

// The whole run; the exit code, always 0.
int runPortalLauncher(platform::ProcessStarter& system);
