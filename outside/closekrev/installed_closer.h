// "CloseKREV.exe /installed <folder>", as the Windows Installer package runs it before any file
// of <folder> changes (and the take-over of the earlier layouts for C:\KREV): ends every program
// of ours that runs from <folder>, in every session, and waits until each one it ended or asked
// to exit is gone. A program is ours when the path of its file, as Windows names it, is <folder>
// and one of our names; a copy of ours elsewhere (a user's folder, a share) is never ours. A file
// that another program holds is Windows Installer's to replace at the next restart; a program of
// ours started anew while the closer works is ended too, and one that keeps being started is left
// to that rule as well.
#pragma once
#include "platform/processes.h"

namespace installed_closer {

constexpr unsigned kWaitMs = 10000;
constexpr unsigned kLookAgainMs = 200;

enum ExitCode {
    kNoneRuns = 0,
    kStillRuns = 1,     // a program of ours did not end: a Krev defers Exit while its version
                        // message box is open
    kBadCommandLine = 2,
};

int endProgramsIn(platform::Processes& system, const char* folder);

}  // namespace installed_closer
