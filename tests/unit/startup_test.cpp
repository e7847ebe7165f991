// Start-up of Krev, its hidden main dialog, and the way it ends.
#include "product_config.h"
#include <filesystem>

#include "krev/settings.h"
#include "krev_fixture.h"

using platform::NotifyAction;

TEST_F(KrevFixture, AStartWithoutAnEarlierInstanceShowsTheIconAndAHiddenToolWindow) {
    startKrev();
    EXPECT_TRUE(startedCommands().empty());
    ASSERT_NE(app->dialog(), nullptr);
    const auto& window = sim.window(mainWindow());
    EXPECT_EQ(window.title, "About Vyx");
    EXPECT_FALSE(window.visible);
    EXPECT_TRUE(window.toolWindow);
    EXPECT_EQ(window.timesCentred, 1);
    EXPECT_EQ(sim.iconId(window.icon), 144u);
    EXPECT_EQ(sim.mainWindow(), mainWindow());
    EXPECT_TRUE(sim.messageLoopRan);
    const auto& icon = sim.shellIcons.at({trayWindow(), 129});
    EXPECT_EQ(sim.iconId(icon.icon), 128u);
    EXPECT_TRUE(sim.isSmallIcon(icon.icon)) << "the shell would shrink the 32-pixel picture";
    EXPECT_EQ(icon.tip, "Vyx");
    EXPECT_EQ(icon.callbackMessage, 1135u);
}

TEST_F(KrevFixture, TheDialogInitialisationStartsTimerOneTheFlagsAndThePoller) {
    cardWatch.cardPresent = 1;
    cardWatch.cardPrevious = 1;
    startKrev();
    EXPECT_TRUE(sim.timerRunning(mainWindow(), 1));
    EXPECT_EQ(sim.timerPeriod(mainWindow(), 1), 500u);
    EXPECT_EQ(dialog().timerBusy, 0);
    EXPECT_EQ(dialog().newerVersion, 0);
    EXPECT_EQ(dialog().autoConnect, 1);
    EXPECT_EQ(dialog().greyIconTicks, 0);
    EXPECT_EQ(dialog().greyIconPhase, 0);
    EXPECT_EQ(cardWatch.cardPresent.load(), 0);
    EXPECT_EQ(cardWatch.cardPrevious.load(), 0);
    EXPECT_EQ(cardWatch.pollPeriodMs.load(), 100);
    EXPECT_NE(cardWatch.pollerThread.load(), 0u);
    EXPECT_EQ(cardWatch.pollerStopped.load(), 0);
    EXPECT_EQ(sim.liveThreads(), 1);
}

TEST_F(KrevFixture, AnEarlierInstanceIsAskedToCloseOnceHiddenBeforeTheNewWindowExists) {
    sim.openWindow("About Vyx");  // the earlier instance's hidden dialog
    startKrev();
    ASSERT_EQ(sim.starts.size(), 1u);
    EXPECT_EQ(sim.starts[0].commandLine, "CloseKREV.exe");
    EXPECT_EQ(sim.starts[0].showState, platform::kShowHide);
    // The closer was started before this instance added its icon or created its window.
    ASSERT_FALSE(sim.notifyCalls.empty());
    EXPECT_EQ(sim.windowLookups, 1);
    EXPECT_NE(app->dialog(), nullptr);
}

TEST_F(KrevFixture, StartedInItsProgramFolderKrevWorksInTheUsersOwnFolder) {
    startKrev();
    EXPECT_EQ(sim.workingFolder(), "C:\\Work") << "a working folder of the user's choice is kept";
    app.reset();
    // A double-click on Krev.exe in Explorer: even where it could write there (an elevated
    // administrator, Windows XP), its settings would become every user's at the next upgrade.
    std::filesystem::create_directories(sim.pathOf(sim.programFolderPath));
    sim.writeFile(sim.programFolderPath + "\\DefaultCheck.htm", "check");
    ASSERT_TRUE(sim.setWorkingFolder(sim.programFolderPath + "\\"));
    startKrev();
    EXPECT_EQ(sim.workingFolder(), "C:\\Users\\Lin\\AppData\\Roaming\\Vyx");
    EXPECT_EQ(sim.readFile(".\\DefaultCheck.htm"), "check");
    settings::write(sim, "Register", "Check", "OK");
    EXPECT_EQ(sim.readFile("C:\\Users\\Lin\\AppData\\Roaming\\Vyx\\Reader.ini"), "[Register]\r\nCheck=OK\r\n");
    EXPECT_FALSE(sim.pathState(sim.programFolderPath + "\\Reader.ini").exists);
    // Started again by Windows after an install (the Restart Manager ended it), wherever that
    // start puts it: the user's folder too.
    app.reset();
    ASSERT_TRUE(sim.setWorkingFolder("C:\\Work"));
    sim.restartStart = true;
    startKrev();
    EXPECT_EQ(sim.workingFolder(), "C:\\Users\\Lin\\AppData\\Roaming\\Vyx");
}

TEST_F(KrevFixture, AnEarlierInstanceIsRecognisedWhateverTheCaseOfItsTitle) {
    sim.openWindow("ABOUT vyx");
    startKrev();
    EXPECT_EQ(startedCommands(), std::vector<std::string>{"CloseKREV.exe"});
}

TEST_F(KrevFixture, AShellThatNeverTakesTheIconEndsKrevOnceTheBoundHasPassedInElapsedTime) {
    sim.refuseIcons = true;
    sim.shellCallMs = 4000;  // a shell that answers each call only after its time-out
    startKrev();
    ASSERT_NE(app->dialog(), nullptr);
    sim.runFor(kShellWaitMs - 20000);
    ASSERT_NE(app->dialog(), nullptr) << "gave up before the bound";
    sim.runFor(40000);
    EXPECT_EQ(app->dialog(), nullptr) << "the wait counted retries, not the time that passed";
    EXPECT_TRUE(sim.quitPosted);
    EXPECT_EQ(sim.liveThreads(), 0);
    EXPECT_EQ(sim.findWindow("About Vyx"), 0u);
    EXPECT_EQ(sim.findWindow("CSystemTray Dummy Window"), 0u);
}

TEST_F(KrevFixture, DuringASlowLogonKrevIsWholeAndFindableAndTheIconComesWhenTheShellTakesIt) {
    sim.shellReadyAtMs = 40000;
    sim.scheduleReaders(0, {false});
    sim.scheduleReaders(5000, {true});
    settings::write(sim, "Register", "Check", "OK");
    startKrev();
    EXPECT_TRUE(sim.messageLoopRan) << "the message loop runs during the wait";
    EXPECT_EQ(sim.now(), 0) << "no sleep on the user-interface thread";
    sim.runFor(20000);
    EXPECT_TRUE(sim.shellIcons.empty());
    // What a second Krev asks first: the window is there to be found.
    EXPECT_EQ(sim.findWindow(KREV_ABOUT_CAPTION), mainWindow());
    // The poller and the timer ran as usual: the card was served.
    ASSERT_FALSE(startedCommands().empty());
    EXPECT_EQ(startedCommands()[0], "Farrow.exe " KREV_PAGE_SCHEME "www.quenby.example/portal/index.htm");
    sim.runFor(21000);
    EXPECT_EQ(sim.shellIcons.size(), 1u);
    EXPECT_FALSE(sim.timerRunning(trayWindow(), 1)) << "the shell was asked again after it took the icon";
    EXPECT_NE(app->dialog(), nullptr);
}

TEST_F(KrevFixture, AsTheSystemAccountKrevEndsAtOnceWithNothingMade) {
    sim.localSystem = true;
    sim.openWindow(KREV_ABOUT_CAPTION);  // a user's Krev, which it must not end
    app = std::make_unique<CKrevSystemTrayApp>(sim);
    EXPECT_FALSE(app->InitInstance());
    EXPECT_EQ(app->dialog(), nullptr);
    EXPECT_TRUE(sim.notifyCalls.empty());
    EXPECT_TRUE(sim.starts.empty());
    EXPECT_EQ(sim.liveThreads(), 0);
    EXPECT_FALSE(sim.messageLoopRan);
    EXPECT_EQ(sim.now(), 0);
}

TEST_F(KrevFixture, ExitStopsThePollerBeforeRemovingTheIconAndThenDestroysTheWindow) {
    startKrev();
    const auto window = mainWindow();
    const auto tray = trayWindow();
    EXPECT_TRUE(sim.sendCommand(window, ID_EXIT));
    EXPECT_EQ(app->dialog(), nullptr);
    EXPECT_EQ(sim.closeRequests, std::vector<platform::WindowHandle>{window});
    EXPECT_EQ(sim.liveThreads(), 0);
    EXPECT_EQ(cardWatch.pollerThread.load(), 0u);
    EXPECT_TRUE(sim.shellIcons.empty());
    EXPECT_TRUE(sim.window(tray).destroyed);
    EXPECT_TRUE(sim.window(window).destroyed);
    EXPECT_TRUE(sim.quitPosted);
    EXPECT_EQ(sim.beeps, 0) << "Windows beeps at a close request that the About box leaves to it";
}

TEST_F(KrevFixture, ThePollerHasStoppedBeforeAnyMemberOfTheDialogGoes) {
    startKrev();
    sim.sendCommand(mainWindow(), ID_SELECT_READER);  // the reader dialog's window exists too
    const std::size_t before = sim.notifyCalls.size();
    ASSERT_EQ(sim.liveThreads(), 1);
    sim.releases.clear();
    sim.sendCommand(mainWindow(), ID_EXIT);
    // The font, the reader dialog, the tray window and the dialog window, in that order.
    ASSERT_EQ(sim.releases, (std::vector<std::pair<std::string, int>>{
                                {"gdi", 0}, {"window", 0}, {"window", 0}, {"window", 0}}));
    EXPECT_EQ(sim.threadJoinLimits, std::vector<unsigned>{2000}) << "the wait for the poller is bounded";
    ASSERT_EQ(sim.notifyCalls.size(), before + 1);
    EXPECT_EQ(sim.notifyCalls[before].action, NotifyAction::remove);
    EXPECT_EQ(sim.notifyCalls[before].liveThreads, 0);
    const int queries = sim.cardQueries();
    sim.sleep(1000);
    EXPECT_EQ(sim.cardQueries(), queries);
}

TEST_F(KrevFixture, OkAndCancelStopTheTimerAndHideTheDialogButKeepAutoConnect) {
    startKrev();
    for (unsigned command : {1u, 2u}) {
        sim.setTimer(mainWindow(), 1, 500);
        sim.showWindow(mainWindow(), platform::kShowNormal);
        EXPECT_TRUE(sim.sendCommand(mainWindow(), command));
        EXPECT_FALSE(sim.timerRunning(mainWindow(), 1));
        EXPECT_FALSE(sim.window(mainWindow()).visible);
        EXPECT_EQ(dialog().autoConnect, 1);
        // The menu item stays checked; switching off and on starts the timer again.
        sim.sendMessage(trayWindow(), 1135, 129, platform::kWmRButtonUp);
        EXPECT_TRUE(sim.menuTracks.back().checkedAfterInit[4]);
        sim.sendCommand(mainWindow(), ID_AUTO_CONNECT);
        sim.sendCommand(mainWindow(), ID_AUTO_CONNECT);
        EXPECT_EQ(sim.timerPeriod(mainWindow(), 1), 500u);
    }
}

TEST_F(KrevFixture, WithoutAPollerThreadOrItsStopSignalKrevRunsWithoutAutomaticOpening) {
    for (bool refuseSignal : {false, true}) {
        platform::sim::SimPlatform machine;
        machine.defineDialog(IDD_ABOUT_BOX, KREV_ABOUT_CAPTION);
        machine.refuseThreads = !refuseSignal;
        machine.refuseStopSignals = refuseSignal;
        machine.scheduleReaders(0, {false});
        machine.scheduleReaders(1000, {true});
        CKrevSystemTrayApp krev(machine);
        krev.InitInstance();
        EXPECT_EQ(cardWatch.pollerThread.load(), 0u);
        machine.runFor(3000);
        EXPECT_TRUE(machine.starts.empty()) << "no poller, no opening";
        EXPECT_EQ(machine.cardQueries(), 0);
        machine.sendCommand(krev.dialog()->handle(), ID_EXIT);
        EXPECT_EQ(krev.dialog(), nullptr);
        EXPECT_TRUE(machine.threadJoinLimits.empty());
    }
}

TEST_F(KrevFixture, TheAboutBoxOkButtonHidesItAndLeavesTheTimerRunning) {
    startKrev();
    sim.sendCommand(mainWindow(), ID_VERSION);
    EXPECT_TRUE(sim.window(mainWindow()).visible);
    // Alt+F4 does nothing, as on Windows (its Cancel button is disabled), and without a beep.
    sim.sendClose(mainWindow());
    sim.deliverPosted();
    EXPECT_TRUE(sim.window(mainWindow()).visible);
    EXPECT_TRUE(sim.timerRunning(mainWindow(), 1));
    EXPECT_EQ(sim.beeps, 0);
    EXPECT_TRUE(sim.sendCommand(mainWindow(), IDC_ABOUT_OK));
    EXPECT_FALSE(sim.window(mainWindow()).visible);
    EXPECT_TRUE(sim.timerRunning(mainWindow(), 1));
}

TEST_F(KrevFixture, TheMainWindowNeverGetsATaskbarButtonShownOrHidden) {
    startKrev();
    sim.sendCommand(mainWindow(), ID_VERSION);
    EXPECT_TRUE(sim.window(mainWindow()).toolWindow);
    EXPECT_TRUE(sim.window(mainWindow()).visible);
}

TEST_F(KrevFixture, AnUnknownCommandIsIgnored) {
    startKrev();
    EXPECT_FALSE(sim.sendCommand(mainWindow(), 40000));
    EXPECT_TRUE(sim.starts.empty());
}
