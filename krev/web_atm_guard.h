// The window guard: while a Web ATM or product page is open, Krev opens nothing. A page is known
// by its window's title: a whole title of the table, as Internet Explorer 6 showed it, in any
// window; the page's own title followed by a later Internet Explorer's ending; or, in a window of
// a browser built on Chromium or on Firefox (known by its window class, and by its program being a
// web browser), the page's own title, a separator and the browser's name, whatever the brand, the
// profile or the private window's words.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/platform.h"

class WebAtmGuard final : public platform::TitleTest {
public:
    // `rows`: whole window titles in code page 950, prepared here once.
    WebAtmGuard(platform::WindowTitles& windows, const char* const* rows, std::size_t count);
    WebAtmGuard(const WebAtmGuard&) = delete;
    WebAtmGuard& operator=(const WebAtmGuard&) = delete;

    // The first open top-level window that shows a page, or 0: one pass over the windows.
    platform::WindowHandle pageWindow() { return windows_.windowPassing(*this); }
    bool matches(const std::u16string& title, const platform::WindowFacts& window) const override;

private:
    using Text = std::u16string_view;
    bool isPage(Text text) const;
    bool isPageWithTabCount(Text text) const;
    bool isPageThenName(Text title, const std::u16string& separator) const;
    bool isWebBrowser(const std::u16string& program) const;

    platform::WindowTitles& windows_;
    std::unordered_set<std::u16string> wholeTitles_;
    std::unordered_set<std::u16string> pageTitles_;
    std::vector<std::u16string> internetExplorerEndings_;
    std::vector<std::pair<std::u16string, std::u16string>> tabCounts_;
    std::u16string separator_;
    std::u16string firefoxSeparator_;
    std::u16string chromiumClass_;
    std::u16string firefoxClass_;
    std::unordered_set<std::u16string> browserFileNames_;
};
