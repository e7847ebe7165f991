// The window guard: while a Web ATM or product page is open, Krev opens nothing. A page is known
// by its window's title: a whole title of the table, as Internet Explorer 6 showed it, or the
// page's own title followed by the title ending of a browser in use today.
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

    // One pass over the open top-level windows.
    bool pageOpen() { return windows_.anyWindowTitle(*this); }
    bool matches(const std::u16string& title) const override;

private:
    using Text = std::u16string_view;
    bool isPage(Text text) const;
    bool isPageWithTabCount(Text text) const;
    bool isEdgePage(Text beforeBrand) const;
    bool isFirefoxPage(Text beforeBrand) const;
    bool isChromePageWithProfile(Text title) const;

    platform::WindowTitles& windows_;
    std::unordered_set<std::u16string> wholeTitles_;
    std::unordered_set<std::u16string> pageTitles_;
    std::vector<std::u16string> endings_;
    std::vector<std::u16string> edgeBrands_;
    std::vector<std::u16string> firefoxBrands_;
    std::vector<std::pair<std::u16string, std::u16string>> tabCounts_;
    std::u16string chromeProfile_;
    std::u16string separator_;
    std::u16string firefoxProfileSeparator_;
};
