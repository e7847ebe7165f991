#include "platform/win32/window_titles_win32.h"

#include <vector>

namespace platform::win32 {

namespace {

// Longer than any title that the sets hold: a title cut at this length can match none of them.
constexpr int kTitleCapacity = 1024;

// Letter case as Windows ignores it in window titles: on UTF-16 characters, with its own case
// table, so that a Big5 trail byte is never folded as a letter on its own.
std::wstring folded(std::wstring text) {
    if (!text.empty()) CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

// Converted as FindWindowA converts its argument: from the ANSI code page (950 for our users).
std::wstring wideTitle(const char* title) {
    const int length = MultiByteToWideChar(CP_ACP, 0, title, -1, nullptr, 0);
    if (length <= 1) return std::wstring();
    std::vector<wchar_t> wide(static_cast<std::size_t>(length));
    MultiByteToWideChar(CP_ACP, 0, title, -1, wide.data(), length);
    return std::wstring(wide.data());
}

struct Search {
    const Win32WindowTitleSet* titles;
    bool found;
};

BOOL CALLBACK matchTitle(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    wchar_t title[kTitleCapacity];
    const int length = GetWindowTextW(window, title, kTitleCapacity);
    search->found = search->titles->contains(folded(std::wstring(title, static_cast<std::size_t>(length))));
    return search->found ? FALSE : TRUE;
}

}  // namespace

Win32WindowTitleSet::Win32WindowTitleSet(const char* const* titles, std::size_t count) {
    for (std::size_t row = 0; row < count; ++row) titles_.insert(folded(wideTitle(titles[row])));
}

bool anyWindowTitled(const Win32WindowTitleSet& titles) {
    Search search{&titles, false};
    EnumWindows(matchTitle, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace platform::win32
