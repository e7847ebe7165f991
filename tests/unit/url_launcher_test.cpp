// Farrow: the command-line tail reaches the browser byte for byte.
#include <gtest/gtest.h>

#include "farrow/url_launcher.h"
#include "platform/command_line.h"
#include "platform/sim/sim_platform.h"

namespace {
class UrlLauncher : public ::testing::Test {
protected:
    UrlLauncher() { sim.executables[".\\DefaultCheck.htm"] = "C:\\Program Files\\Web Browser\\browser.exe"; }
    std::string launch(const char* commandLine) {
        EXPECT_EQ(runUrlLauncher(sim, command_line::tail(commandLine)), 0);
        EXPECT_EQ(sim.starts.size(), 1u);
        EXPECT_EQ(sim.starts.back().showState, platform::kShow);
        return sim.starts.back().commandLine;
    }
    platform::sim::SimPlatform sim;
};
}  // namespace

TEST_F(UrlLauncher, StartsTheBrowserOfDefaultCheckHtmWithTheAddressWhereHttpsHasNone) {
    EXPECT_EQ(launch("Farrow.exe http://www.quenby.example/portal/index.htm"),
              "\"C:\\Program Files\\Web Browser\\browser.exe\" http://www.quenby.example/portal/index.htm");
    EXPECT_EQ(sim.protocolLookups, std::vector<std::string>{"https"});
    EXPECT_EQ(sim.executableLookups, std::vector<std::string>{".\\DefaultCheck.htm"});
}

TEST_F(UrlLauncher, TheDefaultBrowserIsTheProgramThatWindowsNamesForHttpsNotTheHandlerOfHtmFiles) {
    // Windows 10 and 11: a feature update or an editor has claimed .htm files.
    sim.executables[".\\DefaultCheck.htm"] = "C:\\Program Files\\Editor\\editor.exe";
    sim.protocolHandlers["https"] = "C:\\Program Files (x86)\\Microsoft\\Edge\\Application\\msedge.exe";
    EXPECT_EQ(launch("Farrow.exe https://www.quenby.example/portal/index.htm"),
              "\"C:\\Program Files (x86)\\Microsoft\\Edge\\Application\\msedge.exe\" "
              "https://www.quenby.example/portal/index.htm");
    EXPECT_TRUE(sim.executableLookups.empty());
}

TEST_F(UrlLauncher, PassesQuotesPercentSignsAndTrailingBlanksUnchanged) {
    EXPECT_EQ(launch("Farrow.exe    \"a b\" %s %n%% x  "),
              "\"C:\\Program Files\\Web Browser\\browser.exe\" \"a b\" %s %n%% x  ");
}

TEST_F(UrlLauncher, AnEmptyTailStartsTheBrowserWithoutAPage) {
    EXPECT_EQ(launch("Farrow.exe"), "\"C:\\Program Files\\Web Browser\\browser.exe\" ");
}

TEST_F(UrlLauncher, AVeryLongTailIsPassedWhole) {
    const std::string address = "http://x.example/" + std::string(70000, 'q');
    EXPECT_EQ(launch(("Farrow.exe " + address).c_str()),
              "\"C:\\Program Files\\Web Browser\\browser.exe\" " + address);
}

TEST_F(UrlLauncher, WithoutDefaultCheckHtmTheCommandIsTwoQuotesABlankAndTheTail) {
    sim.executables.clear();
    EXPECT_EQ(launch("Farrow.exe www.quenby.example"), "\"\" www.quenby.example");
}
