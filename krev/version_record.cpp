#include "krev/version_record.h"

#include <cstring>

#include "platform/cp950.h"

namespace version_record {

bool cutGroups(const char* line, Groups groups) {
    const char* key = cp950::findText(line, kKey);
    if (key == nullptr || key == line) return false;
    const std::size_t available = std::strlen(key);
    for (int group = 0; group < kGroupCount; ++group) {
        const std::size_t offset = sizeof kKey - 1 + group * (kGroupWidth + 1);
        const std::size_t length = offset < available ? available - offset : 0;
        const std::size_t taken = length < kGroupWidth ? length : kGroupWidth;
        if (taken > 0) std::memcpy(groups[group], key + offset, taken);
        groups[group][taken] = '\0';
    }
    return true;
}

}  // namespace version_record
