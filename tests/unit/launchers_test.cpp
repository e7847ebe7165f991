// PortalLaunch, Runlatch and the CD's autorun.exe.
#include "product_config.h"
#include <gtest/gtest.h>

#include "outside/autorun/package_opener.h"
#include "platform/sim/sim_platform.h"
#include "portallaunch/portal_launcher.h"
#include "runlatch/autorun_starter.h"

namespace {

constexpr char kBrowser[] = "C:\\Program Files\\Web Browser\\browser.exe";
constexpr char kPortal[] = KREV_PAGE_SCHEME "www.quenby.example/portal/index.htm";

std::string lookupPath(char drive) { return std::string(1, drive) + ":\\KREV\\DefaultCheck.htm"; }

class PortalLauncher : public ::testing::Test {
protected:
    void productFolderOn(std::initializer_list<char> drives) {
        for (char drive : drives) sim.executables[lookupPath(drive)] = std::string(1, drive) + ":\\browser.exe";
    }
    std::vector<std::string> lookups(std::initializer_list<char> drives) {
        std::vector<std::string> paths;
        for (char drive : drives) paths.push_back(lookupPath(drive));
        return paths;
    }
    std::string launch() {
        EXPECT_EQ(runPortalLauncher(sim), 0);
        EXPECT_EQ(sim.starts.size(), 1u);
        EXPECT_EQ(sim.starts.back().showState, platform::kShow);
        return sim.starts.back().commandLine;
    }
    platform::sim::SimPlatform sim;
};

}  // namespace

TEST_F(PortalLauncher, AFolderOnCIsFoundWithOneLookup) {
    productFolderOn({'C', 'D'});
    EXPECT_EQ(launch(), std::string("\"C:\\browser.exe\" ") + kPortal);
    EXPECT_EQ(sim.executableLookups, lookups({'C'}));
}

TEST_F(PortalLauncher, AFolderOnlyOnGIsFoundAfterFiveLookupsInDriveOrder) {
    productFolderOn({'G'});
    EXPECT_EQ(launch(), std::string("\"G:\\browser.exe\" ") + kPortal);
    EXPECT_EQ(sim.executableLookups, lookups({'C', 'D', 'E', 'F', 'G'}));
}

TEST_F(PortalLauncher, TheFirstDriveWinsAndNoLaterDriveIsAsked) {
    productFolderOn({'D', 'F'});
    EXPECT_EQ(launch(), std::string("\"D:\\browser.exe\" ") + kPortal);
    EXPECT_EQ(sim.executableLookups, lookups({'C', 'D'}));
}

TEST_F(PortalLauncher, WithoutAFolderOnCToGTheCommandIsTwoQuotesABlankAndTheAddress) {
    productFolderOn({'A', 'H'});
    EXPECT_EQ(launch(), std::string("\"\" ") + kPortal);
    EXPECT_EQ(sim.executableLookups.size(), 5u);
}

TEST_F(PortalLauncher, TheProgramForHttpsWinsOverAnyFolderAndNoDriveIsAsked) {
    productFolderOn({'C'});
    sim.protocolHandlers["https"] = kBrowser;
    EXPECT_EQ(launch(), std::string("\"") + kBrowser + "\" " + kPortal);
    EXPECT_EQ(sim.protocolLookups, std::vector<std::string>{"https"});
    EXPECT_TRUE(sim.executableLookups.empty());
}

TEST_F(PortalLauncher, ABrowserPathWithBlanksStaysOneQuotedWord) {
    sim.executables[lookupPath('E')] = kBrowser;
    EXPECT_EQ(launch(), std::string("\"") + kBrowser + "\" " + kPortal);
}

TEST(AutorunStarter, TheCDsAutorunOpensThePackageBesideItThroughTheShell) {
    platform::sim::SimPlatform sim;
    EXPECT_EQ(openPackage(sim, "D:"), 0);
    ASSERT_EQ(sim.shellOpens.size(), 1u);
    EXPECT_EQ(sim.shellOpens[0].commandLine, "D:\\KrevSetup.msi");
    EXPECT_EQ(sim.shellOpens[0].showState, platform::kShowNormal);
    EXPECT_TRUE(sim.starts.empty());
    // A folder too long for a path opens nothing.
    EXPECT_EQ(openPackage(sim, std::string(platform::kMaxPath, 'x').c_str()), 0);
    EXPECT_EQ(sim.shellOpens.size(), 1u);
}

TEST(AutorunStarter, StartsAutorunFromTheWorkingDirectoryShownWithoutArguments) {
    platform::sim::SimPlatform sim;
    EXPECT_EQ(runAutorunStarter(sim), 0);
    ASSERT_EQ(sim.starts.size(), 1u);
    EXPECT_EQ(sim.starts[0].commandLine, ".\\autorun.exe");
    EXPECT_EQ(sim.starts[0].showState, platform::kShow);
    EXPECT_TRUE(sim.executableLookups.empty());
    EXPECT_TRUE(sim.shellOpens.empty());
}

TEST(AutorunStarter, AnInstallerThatAsksForAnAdministratorIsOpenedThroughTheShellAndNothingElseIs) {
    for (const auto outcome : {platform::StartOutcome::needsElevation, platform::StartOutcome::failed}) {
        platform::sim::SimPlatform sim;
        sim.startOutcomes[".\\autorun.exe"] = outcome;
        EXPECT_EQ(runAutorunStarter(sim), 0);
        EXPECT_EQ(sim.starts.size(), 1u);
        if (outcome == platform::StartOutcome::failed) {
            EXPECT_TRUE(sim.shellOpens.empty()) << "a disc taken out, or no autorun.exe: nothing more";
            continue;
        }
        ASSERT_EQ(sim.shellOpens.size(), 1u);
        EXPECT_EQ(sim.shellOpens[0].commandLine, ".\\autorun.exe");
        EXPECT_EQ(sim.shellOpens[0].showState, platform::kShow);
    }
}

TEST_F(PortalLauncher, WithoutABrowserThatStartsTheShellOpensThePortal) {
    productFolderOn({'H'});
    EXPECT_EQ(launch(), std::string("\"\" ") + kPortal);
    ASSERT_EQ(sim.addressOpens.size(), 1u);
    EXPECT_EQ(sim.addressOpens[0].commandLine, kPortal);
}
