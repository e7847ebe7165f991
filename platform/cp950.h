// Byte strings in code page 950 (Big5). All texts of the product are such byte strings;
// these are the only places that know which bytes start a double-byte character.
#pragma once
#include <cstddef>

namespace cp950 {

inline bool isLeadByte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

// First occurrence of `needle` in `text` that starts on a character boundary, or nullptr
// (the code-page-aware search of the C runtime, _mbsstr).
const char* findText(const char* text, const char* needle);

// Whole-text comparison that ignores the case of ASCII letters but never of the second byte
// of a double-byte character (how Windows compares window titles under code page 950).
bool equalsIgnoreCase(const char* left, const char* right);

// Copies at most `capacity - 1` bytes of `source` into `target` and ends it with a zero byte,
// never splitting a double-byte character. Returns the number of bytes copied.
std::size_t copyBounded(char* target, std::size_t capacity, const char* source, std::size_t length);

}  // namespace cp950
