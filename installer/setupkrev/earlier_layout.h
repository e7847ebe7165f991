// C:\KREV, where the earliest installs put the programs. Any user may create that name in the
// root of the drive, and it may lead anywhere: from now on it holds only DefaultCheck.htm, which
// PortalLaunch looks for there and which is data, never code. Everything here goes through a
// held folder: nothing is read, written or removed through a link or junction.
#pragma once
#include <string>
#include <vector>

#include "platform/files.h"

namespace earlier_layout {

constexpr char kFolder[] = "C:\\KREV";

// The shared settings of an earlier install there (its StartingReader.ini, or the per-user
// install's Reader.ini), reduced to the reader and the registration flag, become
// <program folder>\StartingReader.ini: every user's starting settings. Only from a file that no
// user can have written (C:\KREV's files usually inherit a right of every user to change them),
// and never over starting settings that the program folder has already. False when they were to
// be carried and could not be written.
bool carrySettings(platform::Folders& folders, const std::string& programFolder);

struct Tidying {
    bool dataWritten;                // DefaultCheck.htm is there
    bool link;                       // C:\KREV is a file, a link or a junction: left alone
    std::vector<std::string> left;   // files of ours that could not be removed
};

// After an install: DefaultCheck.htm (these bytes: nothing is read from another folder) where it
// is missing, and every other file of ours gone. A file that a user holds under an opportunistic
// lock is not waited for: it is left, whole, and named in `left`.
Tidying keepOnlyData(platform::Folders& folders, const std::string& defaultCheck);

// An uninstall's part: DefaultCheck.htm, and the folder when nothing else is in it. The files
// of ours that could not be removed.
std::vector<std::string> remove(platform::Folders& folders);

}  // namespace earlier_layout
