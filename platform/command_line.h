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

// "program argument" or, with `quoteProgram`, "\"program\" argument": the program, one blank,
// the argument verbatim (never read as a format). The result is allocated with `allocate` and
// belongs to the caller (free); nullptr when memory cannot be had.
char* build(const char* program, bool quoteProgram, const char* argument);

// The length of a folder that an installer names as an argument, without what may follow it
// there: trailing blanks and a stray quote (a backslash before a closing quote escapes it), and
// trailing backslashes or "\." ("C:\Program Files\Vyx\." stays clear of the quote). A drive's
// root keeps its backslash.
std::size_t folderLength(const wchar_t* named);

}  // namespace command_line
