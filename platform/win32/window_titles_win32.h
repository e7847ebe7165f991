// The titles of all top-level windows, each read once in one pass: FindWindowA asks the window
// server for every window's title at each call, which under Wine costs a server round trip per
// open window and per call.
#pragma once
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform::win32 {

std::u16string foldCp950Title(const char* text);
std::u16string foldTitle(std::u16string text);
WindowHandle windowPassing(const TitleTest& test);
bool windowExists(WindowHandle window);
std::vector<std::u16string> webBrowserPrograms();

// The same calls on their own, for programs that need no more of the platform.
class Win32WindowTitles final : public WindowTitles {
public:
    std::u16string foldCp950Title(const char* text) override { return win32::foldCp950Title(text); }
    std::u16string foldTitle(std::u16string text) override { return win32::foldTitle(std::move(text)); }
    WindowHandle windowPassing(const TitleTest& test) override { return win32::windowPassing(test); }
    bool windowExists(WindowHandle window) override { return win32::windowExists(window); }
    std::vector<std::u16string> webBrowserPrograms() override { return win32::webBrowserPrograms(); }
};

}  // namespace platform::win32
