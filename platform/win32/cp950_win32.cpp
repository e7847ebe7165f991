#include "platform/win32/cp950_win32.h"

#include <windows.h>

namespace platform::win32 {

namespace {

constexpr UINT kCodePage = 950;

}  // namespace

std::wstring wideFromCp950(const char* text, int length) {
    if (text == nullptr || length == 0 || (length < 0 && *text == '\0')) return std::wstring();
    const int size = MultiByteToWideChar(kCodePage, 0, text, length, nullptr, 0);
    if (size <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(kCodePage, 0, text, length, &wide[0], size);
    if (length < 0) wide.resize(static_cast<std::size_t>(size) - 1);
    return wide;
}

std::string cp950FromWide(const wchar_t* text, int length) {
    if (text == nullptr || length == 0 || (length < 0 && *text == L'\0')) return std::string();
    const int size = WideCharToMultiByte(kCodePage, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(kCodePage, 0, text, length, &bytes[0], size, nullptr, nullptr);
    if (length < 0) bytes.resize(static_cast<std::size_t>(size) - 1);
    return bytes;
}

}  // namespace platform::win32
