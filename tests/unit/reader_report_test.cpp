// What the card library reports: changed bits against the last report, at most ten readers.
#include <gtest/gtest.h>

#include <winscard.h>

#include <cstring>
#include <vector>

#include "outside/sc/reader_report.h"
#include "outside/sc/sc_api.h"

using reader_report::ChangeTracker;
using reader_report::Reader;

TEST(ReaderReport, ANewReaderOrACardThatCameOrWentIsAChange) {
    ChangeTracker tracker;
    std::uint32_t words[10];
    ASSERT_EQ(tracker.report({{"A", false, true}, {"B", true, false}}, words), 2u);
    EXPECT_EQ(words[0], 0x12u);
    EXPECT_EQ(words[1], 0x22u);
    tracker.report({{"A", false, true}, {"B", true, false}}, words);
    EXPECT_EQ(words[0], 0x10u);
    EXPECT_EQ(words[1], 0x20u);
    tracker.report({{"A", true, false}, {"B", true, false}}, words);
    EXPECT_EQ(words[0], 0x22u);
    EXPECT_EQ(words[1], 0x20u);
}

TEST(ReaderReport, AReaderThatWasFirstUnavailableThenEmptyHasChanged) {
    ChangeTracker tracker;
    std::uint32_t words[10];
    tracker.report({{"A", false, false}}, words);
    EXPECT_EQ(words[0], 0x02u);
    tracker.report({{"A", false, true}}, words);
    EXPECT_EQ(words[0], 0x12u);
    tracker.report({{"A", true, false}}, words);
    EXPECT_EQ(words[0], 0x22u);
}

TEST(ReaderReport, AReaderPluggedInAgainCountsAsNew) {
    ChangeTracker tracker;
    std::uint32_t words[10];
    tracker.report({{"A", false, true}}, words);
    EXPECT_EQ(tracker.report({}, words), 0u);
    tracker.report({{"A", false, true}}, words);
    EXPECT_EQ(words[0], 0x12u);
}

TEST(ReaderReport, MoreThanTenReadersAreReportedUpToTen) {
    ChangeTracker tracker;
    std::vector<Reader> readers;
    for (int reader = 0; reader < 12; ++reader) readers.push_back({"R" + std::to_string(reader), reader == 11, reader != 11});
    std::uint32_t words[11];
    words[10] = 0xDEADBEEF;
    EXPECT_EQ(tracker.report(readers, words), 10u);
    EXPECT_EQ(words[10], 0xDEADBEEFu);
}

TEST(ReaderReport, TheListIsCommaEndedWithCommasInNamesWrittenAsBlanks) {
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    reader_report::writeReaderList({"Reader A", "Vendor, Inc. B"}, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "Reader A,Vendor  Inc. B,");
    reader_report::writeReaderList({}, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "");
}

TEST(ReaderReport, NamesThatDoNotFitTheBufferAreLeftOutAndTheListStaysZeroEnded) {
    char buffer[12];
    reader_report::writeReaderList({"ABCD", "EFGH", "IJKL"}, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "ABCD,EFGH,");
}

// The card library's own source, on a card service scripted here that hands back its reader
// list without the closing zeros (AddressSanitizer reports a read past it).
extern "C" {
LONG SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    *context = 1;
    return SCARD_S_SUCCESS;
}
LONG SCardReleaseContext(SCARDCONTEXT) { return SCARD_S_SUCCESS; }
LONG SCardListReaders(SCARDCONTEXT, LPCSTR, LPSTR readers, LPDWORD size) {
    static const char kUnended[] = {'R', 'e', 'a', 'd', 'e', 'r', ' ', 'A', '\0', 'R', 'e', 'a', 'd', 'e', 'r', ' ', 'B'};
    if (readers != nullptr) std::memcpy(readers, kUnended, sizeof kUnended);
    *size = sizeof kUnended;
    return SCARD_S_SUCCESS;
}
LONG SCardGetStatusChange(SCARDCONTEXT, DWORD, SCARD_READERSTATE* states, DWORD count) {
    for (DWORD reader = 0; reader < count; ++reader) states[reader].dwEventState = SCARD_STATE_EMPTY;
    return SCARD_S_SUCCESS;
}
}

TEST(ReaderReport, AReaderListWithoutItsClosingZeroIsReadUpToItsEndAndNoFurther) {
    std::vector<char> list(kScReaderListSize, '\0');
    EXPECT_EQ(SC_GetReaderList(kScAccess, list.data()), 0);
    EXPECT_STREQ(list.data(), "Reader A,Reader B,");
    ScWord count = 0;
    ScWord states[10] = {};
    EXPECT_EQ(SC_GetState(kScAccess, &count, states), 0);
    EXPECT_EQ(count, 2u);
}
