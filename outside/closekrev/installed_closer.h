// "CloseKREV.exe /installed <folder>", as the installer and the uninstaller start it before they
// touch the folder's files: ends every program of ours whose file lies in <folder>, in every
// session, and waits until none runs.
#pragma once
#include "platform/processes.h"

namespace installed_closer {

constexpr unsigned kWaitMs = 10000;
constexpr unsigned kLookAgainMs = 200;

// 0 when none runs any more; 1 when one still does (a Krev defers Exit while its version
// message box is open), or when a process named as one of ours cannot be asked where its
// program lies.
int endProgramsIn(platform::Processes& system, const char* folder);

}  // namespace installed_closer
