// Profile (INI) files as Windows reads and writes them, worked on the file's bytes. Our texts are
// code page 950 bytes and go into the file and come out of it as they are: Windows' own profile
// calls would pass them through the system's ANSI code page, which is 950 only on a Chinese
// (Traditional) Windows, and a reader's name written on one would read differently on another.
#pragma once
#include <string>

namespace profile_text {

// The key's value in the section, or `fallback`; cut to capacity - 1 bytes, never inside a
// double-byte character. Section and key
// names ignore letter case; a value in matching quotes loses them.
std::string read(const std::string& content, const char* section, const char* key, const char* fallback,
                 unsigned capacity);

// The content with the key set in the section (both made when missing), every line ending
// with CR LF.
std::string write(const std::string& content, const char* section, const char* key, const char* value);

}  // namespace profile_text
