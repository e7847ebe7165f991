// The program folder that only administrators change. The installer secures it before it
// extracts a file and again after: the folder and every file in it get Administrators as owner
// and these rights, nothing inherited: SYSTEM and Administrators full control, users read and
// run. A folder that is a link, or that holds what is not ours, is never used.
#pragma once
#include <string>
#include <vector>

#include "platform/files.h"

namespace program_folder {

// SIDs by number, not by SDDL alias: every Windows from XP on reads them. Owner Administrators
// (S-1-5-32-544); SYSTEM (S-1-5-18) and Administrators full control; Users (S-1-5-32-545) read
// and run (0x1200a9). The folder passes the same to what is created in it.
constexpr char kFolderSecurity[] =
    "O:S-1-5-32-544D:P(A;OICI;FA;;;S-1-5-18)(A;OICI;FA;;;S-1-5-32-544)(A;OICI;0x1200a9;;;S-1-5-32-545)";
constexpr char kFileSecurity[] = "O:S-1-5-32-544D:P(A;;FA;;;S-1-5-18)(A;;FA;;;S-1-5-32-544)(A;;0x1200a9;;;S-1-5-32-545)";

enum class Outcome {
    ready,
    notAFolder,      // a file, or a junction or link that leads elsewhere
    foreignEntries,  // names that are not the product's: a planted DLL would be run
    changeFailed,    // an owner, rights or file call failed; nothing after it was done
};

struct Result {
    Outcome outcome;
    std::vector<std::string> names;  // what was refused or could not be changed
};

// The installer's exit code for an outcome.
int exitCode(Outcome outcome);

// Secures `folder` (a full path) and everything in it; creates it when it is missing. The
// settings of an earlier install (its shared Reader.ini) become the starting settings of every
// user who has none.
Result secure(platform::Folders& folders, platform::FileSecurity& security, platform::Files& files,
              const std::string& folder);

}  // namespace program_folder
