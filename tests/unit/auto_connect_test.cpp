// The auto-connect timer over a card's life: insertion, Web ATM pages, the grey icon, the switch.
#include "product_config.h"
#include <algorithm>
#include <cstring>
#include <limits>
#include <random>

#include "krev/settings.h"
#include "krev/web_atm_guard.h"
#include "krev/web_atm_titles.h"
#include "krev_fixture.h"

namespace {

constexpr char kPortal[] = "Farrow.exe " KREV_PAGE_SCHEME "www.quenby.example/portal/index.htm";
constexpr char kNewVersion[] = "Farrow.exe " KREV_PAGE_SCHEME "www.quenby.example/newvn/000.htm";
constexpr char kRegistration[] = "Farrow.exe " KREV_PAGE_SCHEME "reg.quenby.example/reg_reader.php";
constexpr char kFetch[] = "Pellit.dll " KREV_PAGE_SCHEME "www.quenby.example/version/check.htm";

class AutoConnect : public KrevFixture {
protected:
    void SetUp() override {
        publishVersion("003.002.000.001");
        sim.scheduleReaders(0, {false});
        startKrev();
        settings::write(sim, "Register", "Check", "OK");
    }
    void publishVersion(const std::string& version) {
        sim.onProgramStart = [this, version](const std::string& command) {
            if (command.rfind("Pellit.dll ", 0) == 0) {
                sim.scheduleFile("Ver.chk", "<b>VersionCheck000=" + version + "</b>\r\n", sim.now() + 20);
            }
        };
    }
    void cardIn(long long at) { sim.scheduleReaders(at, {true}); }
    void cardOut(long long at) { sim.scheduleReaders(at, {false}); }
    // The pages opened so far, without the version fetches.
    std::vector<std::string> pages() {
        std::vector<std::string> opened;
        for (const auto& command : startedCommands()) {
            if (command != kFetch) opened.push_back(command);
        }
        return opened;
    }
    unsigned trayIcon() { return sim.iconId(sim.shellIcons.at({trayWindow(), 129}).icon); }
    std::vector<unsigned> iconChanges() {
        std::vector<unsigned> changes;
        for (const auto& call : sim.notifyCalls) {
            if (call.action == platform::NotifyAction::modify) changes.push_back(sim.iconId(call.record.icon));
        }
        return changes;
    }
};

}  // namespace

TEST_F(AutoConnect, AnInsertedCardOpensThePortalPageAndThenChecksTheVersion) {
    cardIn(1000);
    sim.runFor(3000);
    EXPECT_EQ(startedCommands(), (std::vector<std::string>{kPortal, kFetch}));
    EXPECT_EQ(sim.starts[0].showState, platform::kShowHide);
    EXPECT_EQ(sim.starts[1].showState, platform::kShowHide);
    EXPECT_EQ(cardWatch.cardPrevious.load(), 1);
    EXPECT_EQ(dialog().greyIconTicks, 10);
    // Seen by the poller at 1000, then by the tick at 1000, confirmed 550 ms later.
    EXPECT_EQ(sim.starts[0].atMs, 1000 + 550 + 50);
}

TEST_F(AutoConnect, NothingOpensWhileAWebAtmPageIsOpenAndTheCardStaysPending) {
    const auto bankPage = sim.openWindow(webAtmTitles[8]);  // 台灣銀行網路ATM
    cardIn(1000);
    sim.runFor(5000);
    EXPECT_TRUE(pages().empty());
    EXPECT_EQ(cardWatch.cardPrevious.load(), 0);
    EXPECT_EQ(cardWatch.cardPresent.load(), 1);
    sim.closeWindow(bankPage);
    sim.runFor(1500);
    EXPECT_EQ(pages(), std::vector<std::string>{kPortal});
}

TEST_F(AutoConnect, TheGuardMatchesEveryRowIgnoringCaseButNotATrailingBlank) {
    cardIn(100);
    const int lookupsAtStart = sim.windowLookups;
    const int foldsAtStart = sim.cp950TitleFolds;
    for (int row = 0; row < kWebAtmTitleRows; ++row) {
        const auto window = sim.openWindow(webAtmTitles[row]);
        const int before = sim.windowEnumerations;
        sim.runFor(500);
        EXPECT_EQ(sim.windowEnumerations - before, 1) << "one pass over the windows a tick";
        ASSERT_TRUE(pages().empty()) << "row " << row + 1;
        sim.closeWindow(window);
    }
    EXPECT_EQ(sim.cp950TitleFolds, foldsAtStart) << "the table is prepared once, with the dialog";
    EXPECT_EQ(sim.windowLookups, lookupsAtStart) << "no FindWindowA walk";
    const auto lowerCase = sim.openWindow("webatm - microsoft internet explorer");
    sim.runFor(2000);
    EXPECT_TRUE(pages().empty());
    sim.closeWindow(lowerCase);
    sim.openWindow("台灣銀行網路ATM - Microsoft Internet Explorer ");
    // Row 130 ends in a blank: the same title without it is another title.
    const std::string row130 = webAtmTitles[129];
    sim.openWindow(row130.substr(0, row130.size() - 1));
    sim.runFor(1500);
    EXPECT_EQ(pages(), std::vector<std::string>{kPortal});
}

// Rows 33 "轉帳", 54 "渣打銀行 WebATM - 餘額查詢" (a page title holding " - ") and 130 (an address,
// then one blank more after the ending) as today's browsers title their pages, each in its
// browser's window class, in ordinary and private windows; the same titles in another program's
// window, and the near misses that must still let the page open.
TEST_F(AutoConnect, TheGuardKnowsTheRowsPagesInEveryBrowserAndNothingElse) {
    const std::u16string chromium = u"Chrome_WidgetWin_1";
    const std::u16string firefox = u"MozillaWindowClass";
    const std::u16string notepad = u"Notepad";
    const std::u16string internetExplorer = u"IEFrame";
    struct Form {
        std::u16string title;
        std::u16string windowClass;
        bool holds;
    };
    const Form browserForms[] = {
        {u"轉帳 - Windows Internet Explorer", internetExplorer, true},
        {u"轉帳 - Internet Explorer", internetExplorer, true},
        {u"https://ebank.pcfa.org.tw - 板橋市農會 網路ATM - Internet Explorer", internetExplorer, true},
        {u"轉帳 - Google Chrome", chromium, true},
        {u"轉帳 - google chrome", u"chrome_widgetwin_1", true},
        {u"轉帳 - Google Chrome - 工作", chromium, true},
        {u"轉帳 - Chromium", chromium, true},
        {u"渣打銀行 WebATM - 餘額查詢 - Chromium", chromium, true},
        {u"轉帳 - Whale", chromium, true},
        {u"轉帳 - Yandex", chromium, true},
        {u"轉帳 - Supermium", chromium, true},
        {u"轉帳 - Thorium", chromium, true},
        {u"轉帳 - Microsoft\u200b Edge", chromium, true},
        {u"轉帳 - Microsoft\u200b Edge Beta", chromium, true},
        {u"轉帳 - 個人 - Microsoft\u200b Edge", chromium, true},
        {u"轉帳 和另外 2 個頁面 - Microsoft\u200b Edge", chromium, true},
        {u"轉帳 和其他 12 個頁面 - 個人 - Microsoft\u200b Edge", chromium, true},
        {u"轉帳 和另外 3 个页面 - 个人 - Microsoft\u200b Edge", chromium, true},
        {u"渣打銀行 WebATM - 餘額查詢 and 1 more page - Personal - Microsoft\u200b Edge", chromium, true},
        {u"渣打銀行 WebATM - 餘額查詢 AND 2 MORE PAGES - Microsoft Edge", chromium, true},
        {u"轉帳 - [InPrivate] - Microsoft\u200b Edge", chromium, true},
        {u"轉帳 - Brave", chromium, true},
        {u"轉帳 - Opera", chromium, true},
        {u"轉帳 - Vivaldi", chromium, true},
        {u"轉帳 \u2014 Mozilla Firefox", firefox, true},
        {u"轉帳 - Mozilla Firefox", firefox, true},
        {u"轉帳 \u2014 Mozilla Firefox Private Browsing", firefox, true},
        {u"轉帳 - Mozilla Firefox (Private Browsing)", firefox, true},
        {u"轉帳 \u2014 Mozilla Firefox 隱私瀏覽模式", firefox, true},
        {u"轉帳 \u2014 Mozilla Firefox（隱私瀏覽模式）", firefox, true},
        {u"轉帳 \u2014 工作 \u2014 Mozilla Firefox", firefox, true},
        {u"渣打銀行 WebATM - 餘額查詢 \u2014 Personal \u2014 Mozilla Firefox 隱私瀏覽模式", firefox, true},
        {u"轉帳 \u2014 Firefox Developer Edition", firefox, true},
        {u"轉帳 \u2014 Firefox Nightly", firefox, true},
        {u"轉帳 \u2014 LibreWolf", firefox, true},
        {u"轉帳 \u2014 Waterfox", firefox, true},
        {u"轉帳 \u2014 Floorp", firefox, true},
        // A Firefox title in a Chromium window, and the forms no browser has.
        {u"轉帳 \u2014 Mozilla Firefox", chromium, false},
        {u"轉帳說明 - Google Chrome", chromium, false},
        {u"網路轉帳 - Microsoft\u200b Edge", chromium, false},
        {u"新聞 - Mozilla Firefox", firefox, false},
        {u"轉帳", chromium, false},
        {u"轉帳 - ", chromium, false},
        {u"轉帳 和另外 個頁面 - Microsoft\u200b Edge", chromium, false},
        {u"轉帳 - Google Chrome - ", chromium, false},
        {u"華銀網路ATM－帳號及金額確認 -- 網頁對話 - Google Chrome", chromium, false},
        {u"https://ebank.pcfa.org.tw - 板橋市農會 網路ATM  - Internet Explorer", internetExplorer, false},
        {u"轉帳說明 - Brave", chromium, false},
        {u"轉帳說明 \u2014 Mozilla Firefox 隱私瀏覽模式", firefox, false},
        {u"轉帳 隱私瀏覽模式", firefox, false},
        {u"轉帳 (Private Browsing)", firefox, false},
        {u"轉帳 \u2014  \u2014 Mozilla Firefox", firefox, false},
    };
    WebAtmGuard guard(sim, webAtmTitles, kWebAtmTitleRows);
    const auto holds = [&](const std::u16string& title, const std::u16string& windowClass) {
        const auto window = sim.openWindow(title, windowClass);
        const bool held = guard.pageWindow() == window;
        sim.closeWindow(window);
        return held;
    };
    for (const Form& form : browserForms) {
        EXPECT_EQ(holds(form.title, form.windowClass), form.holds) << sim.window(sim.openWindow(form.title)).title;
        // A browser's title in another program's window (a note, a document) is no page.
        if (form.windowClass != internetExplorer) {
            EXPECT_FALSE(holds(form.title, notepad)) << sim.window(sim.openWindow(form.title)).title;
        }
    }
    // The class is read only for a title that names a page.
    const int before = sim.classReads;
    for (int other = 0; other < 20; ++other) sim.openWindow(u"記事本 - " + std::u16string(1, u'A' + other), notepad);
    EXPECT_EQ(guard.pageWindow(), 0u);
    EXPECT_EQ(sim.classReads, before);
}

// The classes of Chromium and Firefox are also other programs' (Thunderbird: Firefox's engine;
// Visual Studio Code, Teams, Discord, Slack, Spotify: Electron's): only a web browser's window,
// by its program's name or as Windows knows browsers, holds an opening back.
TEST_F(AutoConnect, OnlyAWebBrowsersWindowWithAPagesTitleHoldsAnOpeningBack) {
    const std::u16string chromium = u"Chrome_WidgetWin_1";
    const std::u16string firefox = u"MozillaWindowClass";
    sim.webBrowsers = {u"C:\\Program Files\\Some Browser\\SomeBrowser.exe",
                       u"C:\\Users\\Wen\\AppData\\Local\\Other\\other.exe"};
    struct Window {
        std::u16string title;
        std::u16string windowClass;
        std::u16string program;
        bool holds;
    };
    const Window windows[] = {
        {u"轉帳 - Mozilla Thunderbird", firefox, u"C:\\Program Files\\Mozilla Thunderbird\\thunderbird.exe", false},
        {u"轉帳 - Visual Studio Code", chromium, u"C:\\Users\\Wen\\AppData\\Local\\Programs\\Microsoft VS Code\\Code.exe", false},
        {u"轉帳 - Microsoft Teams", chromium, u"C:\\Program Files\\WindowsApps\\MSTeams_x64\\ms-teams.exe", false},
        {u"轉帳 - Discord", chromium, u"C:\\Users\\Wen\\AppData\\Local\\Discord\\app-1.0\\Discord.exe", false},
        {u"主選單 - Slack", chromium, u"C:\\Users\\Wen\\AppData\\Local\\slack\\slack.exe", false},
        {u"餘額查詢 - Spotify", chromium, u"C:\\Users\\Wen\\AppData\\Roaming\\Spotify\\Spotify.exe", false},
        // Known by name wherever they lie (portable copies), by registration, by the https handler.
        {u"轉帳 - Google Chrome", chromium, u"D:\\PortableApps\\ChromePortable\\App\\Chrome-bin\\CHROME.EXE", true},
        {u"轉帳 \u2014 LibreWolf", firefox, u"E:\\LibreWolf\\librewolf.exe", true},
        {u"轉帳 - Some Browser", chromium, u"c:\\program files\\some browser\\somebrowser.exe", true},
        {u"轉帳 \u2014 Other", firefox, u"C:\\Users\\Wen\\AppData\\Local\\Other\\other.exe", true},
        // A window whose program cannot be asked (elevated, another user's) counts as a browser's.
        {u"轉帳 - Google Chrome", chromium, u"", true},
    };
    WebAtmGuard guard(sim, webAtmTitles, kWebAtmTitleRows);
    for (const Window& window : windows) {
        const auto opened = sim.openWindow(window.title, window.windowClass, window.program);
        EXPECT_EQ(guard.pageWindow() == opened, window.holds) << sim.window(opened).title;
        sim.closeWindow(opened);
    }
    // A mail whose subject is a page's, selected in Thunderbird, holds no card back, also later.
    const auto mail = sim.openWindow(windows[0].title, windows[0].windowClass, windows[0].program);
    cardIn(1000);
    sim.runFor(3000);
    EXPECT_EQ(pages(), std::vector<std::string>{kPortal});
    sim.closeWindow(mail);
    // The program is asked only for a window whose title and class name a page, and the list of
    // browsers only for a program that its name does not tell.
    const int programs = sim.programReads;
    const int lists = sim.browserListReads;
    for (int other = 0; other < 20; ++other) {
        sim.openWindow(u"新分頁 " + std::u16string(1, u'A' + other) + u" - Google Chrome", chromium, u"C:\\x\\chrome.exe");
        sim.openWindow(u"轉帳 - 記事本", u"Notepad", u"C:\\Windows\\notepad.exe");
    }
    sim.openWindow(u"轉帳 - Google Chrome", chromium, u"C:\\x\\chrome.exe");
    EXPECT_NE(guard.pageWindow(), 0u);
    EXPECT_EQ(sim.programReads, programs + 1);
    EXPECT_EQ(sim.browserListReads, lists);
}

TEST_F(AutoConnect, TheBankingWindowHoldsTheInsertionWhateverTabItShowsUntilItIsGone) {
    // A tab switch: the window that showed the Web ATM page shows another page's title now.
    const auto browser = sim.openWindow(u"台灣銀行網路ATM - Google Chrome", u"Chrome_WidgetWin_1");
    cardIn(1000);
    sim.runFor(3000);
    EXPECT_TRUE(pages().empty());
    sim.retitleWindow(browser, u"新聞 - Google Chrome");
    const int enumerations = sim.windowEnumerations;
    sim.runFor(5000);
    EXPECT_TRUE(pages().empty()) << "the portal opened over the banking page's window";
    EXPECT_EQ(sim.windowEnumerations, enumerations) << "the held window is asked after, not every title";
    sim.closeWindow(browser);
    sim.runFor(2000);
    EXPECT_EQ(pages(), std::vector<std::string>{kPortal});
    // A removal forgets the window: a later card held by nothing opens its page.
    const auto second = sim.openWindow(u"轉帳 - Chromium", u"Chrome_WidgetWin_1");
    cardOut(sim.now() + 500);
    cardIn(sim.now() + 7000);
    sim.runFor(9000);
    EXPECT_EQ(pages().size(), 1u) << "held by the open banking page";
    sim.retitleWindow(second, u"新聞 - Chromium");
    cardOut(sim.now() + 500);
    cardIn(sim.now() + 7000);
    sim.runFor(9000);
    EXPECT_EQ(pages().size(), 2u) << "a window that held an insertion taken out holds none later";
}

TEST_F(AutoConnect, ACardInAndOutWithinHalfASecondOpensNothing) {
    // The tick at 1500 sees the card at its first look (1550) and sees it gone at its second (2050).
    cardIn(1260);
    cardOut(1650);
    sim.runFor(4000);
    EXPECT_TRUE(pages().empty());
    EXPECT_EQ(iconChanges().front(), 144u);
}

TEST_F(AutoConnect, TheFirstOpeningAfterAFreshInstallAlsoOpensTheRegistrationPage) {
    std::remove(sim.pathOf("Reader.ini").c_str());
    cardIn(1000);
    sim.runFor(3000);
    EXPECT_EQ(pages(), (std::vector<std::string>{kPortal, kRegistration}));
    EXPECT_EQ(settings::read(sim, "Register", "Check"), "OK");
    cardOut(4000);
    cardIn(12000);
    sim.runFor(12000);
    EXPECT_EQ(pages(), (std::vector<std::string>{kPortal, kRegistration, kPortal}));
}

TEST_F(AutoConnect, ACheckOfAnyOtherTextOrEmptyIsOverwrittenAndOpensTheRegistrationPage) {
    for (const char* check : {"ok", ""}) {
        sim.writeFile("Reader.ini", std::string("[Register]\r\nCheck=") + check + "\r\n");
        cardIn(sim.now() + 100);
        sim.runFor(3000);
        EXPECT_EQ(pages(), (std::vector<std::string>{kPortal, kRegistration})) << '"' << check << '"';
        EXPECT_EQ(settings::read(sim, "Register", "Check"), "OK");
        cardOut(sim.now() + 100);
        sim.runFor(7000);
        sim.starts.clear();
    }
}

TEST_F(AutoConnect, WhenReaderIniCannotBeWrittenEveryOpeningOpensTheRegistrationPage) {
    std::remove(sim.pathOf("Reader.ini").c_str());
    sim.readOnlyFiles = {"Reader.ini"};
    cardIn(1000);
    cardOut(4000);
    cardIn(12000);
    sim.runFor(14000);
    EXPECT_EQ(pages(), (std::vector<std::string>{kPortal, kRegistration, kPortal, kRegistration}));
}

TEST_F(AutoConnect, APublishedNewerVersionMakesTheNextOpeningTheNewVersionPage) {
    publishVersion("003.002.000.002");
    cardIn(1000);
    cardOut(4000);
    cardIn(12000);
    sim.runFor(14000);
    EXPECT_EQ(pages(), (std::vector<std::string>{kPortal, kNewVersion}));
    EXPECT_EQ(dialog().newerVersion, 1);
}

TEST_F(AutoConnect, AfterRemovalTheIconIsGreyForTenTicksThenRedAgain) {
    cardIn(1000);
    cardOut(4000);
    sim.runFor(3500);  // opened
    ASSERT_EQ(pages().size(), 1u);
    sim.runFor(500 * 13);
    const auto changes = iconChanges();
    // Later ticks with the card out change nothing: the red icon is shown already.
    ASSERT_EQ(changes.size(), 11u);
    EXPECT_EQ(std::vector<unsigned>(changes.begin(), changes.begin() + 10), std::vector<unsigned>(10, 146u));
    EXPECT_EQ(changes[10], 144u);
    EXPECT_EQ(trayIcon(), 144u);
    EXPECT_TRUE(sim.isSmallIcon(sim.shellIcons.at({trayWindow(), 129}).icon));
    EXPECT_EQ(dialog().greyIconTicks, 0);
}

namespace {

// Two readers: the second holds a card from before Krev starts (a keyboard's reader with the
// health-insurance card left in, a security key's smart-card interface).
class AutoConnectWithACardLeftIn : public AutoConnect {
protected:
    void SetUp() override {
        publishVersion("003.002.000.001");
        sim.scheduleReaders(0, {false, true});
        startKrev();
        settings::write(sim, "Register", "Check", "OK");
    }
};

}  // namespace

TEST_F(AutoConnectWithACardLeftIn, ACardLeftInAnotherReaderNeverHidesThisReadersCardsComingAndGoing) {
    for (long long round = 0; round < 3; ++round) {
        sim.scheduleReaders(1000 + round * 10000, {true, true});
        sim.scheduleReaders(5000 + round * 10000, {false, true});
    }
    sim.runFor(32000);
    EXPECT_EQ(pages(), std::vector<std::string>(3, kPortal));
    const auto changes = iconChanges();
    EXPECT_EQ(std::count(changes.begin(), changes.end(), 146u), 30) << "a grey icon after every removal";
}

TEST_F(AutoConnect, ACardPutBackDuringTheGreyPhaseOpensItsPageOnceThePhaseHasRunOut) {
    cardIn(1000);
    cardOut(4000);
    cardIn(5600);
    sim.runFor(8000);
    EXPECT_EQ(pages(), std::vector<std::string>{kPortal}) << "no page opens during the phase";
    EXPECT_EQ(trayIcon(), 146u);
    sim.runFor(4000);
    ASSERT_EQ(pages(), (std::vector<std::string>{kPortal, kPortal}));
    const long long reopenedAt = std::find_if(sim.starts.rbegin(), sim.starts.rend(), [](const auto& start) {
                                     return start.commandLine == kPortal;
                                 })->atMs;
    EXPECT_LE(reopenedAt - 4000, 6600) << "ten grey ticks of 600 ms each (the confirmation), then the page";
    auto changes = iconChanges();
    ASSERT_EQ(changes.size(), 11u);
    EXPECT_EQ(std::vector<unsigned>(changes.begin(), changes.begin() + 10), std::vector<unsigned>(10, 146u));
    EXPECT_EQ(changes[10], 144u) << "the icon turns red as the page opens";
    // That opening counts like any other: the next removal shows the grey icon for ten ticks.
    EXPECT_EQ(dialog().greyIconTicks, 10);
    cardOut(sim.now() + 100);
    sim.runFor(7000);
    changes = iconChanges();
    ASSERT_GE(changes.size(), 22u);
    EXPECT_EQ(std::vector<unsigned>(changes.begin() + 11, changes.begin() + 21), std::vector<unsigned>(10, 146u));
    EXPECT_EQ(changes[21], 144u);
    EXPECT_EQ(pages().size(), 2u);
}

TEST_F(AutoConnect, SwitchingOffStopsTheTimerAndClearsTheFlagsAndOnAgainOpensAWaitingCard) {
    cardIn(1000);
    cardOut(4000);
    sim.runFor(12000);  // opened, then the grey phase has run out
    ASSERT_EQ(dialog().greyIconPhase, 0);
    sim.sendCommand(mainWindow(), ID_AUTO_CONNECT);
    EXPECT_EQ(dialog().autoConnect, 0);
    EXPECT_FALSE(sim.timerRunning(mainWindow(), 1));
    EXPECT_EQ(cardWatch.cardPrevious.load(), 0);
    EXPECT_EQ(cardWatch.cardPresent.load(), 0);
    cardIn(sim.now() + 200);
    sim.runFor(3000);
    EXPECT_EQ(pages().size(), 1u);
    sim.sendCommand(mainWindow(), ID_AUTO_CONNECT);
    EXPECT_EQ(dialog().autoConnect, 1);
    EXPECT_EQ(sim.timerPeriod(mainWindow(), 1), 500u);
    sim.runFor(1200);  // the first tick confirms it
    EXPECT_EQ(pages().size(), 2u);
}

TEST_F(AutoConnect, TheSwitchIsKeptInReaderIniForTheNextStartAndOnlyAZeroMeansOff) {
    sim.sendCommand(mainWindow(), ID_AUTO_CONNECT);
    EXPECT_EQ(settings::read(sim, "Reader", "AutoConnect"), "0");
    app.reset();  // the next logon
    startKrev();
    EXPECT_EQ(dialog().autoConnect, 0);
    EXPECT_FALSE(sim.timerRunning(mainWindow(), 1));
    cardIn(sim.now() + 200);
    sim.runFor(3000);
    EXPECT_TRUE(pages().empty());
    sim.sendCommand(mainWindow(), ID_AUTO_CONNECT);
    EXPECT_EQ(settings::read(sim, "Reader", "AutoConnect"), "1");
    // A value that this version did not write (a hand edit, a damaged file) is the default: on.
    for (const char* value : {"off", "", "00", "-0"}) {
        settings::write(sim, "Reader", "AutoConnect", value);
        app.reset();
        startKrev();
        EXPECT_EQ(dialog().autoConnect, 1) << '"' << value << '"';
        EXPECT_EQ(sim.timerPeriod(mainWindow(), 1), 500u);
    }
    EXPECT_EQ(settings::read(sim, "Reader", "Select"), "") << "the reader's key is not touched";
}

TEST_F(AutoConnect, OnlyTheUserAtTheScreenGetsPagesAndAnInsertionWhileAwayIsUsedUp) {
    EXPECT_EQ(sim.sessionWatchers, std::set<platform::WindowHandle>{mainWindow()});
    long long at = 1000;
    // Each way of leaving the screen, and of coming back to it.
    const std::pair<platform::SessionChange, platform::SessionChange> absences[] = {
        {platform::kSessionLock, platform::kSessionUnlock},
        {platform::kConsoleDisconnect, platform::kConsoleConnect},
        {platform::kRemoteDisconnect, platform::kRemoteConnect},
        {platform::kConsoleDisconnect, platform::kRemoteConnect},
    };
    std::size_t expected = 0;
    for (const auto& [away, back] : absences) {
        sim.runFor(at - sim.now());
        sim.changeSession(away);
        cardIn(at + 500);
        sim.runFor(3000);
        sim.changeSession(back);
        sim.runFor(3000);
        EXPECT_EQ(pages().size(), expected) << "an insertion while away opened a page on return (" << away << ")";
        // The next card, with the user back, opens the portal as ever.
        cardOut(sim.now() + 100);
        cardIn(sim.now() + 1000);
        sim.runFor(3000);
        EXPECT_EQ(pages().size(), ++expected) << back;
        cardOut(sim.now() + 100);
        sim.runFor(8000);  // the grey phase runs out
        at = sim.now() + 500;
    }
    // Locked and disconnected at once: both must end before pages open again.
    sim.changeSession(platform::kSessionLock);
    sim.changeSession(platform::kConsoleDisconnect);
    sim.changeSession(platform::kConsoleConnect);
    cardIn(sim.now() + 500);
    sim.runFor(3000);
    EXPECT_EQ(pages().size(), expected) << "still behind the lock screen";
    sim.changeSession(platform::kSessionUnlock);
    cardOut(sim.now() + 100);
    cardIn(sim.now() + 1000);
    sim.runFor(3000);
    EXPECT_EQ(pages().size(), expected + 1);
    // Krev started in a session that another user's switch left without a screen, at a logon
    // whose session service takes requests only after a while.
    app.reset();
    EXPECT_TRUE(sim.sessionWatchers.empty()) << "the window gone, Windows still sends to it";
    sim.connectedAtStart = false;
    sim.sessionServiceReadyAtMs = sim.now() + 5000;
    sim.sessionWatchRequests = 0;
    sim.scheduleReaders(sim.now() + 100, {false});
    startKrev();
    sim.runFor(7000);
    EXPECT_EQ(sim.sessionWatchers, std::set<platform::WindowHandle>{mainWindow()});
    cardIn(sim.now() + 1000);
    sim.runFor(3000);
    EXPECT_EQ(pages().size(), expected + 1);
    sim.changeSession(platform::kConsoleConnect);
    cardOut(sim.now() + 100);
    cardIn(sim.now() + 1000);
    sim.runFor(3000);
    EXPECT_EQ(pages().size(), expected + 2);
    // Krev started behind the lock screen (the Restart Manager starts it again after an upgrade
    // at night): nothing opens until the session is unlocked.
    app.reset();
    sim.connectedAtStart = true;
    sim.lockedAtStart = true;
    sim.sessionServiceReadyAtMs = sim.now();
    sim.scheduleReaders(sim.now() + 100, {false});
    startKrev();
    cardIn(sim.now() + 1000);
    sim.runFor(3000);
    EXPECT_EQ(pages().size(), expected + 2) << "a page behind the lock screen";
    sim.changeSession(platform::kSessionUnlock);
    cardOut(sim.now() + 100);
    cardIn(sim.now() + 1000);
    sim.runFor(3000);
    EXPECT_EQ(pages().size(), expected + 3);
    sim.lockedAtStart = false;
    // A Windows that never takes the request is asked for a minute, not for ever.
    app.reset();
    sim.sessionServiceReadyAtMs = std::numeric_limits<long long>::max();
    sim.sessionWatchRequests = 0;
    startKrev();
    sim.runFor(300000);
    EXPECT_EQ(sim.sessionWatchRequests, kSessionWatchTries);
}

TEST_F(AutoConnect, TicksDuringTheVersionMessageBoxAreDropped) {
    sim.onProgramStart = nullptr;  // Pellit.dll never writes Ver.chk
    sim.messageBoxOpenMs = 3000;
    cardIn(1000);
    sim.runFor(16000);
    ASSERT_EQ(sim.messageBoxes.size(), 1u);
    EXPECT_EQ(pages(), std::vector<std::string>{kPortal});
    EXPECT_EQ(dialog().timerBusy, 0);
    EXPECT_EQ(dialog().newerVersion, 0);
}

// Cards and banking pages come and go at random, pages also in the middle of a tick. Held against
// a guard that reads the titles at the start of every tick: no page opens when a banking page was
// open at its tick's start or is open when it opens; a card that stays in long enough with no
// banking page is never missed, and none opens twice. An idle Krev reads no window titles at all.
TEST_F(AutoConnect, RandomCardsAndWindowsOpenEachCardOnceAndNeverOverABankingPage) {
    struct Span {
        long long from, to;
    };
    constexpr long long kRunMs = 900000;
    const std::pair<std::u16string, std::u16string> bankWindows[] = {
        {u"轉帳 \u2014 Mozilla Firefox 隱私瀏覽模式", u"MozillaWindowClass"},
        {u"轉帳 - [InPrivate] - Microsoft\u200b Edge", u"Chrome_WidgetWin_1"},
        {u"轉帳 - Brave", u"Chrome_WidgetWin_1"}};
    std::mt19937 random(20261209);
    auto between = [&](long long shortest, long long longest) {
        return shortest + static_cast<long long>(random() % static_cast<unsigned>(longest - shortest));
    };
    // A card in for 0.3 to 12 s, out for 0.3 to 3 s (the poller sees every change); a banking page
    // open for 0.1 to 1 s, now and then, and often just as a card comes or goes.
    std::vector<Span> cards, bankPages;
    for (long long at = 2000; at < kRunMs;) {
        const long long in = between(300, random() % 3 == 0 ? 12000 : 3000);
        cards.push_back({at, at + in});
        at += in + between(300, 3000);
    }
    for (const Span& card : cards) {
        for (long long edge : {card.from, card.to}) {
            if (random() % 3 == 0) {
                const long long from = edge + between(-700, 700);
                bankPages.push_back({from, from + between(100, 1000)});
            }
        }
        sim.scheduleReaders(card.from, {true});
        sim.scheduleReaders(card.to, {false});
    }
    for (const Span& page : bankPages) {
        const auto& [title, windowClass] = bankWindows[random() % 3];
        sim.openWindowBetween(title, page.from, page.to, windowClass);
    }
    sim.openWindow(u"轉帳說明 \u2014 Mozilla Firefox 隱私瀏覽模式", u"MozillaWindowClass");  // not a banking page
    sim.runFor(static_cast<unsigned>(kRunMs + 20000));

    auto bankPageAt = [&](long long at) {
        return std::any_of(bankPages.begin(), bankPages.end(), [at](const Span& page) { return page.from <= at && at < page.to; });
    };
    std::vector<long long> openings;
    for (const auto& start : sim.starts) {
        if (start.commandLine == kPortal || start.commandLine == kNewVersion) openings.push_back(start.atMs);
    }
    for (long long at : openings) {
        // A tick that opens a page starts 600 ms before: 50 ms first look, 500 ms confirmation, 50 ms pause.
        EXPECT_FALSE(bankPageAt(at - 600) || bankPageAt(at)) << "a page opened at " << at << " over a banking page";
    }
    int longCards = 0;
    for (const Span& card : cards) {
        const auto opened = std::count_if(openings.begin(), openings.end(),
                                          [&](long long at) { return card.from <= at && at < card.to + 700; });
        EXPECT_LE(opened, 1) << "the card put in at " << card.from << " opened its page twice";
        const bool bankPageMeanwhile = std::any_of(bankPages.begin(), bankPages.end(), [&](const Span& page) {
            return page.from < card.to && card.from - 600 < page.to;
        });
        if (card.to - card.from >= 7500 && !bankPageMeanwhile) {
            ++longCards;
            EXPECT_EQ(opened, 1) << "the card put in at " << card.from << " was missed";
        }
    }
    EXPECT_GT(longCards, 10);
    EXPECT_GT(openings.size(), 50u);
    // Idle: no card coming or going, the grey icon's ticks run out, fifty other windows open.
    for (int window = 0; window < 50; ++window) sim.openWindow("記事本 " + std::to_string(window));
    const int passes = sim.windowEnumerations;
    sim.runFor(30000);
    EXPECT_EQ(sim.windowEnumerations, passes);
}

TEST_F(AutoConnect, TheTableHas130TitlesInCodePage950AndTheClosingRow) {
    EXPECT_STREQ(webAtmTitles[kWebAtmTitleRows], "EndOfBlock");
    EXPECT_STREQ(webAtmTitles[8], "\xA5\x78\xC6\x57\xBB\xC8\xA6\xE6\xBA\xF4\xB8\xF4" "ATM - Microsoft Internet Explorer");
    EXPECT_STREQ(webAtmTitles[17], "華銀網路ATM－帳號及金額確認 -- 網頁對話");
    const std::string last = webAtmTitles[129];
    EXPECT_EQ(last.substr(last.size() - 31), " - Microsoft Internet Explorer ");
    for (auto [a, b] : {std::pair{67, 69}, {70, 71}, {70, 72}, {70, 83}, {102, 104}}) {
        EXPECT_STREQ(webAtmTitles[a - 1], webAtmTitles[b - 1]);
    }
}

TEST_F(AutoConnect, TheSessionsEndOrAnInstallersRestartManagerEndsKrevAtOnceEvenInItsVersionMessageBox) {
    EXPECT_TRUE(sim.registeredForRestart) << "Windows would not start Krev again after an install";
    sim.onProgramStart = nullptr;  // Pellit.dll never writes Ver.chk: the check shows its message
    sim.messageBoxOpenMs = 3000;
    sim.onMessageBox = [this] {
        EXPECT_FALSE(sim.processEnded);
        dialog().onEndSession();
        EXPECT_TRUE(sim.processEnded) << "the session's end waited for the message box";
        EXPECT_EQ(sim.liveThreads(), 0);
        EXPECT_TRUE(sim.shellIcons.empty()) << "an icon left behind in the notification area";
    };
    cardIn(1000);
    sim.runFor(16000);
    ASSERT_EQ(sim.messageBoxes.size(), 1u);
}

TEST_F(AutoConnect, ExitChosenWhileTheVersionMessageBoxIsOpenEndsKrevOnceTheBoxCloses) {
    sim.onProgramStart = nullptr;  // Pellit.dll never writes Ver.chk: the check shows its message
    sim.messageBoxOpenMs = 3000;
    sim.onMessageBox = [this] { sim.sendCommand(mainWindow(), ID_EXIT); };
    cardIn(1000);
    sim.runFor(16000);
    ASSERT_EQ(sim.messageBoxes.size(), 1u);
    EXPECT_EQ(app->dialog(), nullptr);
    EXPECT_TRUE(sim.quitPosted);
    EXPECT_TRUE(sim.shellIcons.empty());
    EXPECT_EQ(sim.liveThreads(), 0);
}
