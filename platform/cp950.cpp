#include "platform/cp950.h"

#include <cstring>

namespace cp950 {

const char* findText(const char* text, const char* needle) {
    const std::size_t needleLength = std::strlen(needle);
    for (const char* at = text; *at != '\0';) {
        if (std::strncmp(at, needle, needleLength) == 0) return at;
        const bool doubleByte = isLeadByte(static_cast<unsigned char>(*at)) && at[1] != '\0';
        at += doubleByte ? 2 : 1;
    }
    return needleLength == 0 ? text : nullptr;
}

namespace {
unsigned char foldAscii(unsigned char byte) { return (byte >= 'a' && byte <= 'z') ? byte - 'a' + 'A' : byte; }
}  // namespace

bool equalsIgnoreCase(const char* left, const char* right) {
    const unsigned char* l = reinterpret_cast<const unsigned char*>(left);
    const unsigned char* r = reinterpret_cast<const unsigned char*>(right);
    while (*l != '\0' && *r != '\0') {
        if (isLeadByte(*l)) {
            if (*l != *r || l[1] != r[1]) return false;
            if (l[1] == '\0') return true;
            l += 2;
            r += 2;
            continue;
        }
        if (foldAscii(*l) != foldAscii(*r)) return false;
        ++l;
        ++r;
    }
    return *l == *r;
}

std::size_t copyBounded(char* target, std::size_t capacity, const char* source, std::size_t length) {
    if (capacity == 0) return 0;
    std::size_t taken = 0;
    while (taken < length && taken + 1 < capacity) {
        const bool doubleByte = isLeadByte(static_cast<unsigned char>(source[taken])) && taken + 1 < length;
        const std::size_t width = doubleByte ? 2 : 1;
        if (taken + width + 1 > capacity) break;
        taken += width;
    }
    std::memcpy(target, source, taken);
    target[taken] = '\0';
    return taken;
}

}  // namespace cp950
