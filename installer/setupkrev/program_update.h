// The program folder's files replaced all together, never some of them. The installer extracts
// the new version into <folder>\Update, a folder that only Administrators and SYSTEM can reach
// (so no user can open, and so hold, a staged file). Then:
// - When no process holds a file of ours, the swap happens now, in two phases: every earlier
//   file moves to <folder>\Previous (as private), then every new one takes its place. A user can
//   hold a file of the program folder, but not a name that is empty nor a file in a private
//   folder, so once the first phase is done nothing a user does can stop the second. A journal in
//   Previous, written before the first move, says which way an interrupted swap is made whole:
//   back during the first phase, forward during the second.
// - When another program holds a file of ours, the new version moves to <folder>\Pending and the
//   swap is handed to Windows for the next restart as one ordered list (every earlier file out,
//   every new one in), carried out before any process runs. Until then the earlier version
//   runs whole.
#pragma once
#include <string>
#include <vector>

#include "platform/files.h"

namespace program_update {

constexpr char kStaging[] = "Update";
constexpr char kPrevious[] = "Previous";
constexpr char kPending[] = "Pending";
constexpr char kJournal[] = "swap.txt";

enum class Outcome {
    done,
    atRestart,    // `names` are held: the whole new version replaces the earlier at the next restart
    rolledBack,   // nothing changed: `names` is the file that failed, or the folder refused
    notRestored,  // a move failed and exactly `names` are not back to their earlier version
};

struct Result {
    Outcome outcome;
    std::vector<std::string> names;
};

// The installer's exit code for an outcome: 0; 3010 (ERROR_SUCCESS_REBOOT_REQUIRED, as Windows
// Installer returns it); 2 when nothing changed; 6.
int exitCode(Outcome outcome);

// Before the installer extracts anything: an interrupted swap is made whole, a swap waiting for
// the restart is dropped (this install replaces it), and <folder>\Update is an empty private
// folder. A staging folder that exists and is not private is refused, never emptied.
Result prepare(platform::Folders& folders, const std::string& folder);

// Every file of ours that the staging folder holds replaces the one in `folder`.
Result apply(platform::Folders& folders, const std::string& folder);

// The uninstaller: a swap waiting for the restart is dropped, and our names in the staging
// folders go, with each folder once it is empty. Returns what is left.
std::vector<std::string> removeStaging(platform::Folders& folders, const std::string& folder);

}  // namespace program_update
