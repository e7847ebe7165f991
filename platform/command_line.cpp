#include "platform/command_line.h"

#include <cstdlib>
#include <cstring>

#include "platform/cp950.h"

namespace command_line {

Allocator allocate = std::malloc;

const char* tail(const char* line) {
    const unsigned char* at = reinterpret_cast<const unsigned char*>(line);
    if (*at == '"') {
        ++at;
        while (*at != '\0' && *at != '"') {
            if (cp950::isLeadByte(*at) && at[1] != '\0') ++at;
            ++at;
        }
        if (*at == '"') ++at;
    } else {
        while (*at > ' ') ++at;
    }
    while (*at != '\0' && *at <= ' ') ++at;
    return reinterpret_cast<const char*>(at);
}

char* build(const char* program, bool quoteProgram, const char* argument) {
    const std::size_t programLength = std::strlen(program);
    const std::size_t argumentLength = std::strlen(argument);
    const std::size_t quotes = quoteProgram ? 2 : 0;
    char* line = static_cast<char*>(allocate(programLength + quotes + 1 + argumentLength + 1));
    if (line == nullptr) return nullptr;
    char* at = line;
    if (quoteProgram) *at++ = '"';
    std::memcpy(at, program, programLength);
    at += programLength;
    if (quoteProgram) *at++ = '"';
    *at++ = ' ';
    std::memcpy(at, argument, argumentLength + 1);
    return line;
}

std::size_t folderLength(const wchar_t* named) {
    std::size_t length = 0;
    while (named[length] != L'\0') ++length;
    while (length > 0 && (named[length - 1] == L' ' || named[length - 1] == L'"')) --length;
    for (;;) {
        if (length > 3 && named[length - 1] == L'\\') {
            --length;
        } else if (length > 4 && named[length - 1] == L'.' && named[length - 2] == L'\\') {
            length -= 2;
        } else {
            return length;
        }
    }
}

}  // namespace command_line
