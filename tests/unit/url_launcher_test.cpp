// Farrow: the command-line tail reaches the browser unchanged; where the browser cannot be started,
// the shell opens the product's own addresses, and nothing else.
#include <gtest/gtest.h>

#include "product_config.h"

#include "farrow/url_launcher.h"
#include "platform/browser_launch.h"
#include "platform/command_line.h"
#include "platform/sim/sim_platform.h"

namespace {
class UrlLauncher : public ::testing::Test {
protected:
    UrlLauncher() { sim.executables[".\\DefaultCheck.htm"] = "C:\\Program Files\\Web Browser\\browser.exe"; }
    std::string launch(const wchar_t* commandLine) {
        EXPECT_EQ(runUrlLauncher(sim, command_line::tail(commandLine)), 0);
        EXPECT_EQ(sim.starts.size(), 1u);
        EXPECT_EQ(sim.starts.back().showState, platform::kShow);
        return sim.starts.back().commandLine;
    }
    platform::sim::SimPlatform sim;
};
}  // namespace

TEST_F(UrlLauncher, StartsTheBrowserOfDefaultCheckHtmWithTheAddressWhereHttpsHasNone) {
    EXPECT_EQ(launch(L"Farrow.exe http://www.quenby.example/portal/index.htm"),
              "\"C:\\Program Files\\Web Browser\\browser.exe\" http://www.quenby.example/portal/index.htm");
    EXPECT_EQ(sim.protocolLookups, std::vector<std::string>{"https"});
    EXPECT_EQ(sim.executableLookups, std::vector<std::string>{".\\DefaultCheck.htm"});
    EXPECT_TRUE(sim.addressOpens.empty());
}

TEST_F(UrlLauncher, TheDefaultBrowserIsTheProgramThatWindowsNamesForHttpsNotTheHandlerOfHtmFiles) {
    // Windows 10 and 11: a feature update or an editor has claimed .htm files.
    sim.executables[".\\DefaultCheck.htm"] = "C:\\Program Files\\Editor\\editor.exe";
    sim.protocolHandlers["https"] = "C:\\Program Files (x86)\\Microsoft\\Edge\\Application\\msedge.exe";
    EXPECT_EQ(launch(L"Farrow.exe https://www.quenby.example/portal/index.htm"),
              "\"C:\\Program Files (x86)\\Microsoft\\Edge\\Application\\msedge.exe\" "
              "https://www.quenby.example/portal/index.htm");
    EXPECT_TRUE(sim.executableLookups.empty());
}

TEST_F(UrlLauncher, ABrowserUnderAFolderThatTheAnsiCodePageLacksStartsWithItsPathWhole) {
    // "Zoë Ünal" in UTF-8, as the simulation keeps UTF-16 texts.
    const std::string folder = "C:\\Users\\Zo\xC3\xAB \xC3\x9Cnal\\AppData\\Local\\Vivaldi\\Application\\vivaldi.exe";
    sim.protocolHandlers["https"] = folder;
    EXPECT_EQ(launch(L"Farrow.exe https://www.quenby.example/portal/index.htm"),
              "\"" + folder + "\" https://www.quenby.example/portal/index.htm");
}

TEST_F(UrlLauncher, PassesQuotesPercentSignsAndTrailingBlanksUnchanged) {
    EXPECT_EQ(launch(L"Farrow.exe    \"a b\" %s %n%% x  "),
              "\"C:\\Program Files\\Web Browser\\browser.exe\" \"a b\" %s %n%% x  ");
}

TEST_F(UrlLauncher, AnEmptyTailStartsTheBrowserWithoutAPage) {
    EXPECT_EQ(launch(L"Farrow.exe"), "\"C:\\Program Files\\Web Browser\\browser.exe\" ");
}

TEST_F(UrlLauncher, AVeryLongTailIsPassedWhole) {
    const std::wstring address = L"http://x.example/" + std::wstring(70000, L'q');
    EXPECT_EQ(launch((L"Farrow.exe " + address).c_str()),
              "\"C:\\Program Files\\Web Browser\\browser.exe\" http://x.example/" + std::string(70000, 'q'));
}

TEST_F(UrlLauncher, WithoutABrowserTheShellOpensTheProductsAddressAndNothingElse) {
    sim.executables.clear();
    EXPECT_EQ(launch(L"Farrow.exe www.quenby.example"), "\"\" www.quenby.example");
    ASSERT_EQ(sim.addressOpens.size(), 1u);
    EXPECT_EQ(sim.addressOpens[0].commandLine, std::string(KREV_PAGE_SCHEME) + "www.quenby.example");
    EXPECT_EQ(sim.addressOpens[0].showState, platform::kShow);
    // A program, a file or another server's page named on the command line never reaches the shell.
    for (const wchar_t* other : {L"Farrow.exe C:\\Windows\\System32\\calc.exe", L"Farrow.exe \\\\server\\share\\x.exe",
                                 L"Farrow.exe https://www.quenby.example.evil.example/",
                                 L"Farrow.exe https://evil.example/www.quenby.example/",
                                 L"Farrow.exe https://www.quenby.example@evil.example/",
                                 L"Farrow.exe \"https://www.quenby.example/\" -new-window file:///c:/",
                                 L"Farrow.exe file:///C:/Windows/System32/calc.exe"}) {
        sim.starts.clear();
        launch(other);
    }
    EXPECT_EQ(sim.addressOpens.size(), 1u);
}

TEST_F(UrlLauncher, ABrowserThatCannotBeStartedLeavesTheAddressToTheShell) {
    // A packaged browser, or a handler that the shell reaches through DelegateExecute.
    sim.protocolHandlers["https"] = "C:\\Program Files\\WindowsApps\\Browser_1.0_x64\\browser.exe";
    const std::string command =
        "\"C:\\Program Files\\WindowsApps\\Browser_1.0_x64\\browser.exe\" https://reg.quenby.example/reg_reader.php";
    sim.startOutcomes[command] = platform::StartOutcome::failed;
    EXPECT_EQ(launch(L"Farrow.exe https://reg.quenby.example/reg_reader.php"), command);
    ASSERT_EQ(sim.addressOpens.size(), 1u);
    EXPECT_EQ(sim.addressOpens[0].commandLine, "https://reg.quenby.example/reg_reader.php");
}

TEST(ProductAddress, OnlyTheProductsServersPlainAsciiAndShortEnough) {
    wchar_t address[browser_launch::kLongestAddress];
    EXPECT_TRUE(browser_launch::productAddress(L"HTTPS://WWW.QUENBY.EXAMPLE/portal/index.htm", address));
    EXPECT_TRUE(browser_launch::productAddress(L"http://reg.quenby.example", address));
    EXPECT_FALSE(browser_launch::productAddress(L"https://www.quenby.example/a b", address));
    EXPECT_FALSE(browser_launch::productAddress(L"https://www.quenby.example/\u00e9", address));
    EXPECT_FALSE(browser_launch::productAddress(L"ftp://www.quenby.example/", address));
    EXPECT_FALSE(browser_launch::productAddress(L"", address));
    const std::wstring longest = L"https://www.quenby.example/" + std::wstring(browser_launch::kLongestAddress, L'x');
    EXPECT_FALSE(browser_launch::productAddress(longest.c_str(), address));
    EXPECT_EQ(address[0], L'\0');
}
