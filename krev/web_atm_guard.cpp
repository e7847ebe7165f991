#include "krev/web_atm_guard.h"

namespace {

// Internet Explorer 6's ending, which every row but a page dialog's (row 18) carries; row 130
// carries one blank more. Such titles match whole, as the rows stand.
constexpr char kIe6Ending[] = " - Microsoft Internet Explorer";

// What follows the page's own title in the other browsers, and where each form was seen:
// - Internet Explorer 7 and 8 " - Windows Internet Explorer", 9 to 11 " - Internet Explorer": the
//   titles that scripts driving those versions wait for.
// - Google Chrome: Chromium's window-title format, "$1 - Google Chrome"
//   (IDS_BROWSER_WINDOW_TITLE_FORMAT); with several profiles, " - <profile>" after it. An
//   incognito window has the same title: Chromium adds "(Incognito)" only to the accessible
//   name (IDS_ACCESSIBLE_INCOGNITO_WINDOW_TITLE_FORMAT, BrowserView::GetAccessibleWindowTitle).
// - Brave, Opera and Vivaldi: the same Chromium format with their own product name in it, " - "
//   and the name, in a window of Chromium's class Chrome_WidgetWin_1.
constexpr const char16_t* kEndings[] = {u" - Windows Internet Explorer", u" - Internet Explorer", u" - Google Chrome",
                                        u" - Brave", u" - Opera", u" - Vivaldi"};
constexpr char16_t kChromeProfile[] = u" - Google Chrome - ";

// Mozilla Firefox, from its string tables (browser/locales/en-US/browser/browser.ftl and the
// zh-TW one of mozilla-l10n, browser-main-window*-titles and browser-main-private-window-title),
// on Windows:
// - "<page> — Mozilla Firefox", older versions "<page> - Mozilla Firefox";
// - a private window: the brand followed by the private-browsing words, "Private Browsing" in
//   recent versions and "(Private Browsing)" before; in Traditional Chinese "隱私瀏覽模式" now,
//   "隱私瀏覽" and "（隱私瀏覽模式）" in earlier versions;
// - with the profiles of recent versions, " — <profile>" between the page and the brand, in
//   ordinary and private windows alike.
// (The macOS forms, "<page> — 隱私瀏覽模式" without the brand, are never a Windows title.)
constexpr const char16_t* kFirefoxBrands[] = {
    u" \u2014 Mozilla Firefox",
    u" - Mozilla Firefox",
    u" \u2014 Mozilla Firefox Private Browsing",
    u" \u2014 Mozilla Firefox (Private Browsing)",
    u" - Mozilla Firefox (Private Browsing)",
    u" \u2014 Mozilla Firefox 隱私瀏覽模式",
    u" \u2014 Mozilla Firefox 隱私瀏覽",
    u" \u2014 Mozilla Firefox（隱私瀏覽模式）",
    u" - Mozilla Firefox（隱私瀏覽模式）"};
constexpr char16_t kFirefoxProfileSeparator[] = u" \u2014 ";

// Microsoft Edge names itself with a zero-width space after "Microsoft" (seen in its window
// titles, "New tab - Personal - Microsoft\u200b Edge", MicrosoftEdge/WebView2Feedback#2455);
// earlier builds without it. Before the name: the page title, then a count of the window's other
// tabs when it has several, then " - <profile>" when a profile is named ("個人", "Personal",
// "[InPrivate]" in an InPrivate window, in every language).
constexpr const char16_t* kEdgeBrands[] = {u" - Microsoft\u200b Edge", u" - Microsoft Edge"};
constexpr char16_t kSeparator[] = u" - ";
// The tab count around its number, as Edge's titles show it: English "and 1 more page", "and 2
// more pages"; Traditional Chinese "和其他 2 個頁面" (also given as "和另外 2 個頁面"); Simplified
// Chinese "和另外 2 个页面".
constexpr std::pair<const char16_t*, const char16_t*> kTabCounts[] = {
    {u" and ", u" more pages"}, {u" and ", u" more page"}, {u" 和其他 ", u" 個頁面"},
    {u" 和另外 ", u" 個頁面"},  {u" 和另外 ", u" 个页面"},  {u" 和其他 ", u" 个页面"}};

// A row's page title: the row without Internet Explorer 6's ending; empty when it has none.
std::string pageTitleOf(const std::string& row) {
    const std::string ending = kIe6Ending;
    for (const std::string& end : {ending, ending + " "}) {
        // The ending begins with a blank, which is never the second byte of a Big5 character.
        if (row.size() > end.size() && row.compare(row.size() - end.size(), end.size(), end) == 0) {
            return row.substr(0, row.size() - end.size());
        }
    }
    return std::string();
}

bool endsWith(std::u16string_view text, std::u16string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

std::u16string_view withoutEnd(std::u16string_view text, std::size_t length) {
    return text.substr(0, text.size() - length);
}

bool isDigit(char16_t character) { return character >= u'0' && character <= u'9'; }

// Whether `text` is a page (as `isPageForm` tells), `separator` and a profile's name. A page title
// may hold the separator itself, so the profile may begin at any of them.
template <typename PageForm>
bool pageThenProfile(std::u16string_view text, std::u16string_view separator, PageForm isPageForm) {
    for (std::size_t at = text.find(separator); at != std::u16string_view::npos; at = text.find(separator, at + 1)) {
        const bool profileNamed = at + separator.size() < text.size();
        if (profileNamed && isPageForm(text.substr(0, at))) return true;
    }
    return false;
}

}  // namespace

WebAtmGuard::WebAtmGuard(platform::WindowTitles& windows, const char* const* rows, std::size_t count)
    : windows_(windows) {
    // An empty text would make every untitled window a banking page.
    auto keep = [](std::unordered_set<std::u16string>& set, std::u16string folded) {
        if (!folded.empty()) set.insert(std::move(folded));
    };
    for (std::size_t row = 0; row < count; ++row) {
        keep(wholeTitles_, windows.foldCp950Title(rows[row]));
        const std::string page = pageTitleOf(rows[row]);
        if (!page.empty()) keep(pageTitles_, windows.foldCp950Title(page.c_str()));
    }
    for (const char16_t* ending : kEndings) endings_.push_back(windows.foldTitle(ending));
    for (const char16_t* brand : kEdgeBrands) edgeBrands_.push_back(windows.foldTitle(brand));
    for (const char16_t* brand : kFirefoxBrands) firefoxBrands_.push_back(windows.foldTitle(brand));
    for (const auto& [before, after] : kTabCounts) tabCounts_.emplace_back(windows.foldTitle(before), windows.foldTitle(after));
    chromeProfile_ = windows.foldTitle(kChromeProfile);
    separator_ = kSeparator;
    firefoxProfileSeparator_ = windows.foldTitle(kFirefoxProfileSeparator);
}

bool WebAtmGuard::matches(const std::u16string& title) const {
    if (wholeTitles_.count(title) != 0) return true;
    const Text text(title);
    for (const auto& ending : endings_) {
        if (endsWith(text, ending) && isPage(withoutEnd(text, ending.size()))) return true;
    }
    for (const auto& brand : edgeBrands_) {
        if (endsWith(text, brand) && isEdgePage(withoutEnd(text, brand.size()))) return true;
    }
    for (const auto& brand : firefoxBrands_) {
        if (endsWith(text, brand) && isFirefoxPage(withoutEnd(text, brand.size()))) return true;
    }
    return isChromePageWithProfile(text);
}

bool WebAtmGuard::isPage(Text text) const { return pageTitles_.count(std::u16string(text)) != 0; }

bool WebAtmGuard::isPageWithTabCount(Text text) const {
    if (isPage(text)) return true;
    for (const auto& [before, after] : tabCounts_) {
        if (!endsWith(text, after)) continue;
        Text rest = withoutEnd(text, after.size());
        std::size_t digits = 0;
        while (digits < rest.size() && isDigit(rest[rest.size() - 1 - digits])) ++digits;
        rest = withoutEnd(rest, digits);
        if (digits > 0 && endsWith(rest, before) && isPage(withoutEnd(rest, before.size()))) return true;
    }
    return false;
}

bool WebAtmGuard::isEdgePage(Text beforeBrand) const {
    return isPageWithTabCount(beforeBrand) ||
           pageThenProfile(beforeBrand, separator_, [this](Text page) { return isPageWithTabCount(page); });
}

bool WebAtmGuard::isFirefoxPage(Text beforeBrand) const {
    return isPage(beforeBrand) ||
           pageThenProfile(beforeBrand, firefoxProfileSeparator_, [this](Text page) { return isPage(page); });
}

bool WebAtmGuard::isChromePageWithProfile(Text title) const {
    return pageThenProfile(title, chromeProfile_, [this](Text page) { return isPage(page); });
}
