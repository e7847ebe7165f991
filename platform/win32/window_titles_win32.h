// The lookup of window titles among all top-level windows, in one pass: FindWindowA asks the
// window server for every window's title at each call, which under Wine costs a server round
// trip per open window and per call.
#pragma once
#include <windows.h>

#include <string>
#include <unordered_set>

#include "platform/platform.h"

namespace platform::win32 {

class Win32WindowTitleSet final : public WindowTitleSet {
public:
    Win32WindowTitleSet(const char* const* titles, std::size_t count);
    // `title` as FindWindowA sees it: UTF-16, every letter in upper case.
    bool contains(const std::wstring& foldedTitle) const { return titles_.count(foldedTitle) != 0; }

private:
    std::unordered_set<std::wstring> titles_;
};

// True when a top-level window of the thread's desktop has one of the titles.
bool anyWindowTitled(const Win32WindowTitleSet& titles);

}  // namespace platform::win32
