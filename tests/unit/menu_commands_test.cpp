// The tray menu's commands, its tick, and the About box's look and buttons.
#include "product_config.h"
#include "krev_fixture.h"

namespace {
class MenuCommands : public KrevFixture {
protected:
    void SetUp() override { startKrev(); }
    std::string chosen(unsigned id) {
        sim.starts.clear();
        sim.nextMenuChoice = id;
        sim.sendMessage(trayWindow(), 1135, 129, platform::kWmRButtonUp);
        sim.deliverPosted();
        return sim.starts.empty() ? std::string() : sim.starts.back().commandLine;
    }
};
}  // namespace

TEST_F(MenuCommands, EachWebItemOpensItsAddressThroughFarrow) {
    const std::vector<std::pair<unsigned, std::string>> pages = {
        {ID_WEBATM_AREA, KREV_PAGE_SCHEME "www.quenby.example/portal/index.htm"},
        {ID_CERTIFICATE_AREA, KREV_BARE_PAGE_SCHEME "www.quenby.example/moica.htm"},
        {ID_WALLET_BALANCE, KREV_BARE_PAGE_SCHEME "www.quenby.example/checkbalance.htm"},
        {ID_PRODUCT_REGISTRATION, KREV_PAGE_SCHEME "reg.quenby.example/reg_reader.php"},
        {ID_BUY_READER, KREV_PAGE_SCHEME "www.quenby.example/product.htm"},
        {ID_HOW_TO_USE, KREV_BARE_PAGE_SCHEME "www.quenby.example/usevyx.htm"},
        {ID_DISCUSSION, KREV_PAGE_SCHEME "www.quenby.example/discussion/discussion.aspx"},
        {ID_PAGE_A04, KREV_PAGE_SCHEME "www.quenby.example/a04.htm"},
    };
    for (const auto& [command, address] : pages) {
        const long long before = sim.now();
        EXPECT_EQ(chosen(command), "Farrow.exe " + address);
        EXPECT_EQ(sim.starts.back().showState, platform::kShowHide);
        EXPECT_EQ(sim.starts.back().atMs, before + 50);
        EXPECT_EQ(sim.now(), before + 100);
    }
}

TEST_F(MenuCommands, ProductRegistrationLeavesReaderIniAlone) {
    chosen(ID_PRODUCT_REGISTRATION);
    chosen(ID_PRODUCT_REGISTRATION);
    EXPECT_EQ(sim.readFile("Reader.ini"), "");
}

TEST_F(MenuCommands, CustomerServiceStartsGoShownWithoutPauses) {
    const long long before = sim.now();
    EXPECT_EQ(chosen(ID_CUSTOMER_SERVICE), "Go.dll mailto:service@quenby.example");
    EXPECT_EQ(sim.starts.back().showState, platform::kShow);
    EXPECT_EQ(sim.now(), before);
}

TEST_F(MenuCommands, TheAutoConnectTickFollowsTheSwitch) {
    chosen(0);
    EXPECT_TRUE(sim.menuTracks.back().checkedAfterInit[4]);
    chosen(ID_AUTO_CONNECT);
    EXPECT_EQ(dialog().autoConnect, 0);
    chosen(0);
    EXPECT_FALSE(sim.menuTracks.back().checkedAfterInit[4]);
    for (std::size_t item = 0; item < 14; ++item) {
        if (item != 4) {
            EXPECT_FALSE(sim.menuTracks.back().checkedAfterInit[item]) << item;
        }
    }
    chosen(ID_AUTO_CONNECT);
    chosen(0);
    EXPECT_TRUE(sim.menuTracks.back().checkedAfterInit[4]);
}

TEST_F(MenuCommands, VersionShowsTheHiddenDialogCentredNormalAndInFront) {
    chosen(ID_VERSION);
    EXPECT_EQ(sim.window(mainWindow()).showState, platform::kShowNormal);
    EXPECT_EQ(sim.window(mainWindow()).timesCentred, 2);  // once at start-up
    EXPECT_EQ(sim.foregroundRequests.back(), mainWindow());
    chosen(ID_VERSION);
    EXPECT_EQ(sim.window(mainWindow()).timesCentred, 3);
}

TEST_F(MenuCommands, ExitFromTheMenuEndsTheProgram) {
    chosen(ID_EXIT);
    EXPECT_EQ(app->dialog(), nullptr);
    EXPECT_TRUE(sim.shellIcons.empty());
    EXPECT_TRUE(sim.quitPosted);
}

TEST_F(MenuCommands, TheWebAddressButtonOpensTheHomePageAsTheBareServerName) {
    EXPECT_TRUE(sim.sendCommand(mainWindow(), IDC_WEB_ADDRESS));
    EXPECT_EQ(startedCommands(), std::vector<std::string>{"Farrow.exe " KREV_BARE_PAGE_SCHEME "www.quenby.example"});
}

TEST_F(MenuCommands, TheAboutBoxButtonsActOnAClickOnlyAndNotOnTheDoubleClickThatFollows) {
    chosen(ID_VERSION);
    // An owner-drawn button reports a fast second click as a double-click.
    EXPECT_TRUE(sim.sendCommand(mainWindow(), IDC_WEB_ADDRESS, platform::kBnClicked));
    EXPECT_FALSE(sim.sendCommand(mainWindow(), IDC_WEB_ADDRESS, platform::kBnDoubleClicked));
    EXPECT_EQ(startedCommands(), std::vector<std::string>{"Farrow.exe " KREV_BARE_PAGE_SCHEME "www.quenby.example"});
    EXPECT_FALSE(sim.sendCommand(mainWindow(), IDC_ABOUT_OK, platform::kBnDoubleClicked));
    EXPECT_TRUE(sim.window(mainWindow()).visible);
    // Menu commands arrive with the menu's code or an accelerator's; a control's code is no command.
    EXPECT_TRUE(sim.sendCommand(mainWindow(), ID_WEBATM_AREA, platform::kAcceleratorCommand));
    EXPECT_FALSE(sim.sendCommand(mainWindow(), ID_EXIT, platform::kBnDoubleClicked));
    EXPECT_NE(app->dialog(), nullptr);
}

TEST_F(KrevFixture, TheAboutBoxGetsItsFontAndItsTwoColourButtonsAtInitialisation) {
    startKrev();
    ASSERT_EQ(sim.fonts.size(), 1u);
    const auto& [font, requested] = *sim.fonts.begin();
    EXPECT_EQ(requested.height, 14);
    EXPECT_EQ(requested.weight, 10);
    EXPECT_EQ(requested.charSet, 0u);
    EXPECT_EQ(requested.pitchAndFamily, 0x20u);
    EXPECT_EQ(sim.fontFaces.at(font), "新細明體");
    EXPECT_EQ(sim.controlFonts, (std::vector<std::pair<unsigned, platform::GdiObject>>{
                                    {1003, font}, {1004, font}, {1006, font}, {1007, font}, {1000, font}}));
    EXPECT_TRUE(dialog().webAddressButton.boundTo(1007));
    EXPECT_EQ(dialog().webAddressButton.faceColor, 0x00FF0000u);
    EXPECT_EQ(dialog().webAddressButton.textColor, 0x00FFFFFFu);
    EXPECT_TRUE(dialog().okButton.boundTo(1000));
    EXPECT_EQ(dialog().okButton.faceColor, 0x00FFFFFFu);
    EXPECT_EQ(dialog().okButton.textColor, 0x00010101u);
    EXPECT_EQ(dialog().okButton.bevelWidth, 2);
    // Owner drawing reaches the bound buttons and nothing else.
    EXPECT_TRUE(dialog().onDrawItem(platform::DrawItemInfo{1007, 5, 9, {0, 0, 10, 10}, 0}));
    EXPECT_FALSE(dialog().onDrawItem(platform::DrawItemInfo{1001, 5, 9, {0, 0, 10, 10}, 0}));
    sim.sendCommand(mainWindow(), ID_EXIT);
    EXPECT_EQ(sim.liveGdiObjects.count(font), 0u);  // deleted with the dialog
}

TEST_F(MenuCommands, ExitSentWhileTheMenuIsOpenEndsKrevOnceTheMenuCloses) {
    sim.whileMenuOpen = [this] {
        sim.sendCommand(mainWindow(), ID_EXIT);  // from another program, e.g. the instance closer
        EXPECT_NE(app->dialog(), nullptr) << "the tray must outlive its own open menu";
    };
    chosen(0);
    EXPECT_EQ(app->dialog(), nullptr);
    EXPECT_TRUE(sim.shellIcons.empty());
    EXPECT_TRUE(sim.quitPosted);
}

TEST_F(MenuCommands, AClickThatTheOpenMenuDeliversDoesNotLetExitDeleteTheTrayUnderIt) {
    sim.whileMenuOpen = [this] {
        // The last button-up of a fast double-click reaches the icon while its menu is open: the
        // menu is asked for again and cannot open a second time.
        sim.sendMessage(trayWindow(), 1135, 129, platform::kWmLButtonUp);
        EXPECT_EQ(dialog().tray.menuDepth(), 1);
        sim.sendCommand(mainWindow(), ID_EXIT);
        EXPECT_NE(app->dialog(), nullptr) << "the first menu is still open";
    };
    chosen(0);
    EXPECT_EQ(sim.menuTracks.size(), 1u);
    EXPECT_EQ(app->dialog(), nullptr);
    EXPECT_TRUE(sim.shellIcons.empty());
}

TEST_F(MenuCommands, ExitDuringAMessageBoxOpenedFromATickInsideTheMenuWaitsForBoth) {
    sim.messageBoxOpenMs = 1000;
    sim.onMessageBox = [this] { sim.sendCommand(mainWindow(), ID_EXIT); };
    sim.scheduleReaders(sim.now(), {false});
    sim.whileMenuOpen = [this] {
        sim.scheduleReaders(sim.now() + 300, {true});
        sim.runFor(14000);  // the menu's loop delivers ticks: a page opens, the check fails and says so
        EXPECT_EQ(sim.messageBoxes.size(), 1u);
        EXPECT_NE(app->dialog(), nullptr);
    };
    chosen(0);
    EXPECT_EQ(app->dialog(), nullptr);
    EXPECT_TRUE(sim.quitPosted);
}
