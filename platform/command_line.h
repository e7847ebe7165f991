// Command lines: the one place that builds them and the one place that takes them apart.
// C-style on purpose: the launchers use this and must not pull in the C++ library.
#pragma once

#include <cstddef>

namespace command_line {

// Where build takes its memory: malloc, or a test's allocator that refuses.
using Allocator = void* (*)(std::size_t size);
extern Allocator allocate;

// The tail of a program's command line as the Windows start-up of a windowed program hands
// it to WinMain: the program name (quoted, or up to the first byte <= 32) is skipped, quoted
// names are scanned with code page 950 lead bytes, then bytes 1..32 are skipped. The rest is
// returned unchanged: inner and trailing blanks, quotes and percent signs all stay.
const char* tail(const char* line);
// The same of a UTF-16 command line (GetCommandLineW), whose quoted name needs no lead bytes.
const wchar_t* tail(const wchar_t* line);

// "program argument" or, with `quoteProgram`, "\"program\" argument": the program, one blank,
// the argument verbatim (never read as a format). The result is allocated with `allocate` and
// belongs to the caller (free); nullptr when memory cannot be had.
char* build(const char* program, bool quoteProgram, const char* argument);
// The same in UTF-16, for a program whose path the ANSI code page cannot hold.
wchar_t* build(const wchar_t* program, bool quoteProgram, const wchar_t* argument);

// The program of a command line as the registry keeps a handler's: a quoted first word without
// its quotes; else everything up to the first ".exe" (any letter case) that a blank or the end
// follows, blanks in folder names included; else the first word. Returns its length and sets
// `start` to where it begins.
std::size_t programOf(const wchar_t* command, std::size_t& start);

// The length of a folder that an installer names as an argument, without what may follow it
// there: trailing blanks and a stray quote (a backslash before a closing quote escapes it), and
// trailing backslashes or "\." ("C:\Program Files\Vyx\." stays clear of the quote). A drive's
// root keeps its backslash.
std::size_t folderLength(const wchar_t* named);

}  // namespace command_line
