// "CloseKREV.exe /installed <folder> [<report>]", as the installer and the uninstaller start it
// before they touch the folder's files: ends every program of ours that runs from <folder>, in
// every session, and waits until none runs. With a report, it first asks the Restart Manager
// what else holds one of our files there, and ends nothing when something does; where the
// Restart Manager cannot answer, a file that still does not open without sharing once ours
// have ended is held by another program.
#pragma once
#include "platform/processes.h"

namespace installed_closer {

constexpr unsigned kWaitMs = 10000;
constexpr unsigned kLookAgainMs = 200;

enum ExitCode {
    kNoneRuns = 0,
    kStillRuns = 1,     // a Krev defers Exit while its version message box is open, or a process
                        // named as ours could not be opened (it may be ours)
    kBadCommandLine = 2,
    kHeldByOthers = 3,  // another program holds one of our files (named by the Restart Manager:
                        // nothing was ended; found by opening the files: ours have ended)
};

// Told the name of each other program that holds one of our files.
using HolderReport = void (*)(void* context, const char* programName);

// `report` may be null: then holders are not asked about.
int endProgramsIn(platform::Processes& system, const char* folder, HolderReport report, void* context);

}  // namespace installed_closer
