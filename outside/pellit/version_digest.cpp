#include "outside/pellit/version_digest.h"

#include <cstring>

#include "krev/version_record.h"

namespace {

constexpr char kNoRecord[] = "The version page holds no version record.\r\n";
constexpr std::size_t kLineLimit = 511;  // fgets into the check's 512-byte buffer
constexpr char kTextEnd = 0x1A;          // Ctrl-Z: the end of a file read in text mode
constexpr char kSeparator = '.';

struct LastRecord {
    version_record::Groups groups;
    bool found = false;
};

void takeLine(char* line, std::size_t length, LastRecord& last) {
    line[length] = '\0';
    version_record::Groups groups;
    if (!version_record::cutGroups(line, groups)) return;
    std::memcpy(last.groups, groups, sizeof groups);
    last.found = true;
}

// One blank before the key, then the groups with a separator before each one that is not
// empty. A short group ends the line there, as it did on the page; a line feed inside a group
// comes along as part of it.
std::size_t writeRecord(const LastRecord& last, char* digest) {
    char* at = digest;
    *at++ = ' ';
    std::memcpy(at, version_record::kKey, sizeof version_record::kKey - 1);
    at += sizeof version_record::kKey - 1;
    for (int group = 0; group < version_record::kGroupCount && last.groups[group][0] != '\0'; ++group) {
        if (group > 0) *at++ = kSeparator;
        const std::size_t length = std::strlen(last.groups[group]);
        std::memcpy(at, last.groups[group], length);
        at += length;
    }
    return static_cast<std::size_t>(at - digest);
}

}  // namespace

std::size_t digestVersionPage(const char* page, std::size_t size, char* digest) {
    LastRecord last;
    char line[kLineLimit + 1];
    std::size_t length = 0;
    for (std::size_t at = 0; at < size && page[at] != kTextEnd; ++at) {
        if (page[at] == '\r' && at + 1 < size && page[at + 1] == '\n') continue;
        line[length++] = page[at];
        if (page[at] == '\n' || length == kLineLimit) {
            takeLine(line, length, last);
            length = 0;
        }
    }
    if (length > 0) takeLine(line, length, last);
    if (!last.found) {
        std::memcpy(digest, kNoRecord, sizeof kNoRecord - 1);
        return sizeof kNoRecord - 1;
    }
    return writeRecord(last, digest);
}
