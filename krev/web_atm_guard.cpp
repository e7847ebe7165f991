#include "krev/web_atm_guard.h"

#include <algorithm>

namespace {

// Internet Explorer 6's ending, which every row but a page dialog's (row 18) carries; row 130
// carries one blank more. Such titles match whole, as the rows stand.
constexpr char kIe6Ending[] = " - Microsoft Internet Explorer";

// Internet Explorer 7 and 8 end a page's title in " - Windows Internet Explorer", 9 to 11 in
// " - Internet Explorer": the titles that scripts driving those versions wait for.
constexpr const char16_t* kInternetExplorerEndings[] = {u" - Windows Internet Explorer", u" - Internet Explorer"};

// Every browser built on Chromium titles a window "<page> - <name>" in a window of Chromium's
// class (IDS_BROWSER_WINDOW_TITLE_FORMAT, "$1 - Google Chrome"; "<page> - Chromium" in every
// language, ordinary and incognito alike, as seen with Chromium 156): Google Chrome, with several
// profiles "<page> - Google Chrome - <profile>"; Microsoft Edge, which names itself with a
// zero-width space after "Microsoft" ("<page> - <profile> - Microsoft\u200b Edge", the profile
// "[InPrivate]" in an InPrivate window) and puts a count of the window's other tabs after the page;
// Brave, Opera, Vivaldi, Whale, Yandex, Supermium, Thorium and any other. Every browser built on
// Firefox titles a window "<page> — <name>" (older versions " - "), in a window of Firefox's class,
// the name followed by the private window's words ("Mozilla Firefox Private Browsing", "Mozilla
// Firefox 隱私瀏覽模式") and with the profiles of recent versions put between (" — <profile> —
// "): Firefox in every edition, LibreWolf, Waterfox, Floorp. The same titles in another program's
// window (a note named like a page) are no page; so are they in a window of those classes whose
// program is no web browser: Thunderbird's (Firefox's engine), or Visual Studio Code's, Teams',
// Discord's, Slack's and Spotify's (Electron, Chromium's), where a mail's subject or a file's name
// reads like a page.
constexpr char16_t kChromiumClass[] = u"Chrome_WidgetWin_1";
constexpr char16_t kFirefoxClass[] = u"MozillaWindowClass";
constexpr char16_t kSeparator[] = u" - ";
constexpr char16_t kFirefoxSeparator[] = u" \u2014 ";
// Edge's count of the window's other tabs, after the page, as its titles show it: English "and 1
// more page", "and 2 more pages"; Traditional Chinese "和其他 2 個頁面" (also given as "和另外 2
// 個頁面"); Simplified Chinese "和另外 2 个页面".
constexpr std::pair<const char16_t*, const char16_t*> kTabCounts[] = {
    {u" and ", u" more pages"}, {u" and ", u" more page"}, {u" 和其他 ", u" 個頁面"},
    {u" 和另外 ", u" 個頁面"},  {u" 和另外 ", u" 个页面"},  {u" 和其他 ", u" 个页面"}};

// The programs of the browsers above, known by their file's name wherever they lie (a portable
// copy is registered nowhere): Chrome, Chromium and Supermium, Edge, Brave, Opera, Vivaldi,
// Whale, Yandex, Thorium; Firefox, LibreWolf, Waterfox, Floorp.
constexpr const char16_t* kBrowserFileNames[] = {
    u"chrome.exe", u"msedge.exe", u"brave.exe",     u"opera.exe",     u"vivaldi.exe", u"whale.exe", u"browser.exe",
    u"thorium.exe", u"firefox.exe", u"librewolf.exe", u"waterfox.exe", u"floorp.exe"};

std::u16string fileNameOf(const std::u16string& path) {
    const std::size_t slash = path.find_last_of(u"\\/");
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

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

// A browser's name (with its profile and the like): something, and no blank at either end.
bool isName(std::u16string_view text) { return !text.empty() && text.front() != u' ' && text.back() != u' '; }

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
    for (const char16_t* ending : kInternetExplorerEndings) internetExplorerEndings_.push_back(windows.foldTitle(ending));
    for (const auto& [before, after] : kTabCounts) tabCounts_.emplace_back(windows.foldTitle(before), windows.foldTitle(after));
    separator_ = kSeparator;
    firefoxSeparator_ = windows.foldTitle(kFirefoxSeparator);
    chromiumClass_ = windows.foldTitle(kChromiumClass);
    firefoxClass_ = windows.foldTitle(kFirefoxClass);
    for (const char16_t* name : kBrowserFileNames) browserFileNames_.insert(windows.foldTitle(name));
}

bool WebAtmGuard::matches(const std::u16string& title, const platform::WindowFacts& window) const {
    if (wholeTitles_.count(title) != 0) return true;
    const Text text(title);
    for (const auto& ending : internetExplorerEndings_) {
        if (endsWith(text, ending) && isPage(withoutEnd(text, ending.size()))) return true;
    }
    // The title first, then the class, then the program: each is read only when what came
    // before it names a page.
    const bool dashed = isPageThenName(text, separator_);
    const bool firefoxForm = dashed || isPageThenName(text, firefoxSeparator_);
    if (!firefoxForm) return false;
    const std::u16string windowClass = window.className();
    if (!((dashed && windowClass == chromiumClass_) || windowClass == firefoxClass_)) return false;
    return isWebBrowser(window.programPath());
}

// A browser by its file's name, or one that Windows knows as a web browser. A program that cannot
// be asked counts as one: a page never opens over a banking page by mistake.
bool WebAtmGuard::isWebBrowser(const std::u16string& program) const {
    if (program.empty() || browserFileNames_.count(fileNameOf(program)) != 0) return true;
    const std::vector<std::u16string> known = windows_.webBrowserPrograms();
    return std::find(known.begin(), known.end(), program) != known.end();
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

// A page title may hold the separator itself, so the name may begin at any of them.
bool WebAtmGuard::isPageThenName(Text title, const std::u16string& separator) const {
    for (std::size_t at = title.find(separator); at != Text::npos; at = title.find(separator, at + 1)) {
        if (isName(title.substr(at + separator.size())) && isPageWithTabCount(title.substr(0, at))) return true;
    }
    return false;
}
