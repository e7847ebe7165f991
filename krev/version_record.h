// The version record of Ver.chk, the one place that knows where its groups stand. C-style:
// Pellit.dll writes the file with it and carries no C++ library.
#pragma once
#include <cstddef>

namespace version_record {

constexpr char kKey[] = "VersionCheck000=";
constexpr int kGroupCount = 4;
constexpr int kGroupWidth = 3;
using Groups = char[kGroupCount][kGroupWidth + 1];

// When `line` is a version record (its first key, found on a character boundary, stands at
// position 1 or later), fills the four groups and returns true. Each group is the three bytes
// after the key and the groups and one-byte separators before it, cut short by the line's end.
bool cutGroups(const char* line, Groups groups);

}  // namespace version_record
