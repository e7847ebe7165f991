// The program folder's files replaced all together or not at all. The installer extracts the
// new version into <folder>\Update. Before anything changes, every file to be replaced must be
// free (no process has it open or loaded); then each earlier file moves to <folder>\Previous and
// the new one takes its place. When one move fails, every file already replaced is put back,
// and the earlier version is whole again. Either way the staging folder goes, unless an earlier
// file could not be put back.
#pragma once
#include <string>
#include <vector>

#include "platform/files.h"

namespace program_update {

constexpr char kStaging[] = "Update";
constexpr char kPrevious[] = "Previous";

enum class Outcome {
    done,
    inUse,        // nothing changed: `names` are held by another process
    rolledBack,   // a move failed and every earlier file is back: nothing changed
    notRestored,  // a move failed and `names` (after the first) could not be put back
};

struct Result {
    Outcome outcome;
    std::vector<std::string> names;
};

// The installer's exit code for an outcome: 0, or 2 when nothing changed, or 6.
int exitCode(Outcome outcome);

// Every file of ours that the staging folder holds replaces the one in `folder`.
Result apply(platform::Folders& folders, const std::string& folder);

}  // namespace program_update
