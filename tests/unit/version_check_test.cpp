// The version check: Ver.chk's records, the comparison with 3.2.0.1, and the wait for Pellit.dll.
#include "product_config.h"
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "krev/version_check.h"
#include "outside/pellit/version_digest.h"
#include "platform/command_line.h"
#include "platform/sim/sim_platform.h"

namespace {

PublishedVersion parse(std::initializer_list<const char*> lines) {
    PublishedVersion version;
    for (const char* line : lines) readVersionRecord(line, version);
    return version;
}

int verdict(const char* line) { return isNewerVersion(parse({line})); }

constexpr char kFetch[] = "Pellit.dll " KREV_PAGE_SCHEME "www.quenby.example/version/check.htm";

class VersionCheck : public ::testing::Test {
protected:
    // Pellit.dll writes `content` to Ver.chk `delayMs` after it is started.
    void publish(const std::string& content, long long delayMs = 30) {
        sim.onProgramStart = [this, content, delayMs](const std::string& command) {
            if (command.rfind("Pellit.dll ", 0) == 0) sim.scheduleFile("Ver.chk", content, sim.now() + delayMs);
        };
    }
    platform::sim::SimPlatform sim;
};

// A page as a server, a captive portal or a proxy may send: text, line ends of every kind, zero
// bytes, Ctrl-Z, Big5 lead bytes (one just before a key hides it), lines past 511 bytes, and
// version records near 003.002.000.001, whole or broken off anywhere.
std::string randomVersionPage(std::mt19937& random) {
    auto pick = [&](int count) { return static_cast<int>(random() % static_cast<unsigned>(count)); };
    const char* const noise[] = {"<p>", " ", "a", "\r\n", "\n", "\r", "(a zero byte)", "\xA5", "\xA4\x40",
                                 "0", ".", "VersionCheck", "=003"};
    const char* const digits[] = {"003", "002", "000", "001", "004", "009", "3", "02", "\n01", "00\r"};
    const char* const separators[] = {".", "-", " ", "\n", "\r", "\xA5"};
    std::string page;
    const int pieces = 1 + pick(20);
    for (int piece = 0; piece < pieces; ++piece) {
        switch (pick(6)) {
        case 0:
            page += std::string(static_cast<std::size_t>(380 + pick(260)), 'x');
            break;
        case 1:
        case 2: {
            std::string record = pick(4) == 0 ? "" : (pick(5) == 0 ? "\xA5" : "<b>");
            record += "VersionCheck000=";
            for (int group = 0; group < 4; ++group) {
                if (group > 0) record += separators[pick(6)];
                record += digits[pick(10) < 6 ? group + 0 : pick(10)];
            }
            if (pick(3) == 0) record.resize(static_cast<std::size_t>(pick(static_cast<int>(record.size()) + 1)));
            page += record + (pick(2) == 0 ? "\r\n" : "");
            break;
        }
        case 3:
            if (pick(8) == 0) page += '\x1a';
            break;
        default:
            for (int word = pick(12); word > 0; --word) {
                const int choice = pick(13);
                page += choice == 6 ? std::string(1, '\0') : std::string(noise[choice]);
            }
        }
    }
    return page;
}

}  // namespace

TEST(VersionRecord, ComparesEachGroupAsTextAgainst003_002_000_001) {
    EXPECT_EQ(verdict(" VersionCheck000=004.000.000.000"), 1);
    EXPECT_EQ(verdict(" VersionCheck000=003.003.000.000"), 1);
    EXPECT_EQ(verdict(" VersionCheck000=003.002.000.002"), 1);
    EXPECT_EQ(verdict(" VersionCheck000=003.002.000.001"), 0);
    EXPECT_EQ(verdict(" VersionCheck000=003.002.001.000"), 1);
    EXPECT_EQ(verdict(" VersionCheck000=002.009.009.009"), 0);
    EXPECT_EQ(verdict(" VersionCheck000=003.001.999.999"), 0);
}

TEST(VersionRecord, TheKeyMustHaveAtLeastOneCharacterBeforeIt) {
    EXPECT_EQ(verdict("VersionCheck000=004.000.000.000"), 0);
    EXPECT_EQ(verdict(" VersionCheck000=004.000.000.000"), 1);
    EXPECT_EQ(verdict("<p>VersionCheck000=004.000.000.000</p>\n"), 1);
}

TEST(VersionRecord, SeparatorsMayBeAnyCharacter) {
    EXPECT_EQ(verdict("xVersionCheck000=003/002-000_002"), 1);
    EXPECT_EQ(verdict("xVersionCheck000=003a002b000c001"), 0);
}

TEST(VersionRecord, GroupsAreCutAtFixedPlacesAndNeverParsedAsNumbers) {
    const PublishedVersion loose = parse({"xVersionCheck000=3.2.0.10"});
    EXPECT_EQ(loose.groups[0], "3.2");
    EXPECT_EQ(loose.groups[1], "0.1");
    EXPECT_EQ(isNewerVersion(loose), 1);  // "3.2" > "003"
}

TEST(VersionRecord, AShortRecordHasShortGroupsThatCompareSmaller) {
    const PublishedVersion shortRecord = parse({"xVersionCheck000=003.002\n"});
    EXPECT_EQ(shortRecord.groups[1], "002");
    EXPECT_EQ(shortRecord.groups[2], "");
    EXPECT_EQ(isNewerVersion(shortRecord), 0);
    // The line feed inside a group's three bytes is part of the group.
    const PublishedVersion feed = parse({"xVersionCheck000=003.002.000.00\n"});
    EXPECT_EQ(feed.groups[3], "00\n");
    EXPECT_EQ(isNewerVersion(feed), 0);
    EXPECT_EQ(isNewerVersion(parse({"xVersionCheck000=003.002.000.01\n"})), 1);
}

TEST(VersionRecord, TheLastRecordDecidesEvenWhenOlder) {
    EXPECT_EQ(isNewerVersion(parse({" VersionCheck000=009.000.000.000", "other", " VersionCheck000=001.000.000.000"})),
              0);
    EXPECT_EQ(isNewerVersion(parse({" VersionCheck000=001.000.000.000", " VersionCheck000=009.000.000.000"})), 1);
}

TEST(VersionRecord, NoRecordMeansNoNewerVersion) { EXPECT_EQ(isNewerVersion(parse({"", "hello", "\n"})), 0); }

TEST_F(VersionCheck, DeletesTheOldFileStartsPellitHiddenAndReadsTheNewOne) {
    sim.writeFile("Ver.chk", " VersionCheck000=009.000.000.000\n");
    publish("<html>\r\n<p>VersionCheck000=003.002.000.002</p>\r\n</html>\r\n");
    EXPECT_EQ(CheckVersion(sim, 7), 1);
    ASSERT_EQ(sim.starts.size(), 1u);
    EXPECT_EQ(sim.starts[0].commandLine, kFetch);
    EXPECT_EQ(sim.starts[0].showState, platform::kShowHide);
    EXPECT_EQ(sim.deletions, std::vector<std::string>{".\\Ver.chk"});
    // 100 ms, then one line read every 50 ms: three lines and the read that finds the end.
    EXPECT_EQ(sim.now(), 100 + 4 * 50);
    EXPECT_EQ(sim.readFile("Ver.chk"), "<html>\r\n<p>VersionCheck000=003.002.000.002</p>\r\n</html>\r\n");
    EXPECT_TRUE(sim.messageBoxes.empty());
}

TEST_F(VersionCheck, WithoutAnOldFilePellitIsStartedAtOnce) {
    publish(" VersionCheck000=003.002.000.001\n");
    EXPECT_EQ(CheckVersion(sim, 7), 0);
    EXPECT_EQ(sim.starts.size(), 1u);
    EXPECT_TRUE(sim.deletions.empty());
    EXPECT_EQ(sim.fileOpenAttempts.size(), 1u);
}

TEST_F(VersionCheck, AnOldFileThatCannotBeDeletedEndsTheCheckSilently) {
    sim.writeFile("Ver.chk", " VersionCheck000=009.000.000.000\n");
    sim.makeUndeletable("Ver.chk");
    EXPECT_EQ(CheckVersion(sim, 7), 0);
    EXPECT_TRUE(sim.starts.empty());
    EXPECT_TRUE(sim.messageBoxes.empty());
    EXPECT_EQ(sim.now(), 0);
}

TEST_F(VersionCheck, AFileThatComesLateIsOpenedAtTheNextAttempt) {
    publish(" VersionCheck000=004.000.000.000\n", 2500);
    EXPECT_EQ(CheckVersion(sim, 7), 1);
    EXPECT_EQ(sim.fileOpenAttempts.size(), 4u);  // at 100, 1100, 2100 and 3100 ms
}

TEST_F(VersionCheck, ANeverCreatedFileGivesElevenAttemptsTheMessageAndZero) {
    EXPECT_EQ(CheckVersion(sim, 7), 0);
    EXPECT_EQ(sim.fileOpenAttempts.size(), 11u);
    ASSERT_EQ(sim.messageBoxes.size(), 1u);
    const auto& box = sim.messageBoxes[0];
    EXPECT_EQ(box.atMs, 100 + 10 * 1000);
    EXPECT_EQ(box.owner, 7u);
    EXPECT_EQ(box.caption, "Krev");
    EXPECT_EQ(box.text, "Vyx程式可能缺少完整檔案或是發生檔案損毀，請先移除後再重新完整安裝。");
}

TEST_F(VersionCheck, ALineLongerThan511BytesIsReadInPieces) {
    // The key starts at byte 511 of the line: the first piece ends just before it, and the
    // second piece begins with it, at position 0, so it is no record.
    publish(std::string(511, 'a') + "VersionCheck000=004.000.000.000\n");
    EXPECT_EQ(CheckVersion(sim, 7), 0);
    // One more byte before it and the key starts at position 1 of the second piece.
    publish(std::string(511, 'a') + "xVersionCheck000=004.000.000.000\n");
    EXPECT_EQ(CheckVersion(sim, 7), 1);
    // A record cut by the end of the first piece: group 1 is whole, group 2 is empty.
    publish(std::string(492, 'a') + "VersionCheck000=003.002.000.002\n");
    EXPECT_EQ(CheckVersion(sim, 7), 0);
    publish(std::string(400, 'a') + "VersionCheck000=003.002.000.002\n");
    EXPECT_EQ(CheckVersion(sim, 7), 1);
}

TEST_F(VersionCheck, ALineIsTakenUpToItsFirstZeroByte) {
    publish(std::string("x\0 VersionCheck000=004.000.000.000\n", 35));
    EXPECT_EQ(CheckVersion(sim, 7), 0);
}

TEST_F(VersionCheck, AnEmptyFileGivesZeroWithoutAMessage) {
    publish("");
    EXPECT_EQ(CheckVersion(sim, 7), 0);
    EXPECT_TRUE(sim.messageBoxes.empty());
}

TEST_F(VersionCheck, AReadThatFailsBeforeTheEndEndsTheFileWithWhatWasRead) {
    sim.readErrorsAfter[".\\Ver.chk"] = 39;  // the first line, whole
    publish("<p>VersionCheck000=003.002.000.002</p>\r\n<p>more</p>\r\n");
    EXPECT_EQ(CheckVersion(sim, 0), 1);
    EXPECT_LT(sim.now(), 1000);
}

TEST_F(VersionCheck, CtrlZEndsTheFileAsTheRuntimesTextModeReadingDoes) {
    publish(" VersionCheck000=003.002.000.001\n\x1a VersionCheck000=004.000.000.000\n");
    EXPECT_EQ(CheckVersion(sim, 7), 0);
    publish("<p>\r\n VersionCheck000=004.000.000.000\r\n\x1a");
    EXPECT_EQ(CheckVersion(sim, 7), 1);
}

TEST_F(VersionCheck, WithoutMemoryForTheCommandTheCheckEndsAtOnceWithZero) {
    publish(" VersionCheck000=004.000.000.000\n");
    struct RefuseMemory {
        RefuseMemory() { command_line::allocate = [](std::size_t) -> void* { return nullptr; }; }
        ~RefuseMemory() { command_line::allocate = std::malloc; }
    } refuse;
    const long long before = sim.now();
    EXPECT_EQ(CheckVersion(sim, 7), 0);
    EXPECT_TRUE(sim.starts.empty());
    EXPECT_TRUE(sim.messageBoxes.empty());
    EXPECT_EQ(sim.now(), before) << "no wait";
}

TEST_F(VersionCheck, PellitsDigestOfAnyPageGivesTheAnswerOfThePageInAFewBytes) {
    std::mt19937 random(20261208);
    int newer = 0;
    const int pages = 1200;
    for (int page = 0; page < pages; ++page) {
        const std::string text = randomVersionPage(random);
        publish(text);
        const int onPage = CheckVersion(sim, 7);
        char digest[kVersionDigestCapacity];
        const std::size_t length = digestVersionPage(text.data(), text.size(), digest);
        ASSERT_LE(length, kVersionDigestCapacity);
        publish(std::string(digest, length));
        const long long before = sim.now();
        ASSERT_EQ(CheckVersion(sim, 7), onPage) << ::testing::PrintToString(text);
        // Pellit's file is read in at most two lines: 100 ms, then 50 ms a read.
        ASSERT_LE(sim.now() - before, 200);
        newer += onPage;
    }
    EXPECT_GT(newer, pages / 5) << "the pages cover both answers";
    EXPECT_LT(newer, pages * 4 / 5);
}

TEST(VersionDigest, KeepsTheLastRecordsGroupsExactly) {
    char digest[kVersionDigestCapacity];
    auto of = [&](const std::string& page) { return std::string(digest, digestVersionPage(page.data(), page.size(), digest)); };
    EXPECT_EQ(of("<html>\r\n<p>VersionCheck000=003.002.000.002</p>\r\n</html>\r\n"), " VersionCheck000=003.002.000.002");
    EXPECT_EQ(of(" VersionCheck000=004.000.000.000\n VersionCheck000=003-2\r\n"), " VersionCheck000=003.2\n");
    EXPECT_EQ(of(" VersionCheck000=004.000.000.000\r\n\x1a VersionCheck000=001.000.000.000"), " VersionCheck000=004.000.000.000");
    EXPECT_EQ(of("VersionCheck000=004.000.000.000\n<html>"), "The version page holds no version record.\r\n");
}
