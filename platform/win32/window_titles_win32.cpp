#include "platform/win32/window_titles_win32.h"

#include <windows.h>

#include <vector>

#include "platform/win32/cp950_win32.h"

namespace platform::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide characters are UTF-16 units");

namespace {

// Longer than any title that the guard recognises: a title cut at this length matches none.
constexpr int kTitleCapacity = 1024;

wchar_t* wide(std::u16string& text) { return reinterpret_cast<wchar_t*>(&text[0]); }

// A window's class, read when the test asks for it.
class Win32WindowClass final : public WindowClass {
public:
    explicit Win32WindowClass(HWND window) : window_(window) {}
    std::u16string folded() const override {
        wchar_t name[256];
        const int length = GetClassNameW(window_, name, 256);
        return foldTitle(std::u16string(reinterpret_cast<const char16_t*>(name), static_cast<std::size_t>(length)));
    }

private:
    HWND window_;
};

struct Search {
    const TitleTest* test;
    HWND found;
};

BOOL CALLBACK matchTitle(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    wchar_t title[kTitleCapacity];
    const int length = GetWindowTextW(window, title, kTitleCapacity);
    std::u16string text(reinterpret_cast<const char16_t*>(title), static_cast<std::size_t>(length));
    if (!search->test->matches(foldTitle(std::move(text)), Win32WindowClass(window))) return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

std::u16string foldCp950Title(const char* text) {
    const std::wstring converted = wideFromCp950(text);
    return foldTitle(std::u16string(reinterpret_cast<const char16_t*>(converted.c_str()), converted.size()));
}

// On UTF-16 characters, with Windows' own case table, so that a Big5 trail byte is never folded
// as a letter on its own.
std::u16string foldTitle(std::u16string text) {
    if (!text.empty()) CharUpperBuffW(wide(text), static_cast<DWORD>(text.size()));
    return text;
}

WindowHandle windowPassing(const TitleTest& test) {
    Search search{&test, nullptr};
    EnumWindows(matchTitle, reinterpret_cast<LPARAM>(&search));
    return reinterpret_cast<WindowHandle>(search.found);
}

bool windowExists(WindowHandle window) { return window != 0 && IsWindow(reinterpret_cast<HWND>(window)) != FALSE; }

}  // namespace platform::win32
