// The notification-area icon, its mouse table and the page opener.
#include "product_config.h"
#include <cstring>

#include "krev/system_tray.h"
#include "krev_fixture.h"

using platform::NotifyAction;

namespace {
constexpr char kPortal[] = "Farrow.exe " KREV_PAGE_SCHEME "www.quenby.example/portal/index.htm";

class TrayIcon : public KrevFixture {
protected:
    TrayIcon() : tray(sim) { sim.setMainWindow(mainDialog); }
    std::intptr_t mouse(unsigned message, std::uintptr_t id = 129) {
        return sim.sendMessage(trayWindow(), 1135, id, static_cast<std::intptr_t>(message));
    }

    platform::WindowHandle mainDialog = sim.openWindow("About Vyx");
    CSystemTray tray;
};
}  // namespace

TEST_F(TrayIcon, AddIconCreatesTheHiddenTrayWindowAndAddsTheIconWithItsTip) {
    ASSERT_TRUE(tray.AddIcon(1135, "Vyx", sim.loadIcon(128), 129));
    const platform::WindowHandle window = trayWindow();
    ASSERT_NE(window, 0u);
    EXPECT_FALSE(sim.window(window).visible);
    ASSERT_EQ(sim.notifyCalls.size(), 1u);
    const auto& added = sim.notifyCalls[0];
    EXPECT_EQ(added.action, NotifyAction::add);
    EXPECT_EQ(added.record.size, 488u);
    EXPECT_EQ(added.record.window, window);
    EXPECT_EQ(added.record.id, 129u);
    EXPECT_EQ(added.record.flags, 7u);
    EXPECT_EQ(added.record.callbackMessage, 1135u);
    EXPECT_EQ(sim.iconId(added.record.icon), 128u);
    EXPECT_STREQ(added.record.tip, "Vyx");
}

TEST_F(TrayIcon, AddIconFailsWhenTheWindowOrTheShellRefuses) {
    sim.refuseHiddenWindows = true;
    EXPECT_FALSE(tray.AddIcon(1135, "Vyx", sim.loadIcon(128), 129));
    EXPECT_TRUE(sim.notifyCalls.empty());
    sim.refuseHiddenWindows = false;
    sim.refuseIcons = true;
    CSystemTray refused(sim);
    EXPECT_FALSE(refused.AddIcon(1135, "Vyx", sim.loadIcon(128), 129));
}

TEST_F(TrayIcon, ATipLongerThan127BytesIsCut) {
    const std::string tip(300, 'x');
    tray.AddIcon(1135, tip.c_str(), sim.loadIcon(128), 129);
    EXPECT_EQ(std::strlen(sim.notifyCalls[0].record.tip), 127u);
}

TEST_F(TrayIcon, ChangeIconSwapsOnlyThePictureAndKeepsTheTip) {
    tray.AddIcon(1135, "Vyx", sim.loadIcon(128), 129);
    EXPECT_TRUE(tray.ChangeIcon(146));
    const auto& changed = sim.notifyCalls.back();
    EXPECT_EQ(changed.action, NotifyAction::modify);
    EXPECT_EQ(changed.record.flags, 2u);
    const auto& shown = sim.shellIcons.at({trayWindow(), 129});
    EXPECT_EQ(sim.iconId(shown.icon), 146u);
    EXPECT_EQ(shown.tip, "Vyx");
}

TEST_F(TrayIcon, AfterTheShellRestartsTheIconIsBackWithItsCurrentPictureAndTip) {
    tray.AddIcon(1135, "Vyx", sim.loadIcon(128), 129);
    tray.ChangeIcon(146);
    sim.restartShell();
    ASSERT_EQ(sim.shellIcons.count({trayWindow(), 129}), 1u);
    const auto& shown = sim.shellIcons.at({trayWindow(), 129});
    EXPECT_EQ(sim.iconId(shown.icon), 146u);
    EXPECT_EQ(shown.tip, "Vyx");
    EXPECT_EQ(shown.callbackMessage, 1135u);
    // Its menu answers as before.
    EXPECT_EQ(mouse(platform::kWmRButtonUp), 1);
}

TEST_F(TrayIcon, EitherButtonReleasedShowsAFreshMenuAtTheCursorOwnedByTheMainWindow) {
    tray.AddIcon(1135, "Vyx", sim.loadIcon(128), 129);
    sim.cursor = {900, 700};
    EXPECT_EQ(mouse(platform::kWmLButtonUp), 1);
    EXPECT_EQ(mouse(platform::kWmRButtonUp), 1);
    ASSERT_EQ(sim.menuTracks.size(), 2u);
    for (const auto& track : sim.menuTracks) {
        EXPECT_EQ(track.flags, 0u);
        EXPECT_EQ(track.at.x, 900);
        EXPECT_EQ(track.at.y, 700);
        EXPECT_EQ(track.owner, mainDialog);
        EXPECT_EQ(track.checkedAfterInit.size(), 14u);
    }
    EXPECT_NE(sim.menuTracks[0].menu, sim.menuTracks[1].menu);
    EXPECT_EQ(sim.destroyedMenus, 4);  // each display: the menu and its pop-up
    EXPECT_TRUE(sim.starts.empty());
}

TEST_F(TrayIcon, AMissingMenuResourceIgnoresTheClick) {
    sim.defineMenu(129, {});
    tray.AddIcon(1135, "Vyx", sim.loadIcon(128), 129);
    EXPECT_EQ(mouse(platform::kWmRButtonUp), 0);
    sim.defineMenu(129, {item("", 0)});
    EXPECT_EQ(mouse(platform::kWmRButtonUp), 0);
    EXPECT_TRUE(sim.menuTracks.empty());
}

TEST_F(TrayIcon, ADoubleClickWithEitherButtonOpensThePortalPage) {
    tray.AddIcon(1135, "Vyx", sim.loadIcon(128), 129);
    EXPECT_EQ(mouse(platform::kWmLButtonDblClk), 1);
    EXPECT_EQ(mouse(platform::kWmRButtonDblClk), 1);
    EXPECT_EQ(startedCommands(), (std::vector<std::string>{kPortal, kPortal}));
    EXPECT_EQ(sim.starts[0].showState, platform::kShowHide);
}

TEST_F(TrayIcon, EveryOtherMouseMessageBringsTheMainWindowForward) {
    tray.AddIcon(1135, "Vyx", sim.loadIcon(128), 129);
    for (unsigned message : {0x0200u, 0x0201u, 0x0204u, 0x0207u, 0x0208u, 0x0209u, 0x1234u}) {
        EXPECT_EQ(mouse(message), 1);
    }
    EXPECT_EQ(sim.foregroundRequests, std::vector<platform::WindowHandle>(7, mainDialog));
    EXPECT_TRUE(sim.menuTracks.empty());
    EXPECT_TRUE(sim.starts.empty());
}

TEST_F(TrayIcon, OnlyTheLowWordOfLParamNamesTheMouseMessage) {
    tray.AddIcon(1135, "Vyx", sim.loadIcon(128), 129);
    EXPECT_EQ(mouse(0x7FFF0000u | platform::kWmLButtonDblClk), 1);
    EXPECT_EQ(startedCommands(), std::vector<std::string>{kPortal});
}

TEST_F(TrayIcon, ACallbackForAnotherIconIdDoesNothing) {
    tray.AddIcon(1135, "Vyx", sim.loadIcon(128), 129);
    EXPECT_EQ(mouse(platform::kWmLButtonDblClk, 130), 0);
    EXPECT_EQ(mouse(platform::kWmRButtonUp, 0), 0);
    EXPECT_TRUE(sim.starts.empty());
    EXPECT_TRUE(sim.menuTracks.empty());
}

TEST_F(TrayIcon, OtherMessagesGoToTheDefaultWindowProcedure) {
    tray.AddIcon(1135, "Vyx", sim.loadIcon(128), 129);
    sim.sendMessage(trayWindow(), 0x001A, 0, 77);
    ASSERT_EQ(sim.defaultProcCalls.size(), 1u);
    EXPECT_EQ(sim.defaultProcCalls[0], std::make_pair(0x001Au, std::intptr_t{77}));
}

TEST_F(TrayIcon, DestroyingTheTrayRemovesTheIconAndItsWindow) {
    {
        CSystemTray shortLived(sim);
        shortLived.AddIcon(1135, "Vyx", sim.loadIcon(128), 77);
        EXPECT_EQ(sim.shellIcons.size(), 1u);
    }
    EXPECT_TRUE(sim.shellIcons.empty());
    EXPECT_EQ(sim.notifyCalls.back().action, NotifyAction::remove);
    EXPECT_EQ(sim.notifyCalls.back().record.flags, 0u);
}

TEST_F(TrayIcon, DestroyingATrayThatNeverAddedItsIconLeavesNothingBehind) {
    { CSystemTray unused(sim); }
    ASSERT_EQ(sim.notifyCalls.size(), 1u);
    EXPECT_FALSE(sim.notifyCalls[0].accepted);
    EXPECT_TRUE(sim.shellIcons.empty());
}

TEST(OpenWebPage, StartsFarrowHiddenBetweenTwoPausesOf50Ms) {
    platform::sim::SimPlatform sim;
    EXPECT_EQ(OpenWebPage(sim, "www.quenby.example/moica.htm"), 0);
    ASSERT_EQ(sim.starts.size(), 1u);
    EXPECT_EQ(sim.starts[0].commandLine, "Farrow.exe www.quenby.example/moica.htm");
    EXPECT_EQ(sim.starts[0].showState, platform::kShowHide);
    EXPECT_EQ(sim.starts[0].atMs, 50);
    EXPECT_EQ(sim.now(), 100);
}

TEST(OpenWebPage, PassesPercentSignsAndBlanksUnchanged) {
    platform::sim::SimPlatform sim;
    OpenWebPage(sim, "http://x.example/a b?%s%d ");
    EXPECT_EQ(sim.starts[0].commandLine, "Farrow.exe http://x.example/a b?%s%d ");
}
