// The reader list, the reader dialog and the reader command.
#include "product_config.h"
#include <cstring>

#include "krev/reader_select.h"
#include "krev/settings.h"
#include "krev_fixture.h"

namespace {
std::vector<std::string> split(const std::string& list) { return splitReaderList(list.c_str(), list.size() + 1); }
constexpr char kRegistration[] = "Farrow.exe " KREV_PAGE_SCHEME "reg.quenby.example/reg_reader.php";
}  // namespace

TEST(ReaderList, OffersEveryNameThatACommaFollows) {
    EXPECT_EQ(split("Reader A,Reader B,"), (std::vector<std::string>{"Reader A", "Reader B"}));
    EXPECT_EQ(split("Reader A,Reader B"), std::vector<std::string>{"Reader A"});
    EXPECT_TRUE(split("Reader A").empty());
    EXPECT_TRUE(split("").empty());
    EXPECT_EQ(split("A,,B,"), (std::vector<std::string>{"A", "", "B"}));
}

TEST(ReaderList, KeepsAtMost255Names) {
    std::string list;
    for (int reader = 0; reader < 300; ++reader) list += "R" + std::to_string(reader) + ",";
    const auto names = split(list);
    ASSERT_EQ(names.size(), 255u);
    EXPECT_EQ(names.back(), "R254");
}

TEST(ReaderList, ANameLongerThan254BytesIsCutWithoutTouchingItsNeighbours) {
    const std::string longName(1000, 'n');
    const auto names = split("A," + longName + ",B,");
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[1], std::string(254, 'n'));
    EXPECT_EQ(names[2], "B");
}

TEST(ReaderList, AListThatFillsTheBufferWithoutAZeroByteEndsAtTheBuffer) {
    std::vector<char> buffer(kReaderListSize, 'x');
    std::memcpy(buffer.data(), "First,", 6);
    buffer[kReaderListSize - 1] = ',';
    const auto names = splitReaderList(buffer.data(), buffer.size());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "First");
    EXPECT_EQ(names[1], std::string(254, 'x'));
}

class ReaderCommand : public KrevFixture {
protected:
    void SetUp() override {
        sim.readerList = "Quenby USB Reader,晶片讀卡機 02,";
        startKrev();
    }
    platform::WindowHandle readerWindow() { return sim.findWindow("Vyx - Select Reader"); }
    std::vector<std::string> entries() {
        return sim.combos[platform::sim::SimPlatform::comboKey(readerWindow(), IDC_READER_LIST)];
    }
    int selection() { return sim.comboSelection(readerWindow(), IDC_READER_LIST); }
};

TEST_F(ReaderCommand, ShowsTheDialogWithTheReportedReadersAndTheFirstSelected) {
    EXPECT_TRUE(sim.sendCommand(mainWindow(), ID_SELECT_READER));
    ASSERT_NE(readerWindow(), 0u);
    EXPECT_TRUE(sim.window(readerWindow()).visible);
    EXPECT_EQ(sim.window(readerWindow()).timesCentred, 1);
    EXPECT_EQ(entries(), (std::vector<std::string>{"Quenby USB Reader", "晶片讀卡機 02"}));
    EXPECT_EQ(selection(), 0);
    EXPECT_EQ(sim.cardAccessValues.back(), 19981204u);
}

TEST_F(ReaderCommand, TheFirstEntryIsSelectedWhateverIsSaved) {
    settings::write(sim, "Reader", "Select", "晶片讀卡機 02");
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    EXPECT_EQ(selection(), 0);
}

TEST_F(ReaderCommand, EachCommandShowsTheSameWindowWithAFreshList) {
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    const auto first = readerWindow();
    sim.sendCommand(first, 2);
    sim.readerList = "Only Reader,";
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    EXPECT_EQ(readerWindow(), first);
    EXPECT_EQ(entries(), std::vector<std::string>{"Only Reader"});
}

TEST_F(ReaderCommand, OkSavesTheSelectedNameByteForByteAndHides) {
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    sim.comboSelect(readerWindow(), IDC_READER_LIST, 1);
    EXPECT_TRUE(sim.sendCommand(readerWindow(), 1));
    EXPECT_EQ(settings::read(sim, "Reader", "Select"), "晶片讀卡機 02");
    EXPECT_FALSE(sim.window(readerWindow()).visible);
}

TEST_F(ReaderCommand, EscapeSavesNothingAndOkWithAnEmptyListSavesNothing) {
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    EXPECT_TRUE(sim.sendCommand(readerWindow(), 2));
    EXPECT_FALSE(sim.window(readerWindow()).visible);
    sim.readerList.clear();
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    EXPECT_EQ(selection(), -1);
    sim.sendCommand(readerWindow(), 1);
    EXPECT_EQ(sim.readFile("Reader.ini"), "");
}

TEST_F(ReaderCommand, WithoutASavedReaderNoRegistrationPageOpensAndCheckIsLeftAlone) {
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    EXPECT_TRUE(sim.starts.empty());
    EXPECT_EQ(sim.readFile("Reader.ini"), "");
}

TEST_F(ReaderCommand, ASavedReaderOpensTheRegistrationPageOnceAndRecordsIt) {
    settings::write(sim, "Reader", "Select", "Quenby USB Reader");
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    EXPECT_EQ(startedCommands(), std::vector<std::string>{kRegistration});
    EXPECT_EQ(settings::read(sim, "Register", "Check"), "OK");
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    EXPECT_EQ(sim.starts.size(), 1u);
}

TEST_F(ReaderCommand, ACheckHoldingAnyOtherTextOpensNothing) {
    settings::write(sim, "Reader", "Select", "Quenby USB Reader");
    settings::write(sim, "Register", "Check", "ok");
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    EXPECT_TRUE(sim.starts.empty());
    EXPECT_EQ(settings::read(sim, "Register", "Check"), "ok");
}

TEST_F(ReaderCommand, TimerOneRunsAfterwardsOnlyWhileAutomaticOpeningIsOnAndTheMainDialogIsHidden) {
    sim.sendCommand(mainWindow(), ID_VERSION);
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    EXPECT_TRUE(sim.timerRunning(mainWindow(), 1));
    EXPECT_EQ(sim.timerPeriod(mainWindow(), 1), 500u);
    EXPECT_FALSE(sim.window(mainWindow()).visible);
    // Switched off, the menu shows it off: after the dialog, no card opens a page.
    sim.sendCommand(mainWindow(), ID_AUTO_CONNECT);
    ASSERT_FALSE(sim.timerRunning(mainWindow(), 1));
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    EXPECT_FALSE(sim.timerRunning(mainWindow(), 1));
    EXPECT_EQ(dialog().autoConnect, 0);
    sim.scheduleReaders(sim.now(), {false});
    sim.scheduleReaders(sim.now() + 1000, {true});
    sim.runFor(5000);
    EXPECT_TRUE(sim.starts.empty());
}

TEST_F(ReaderCommand, TheDialogIsOwnedByTheHiddenMainDialog) {
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    EXPECT_EQ(sim.window(readerWindow()).owner, mainWindow());
    EXPECT_EQ(sim.window(readerWindow()).showState, platform::kShow);
}

TEST_F(ReaderCommand, ApplicationCommandsSentToTheDialogReachTheApplication) {
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    EXPECT_TRUE(sim.sendCommand(readerWindow(), ID_WEBATM_AREA));
    EXPECT_EQ(sim.starts.back().commandLine, "Farrow.exe " KREV_PAGE_SCHEME "www.quenby.example/portal/index.htm");
    // The main dialog's own command and the system's commands are not the application's.
    EXPECT_FALSE(sim.sendCommand(readerWindow(), ID_AUTO_CONNECT));
    EXPECT_FALSE(sim.sendCommand(readerWindow(), 0xF060));
    EXPECT_EQ(dialog().autoConnect, 1);
}

TEST_F(ReaderCommand, ExitSentToTheDialogEndsKrevOnceTheDialogsHandlerHasReturned) {
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    EXPECT_TRUE(sim.sendCommand(readerWindow(), ID_EXIT));
    ASSERT_NE(app->dialog(), nullptr) << "deleting the main dialog would delete the reader dialog under its handler";
    sim.deliverPosted();
    EXPECT_EQ(app->dialog(), nullptr);
    EXPECT_TRUE(sim.shellIcons.empty());
    EXPECT_TRUE(sim.quitPosted);
}

TEST_F(ReaderCommand, AClosedDialogActsAsCancelAndSavesNothing) {
    sim.sendCommand(mainWindow(), ID_SELECT_READER);
    sim.comboSelect(readerWindow(), IDC_READER_LIST, 1);
    sim.sendClose(readerWindow());
    sim.deliverPosted();
    EXPECT_FALSE(sim.window(readerWindow()).visible);
    EXPECT_EQ(settings::read(sim, "Reader", "Select"), "");
}
