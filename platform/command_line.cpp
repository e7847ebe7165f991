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

}  // namespace command_line
