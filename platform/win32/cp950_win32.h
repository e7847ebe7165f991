// Our texts are code page 950 bytes, whatever code page the system's ANSI calls use (950 only
// where the system locale is Chinese, Traditional). Every text of ours reaches Windows through
// these two conversions and a wide call, and every text from Windows comes back through them.
#pragma once
#include <string>

namespace platform::win32 {

// `length` bytes, or up to the zero byte when it is -1.
std::wstring wideFromCp950(const char* text, int length = -1);
// Characters that code page 950 lacks become '?', as the ANSI calls of a Chinese Windows give them.
std::string cp950FromWide(const wchar_t* text, int length = -1);

}  // namespace platform::win32
