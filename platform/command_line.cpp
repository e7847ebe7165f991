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

const wchar_t* tail(const wchar_t* line) {
    const wchar_t* at = line;
    if (*at == L'"') {
        ++at;
        while (*at != L'\0' && *at != L'"') ++at;
        if (*at == L'"') ++at;
    } else {
        while (*at > L' ') ++at;
    }
    while (*at != L'\0' && *at <= L' ') ++at;
    return at;
}

namespace {

template <typename Char>
std::size_t lengthOf(const Char* text) {
    std::size_t length = 0;
    while (text[length] != Char()) ++length;
    return length;
}

template <typename Char>
Char* built(const Char* program, bool quoteProgram, const Char* argument) {
    const std::size_t programLength = lengthOf(program);
    const std::size_t argumentLength = lengthOf(argument);
    const std::size_t quotes = quoteProgram ? 2 : 0;
    Char* line = static_cast<Char*>(allocate((programLength + quotes + 1 + argumentLength + 1) * sizeof(Char)));
    if (line == nullptr) return nullptr;
    Char* at = line;
    if (quoteProgram) *at++ = Char('"');
    std::memcpy(at, program, programLength * sizeof(Char));
    at += programLength;
    if (quoteProgram) *at++ = Char('"');
    *at++ = Char(' ');
    std::memcpy(at, argument, (argumentLength + 1) * sizeof(Char));
    return line;
}

}  // namespace

char* build(const char* program, bool quoteProgram, const char* argument) {
    return built(program, quoteProgram, argument);
}

wchar_t* build(const wchar_t* program, bool quoteProgram, const wchar_t* argument) {
    return built(program, quoteProgram, argument);
}

std::size_t programOf(const wchar_t* command, std::size_t& start) {
    start = 0;
    while (command[start] == L' ' || command[start] == L'\t') ++start;
    const wchar_t* word = command + start;
    if (*word == L'"') {
        ++start;
        std::size_t length = 0;
        while (word[1 + length] != L'\0' && word[1 + length] != L'"') ++length;
        return length;
    }
    std::size_t firstBlank = lengthOf(word);
    for (std::size_t at = 0; word[at] != L'\0'; ++at) {
        if (word[at] == L' ' && firstBlank > at) firstBlank = at;
        const bool exe = at >= 3 && word[at - 3] == L'.' && (word[at - 2] | 0x20) == L'e' && (word[at - 1] | 0x20) == L'x' &&
                         (word[at] | 0x20) == L'e';
        if (exe && (word[at + 1] == L'\0' || word[at + 1] == L' ')) return at + 1;
    }
    return firstBlank;
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
