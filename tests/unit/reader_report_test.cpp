// What the card library reports: changed bits against the last report, at most ten readers.
#include <gtest/gtest.h>

#include <winscard.h>

#include <cstring>
#include <vector>

#include "outside/sc/reader_report.h"
#include "outside/sc/sc_api.h"

using reader_report::ChangeTracker;
using reader_report::Reader;

TEST(ReaderReport, OnlyAReaderThatChangedIsReportedAndACardFoundAtTheStartIsNoChange) {
    ChangeTracker tracker;
    std::uint32_t words[10];
    // The first report: A empty, B holding a card that nobody put in while Krev watched.
    ASSERT_EQ(tracker.report({{"A", false, true}, {"B", true, false}}, words), 1u);
    EXPECT_EQ(words[0], 0x12u);
    EXPECT_EQ(tracker.report({{"A", false, true}, {"B", true, false}}, words), 0u);
    // B's card stays: A's coming and going are reported alone, every time.
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(tracker.report({{"A", true, false}, {"B", true, false}}, words), 1u);
        EXPECT_EQ(words[0], 0x22u);
        ASSERT_EQ(tracker.report({{"A", false, true}, {"B", true, false}}, words), 1u);
        EXPECT_EQ(words[0], 0x12u);
    }
    // A reader plugged in later with its card is a card that came.
    ASSERT_EQ(tracker.report({{"A", false, true}, {"B", true, false}, {"C", true, false}}, words), 1u);
    EXPECT_EQ(words[0], 0x22u);
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

TEST(ReaderReport, AReaderUnpluggedWithItsCardIsACardTakenOutAndPluggedInAgainIsNew) {
    ChangeTracker tracker;
    std::uint32_t words[10];
    tracker.report({{"A", false, true}}, words);
    tracker.report({{"A", true, false}}, words);
    ASSERT_EQ(tracker.report({}, words), 1u);
    EXPECT_EQ(words[0], 0x12u);
    EXPECT_EQ(tracker.report({}, words), 0u);
    ASSERT_EQ(tracker.report({{"A", false, true}}, words), 1u);
    EXPECT_EQ(words[0], 0x12u);
}

TEST(ReaderReport, MoreThanTenChangesAreReportedTenAtATimeAndTheRestNextTime) {
    ChangeTracker tracker;
    std::vector<Reader> readers;
    for (int reader = 0; reader < 12; ++reader) readers.push_back({"R" + std::to_string(reader), false, true});
    std::uint32_t words[11];
    words[10] = 0xDEADBEEF;
    EXPECT_EQ(tracker.report(readers, words), 10u);
    EXPECT_EQ(words[10], 0xDEADBEEFu);
    EXPECT_TRUE(tracker.pending());
    EXPECT_EQ(tracker.report(readers, words), 2u);
    EXPECT_FALSE(tracker.pending());
    EXPECT_EQ(tracker.report(readers, words), 0u);
    // Twelve cards in, then a hub unplugged with all of them: twelve removals, none lost.
    for (auto& reader : readers) reader = {reader.name, true, false};
    tracker.report(readers, words);
    tracker.report(readers, words);
    EXPECT_EQ(tracker.report({}, words), 10u);
    EXPECT_TRUE(tracker.pending());
    EXPECT_EQ(tracker.report({}, words), 2u);
    EXPECT_EQ(words[0], 0x12u);
    EXPECT_FALSE(tracker.pending());
    EXPECT_EQ(tracker.report({}, words), 0u);
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

// The card library's own source, on a card service scripted here: its readers, the answers it
// gives, and how often it is called. A status query answers at once: SCARD_E_TIMEOUT when no
// state given differs from the reader's, as the real service does with a zero time-out.
namespace service {

struct ScriptedReader {
    std::string name;
    DWORD state;
};
std::vector<ScriptedReader> readers;
std::vector<LONG> statusFailures;  // what the next status queries answer instead
bool unendedList = false;          // the list handed back without its closing zeros
int establishes = 0;
int releases = 0;
int lists = 0;
int queries = 0;

void reset(std::vector<ScriptedReader> scripted) {
    readers = std::move(scripted);
    statusFailures.clear();
    unendedList = false;
    establishes = releases = lists = queries = 0;
}

std::string list() {
    std::string text;
    for (const auto& reader : readers) text += reader.name + '\0';
    return text + '\0';
}

}  // namespace service

extern "C" {
LONG SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    ++service::establishes;
    *context = 1;
    return SCARD_S_SUCCESS;
}
LONG SCardReleaseContext(SCARDCONTEXT) {
    ++service::releases;
    return SCARD_S_SUCCESS;
}
LONG SCardListReaders(SCARDCONTEXT, LPCSTR, LPSTR readers, LPDWORD size) {
    ++service::lists;
    static const char kUnended[] = {'R', 'e', 'a', 'd', 'e', 'r', ' ', 'A', '\0', 'R', 'e', 'a', 'd', 'e', 'r', ' ', 'B'};
    const std::string text = service::unendedList ? std::string(kUnended, sizeof kUnended) : service::list();
    if (readers != nullptr) std::memcpy(readers, text.data(), text.size());
    *size = static_cast<DWORD>(text.size());
    return SCARD_S_SUCCESS;
}
LONG SCardGetStatusChange(SCARDCONTEXT, DWORD, SCARD_READERSTATE* states, DWORD count) {
    ++service::queries;
    if (!service::statusFailures.empty()) {
        const LONG failure = service::statusFailures.front();
        service::statusFailures.erase(service::statusFailures.begin());
        return failure;
    }
    bool changed = false;
    for (DWORD record = 0; record < count; ++record) {
        SCARD_READERSTATE& asked = states[record];
        if (std::strcmp(asked.szReader, "\\\\?PnP?\\Notification") == 0) {
            const DWORD readers = static_cast<DWORD>(service::readers.size()) << 16;
            asked.dwEventState = readers | ((asked.dwCurrentState & 0xFFFF0000u) != readers ? SCARD_STATE_CHANGED : 0);
        } else {
            const auto reader = std::find_if(service::readers.begin(), service::readers.end(),
                                             [&](const auto& candidate) { return candidate.name == asked.szReader; });
            DWORD state = SCARD_STATE_EMPTY;
            if (reader != service::readers.end()) {
                state = reader->state;
            } else if (!service::unendedList) {
                return SCARD_E_UNKNOWN_READER;
            }
            asked.dwEventState = state | (asked.dwCurrentState != state ? SCARD_STATE_CHANGED : 0);
        }
        changed = changed || (asked.dwEventState & SCARD_STATE_CHANGED) != 0;
    }
    return changed ? SCARD_S_SUCCESS : SCARD_E_TIMEOUT;
}
}

namespace {

// One poll of the library: its answer and the words it wrote.
std::vector<std::uint32_t> poll(LONG* answer = nullptr) {
    ScWord count = 0;
    ScWord states[10] = {};
    const LONG result = SC_GetState(kScAccess, &count, states);
    if (answer != nullptr) *answer = result;
    return result == 0 ? std::vector<std::uint32_t>(states, states + count) : std::vector<std::uint32_t>();
}

}  // namespace

TEST(ReaderReport, AReaderListWithoutItsClosingZeroIsReadUpToItsEndAndNoFurther) {
    service::reset({});
    service::unendedList = true;
    std::vector<char> list(kScReaderListSize, '\0');
    EXPECT_EQ(SC_GetReaderList(kScAccess, list.data()), 0);
    EXPECT_STREQ(list.data(), "Reader A,Reader B,");
    LONG answer = -1;
    EXPECT_EQ(poll(&answer).size(), 2u);
    EXPECT_EQ(answer, 0);
}

TEST(ReaderReport, AnIdlePollCostsOneCallAndACardLeftInOneReaderNeverHidesAnothersCards) {
    constexpr DWORD kEmpty = SCARD_STATE_EMPTY;
    constexpr DWORD kPresent = SCARD_STATE_PRESENT;
    service::reset({{"Bank reader", kEmpty}, {"Keyboard reader", kPresent}});
    // The first polls learn the readers (listed, then asked from scratch).
    for (int first = 0; first < 3; ++first) poll();
    // Nothing changes: each poll asks the card service once, and lists nothing.
    service::reset(service::readers);
    for (int idle = 0; idle < 10; ++idle) EXPECT_TRUE(poll().empty());
    EXPECT_EQ(service::queries, 10);
    EXPECT_EQ(service::lists + service::establishes + service::releases, 0);
    // The keyboard reader's card stays: the bank card's coming and going are reported alone.
    for (int round = 0; round < 3; ++round) {
        service::readers[0].state = kPresent;
        EXPECT_EQ(poll(), std::vector<std::uint32_t>{0x22});
        service::readers[0].state = kEmpty;
        EXPECT_EQ(poll(), std::vector<std::uint32_t>{0x12});
    }
    EXPECT_EQ(service::lists, 0);
    // A reader plugged in: the service says the set changed, and the readers are listed again.
    service::readers.push_back({"New reader", kEmpty});
    EXPECT_TRUE(poll().empty()) << "first the pseudo-reader's change";
    EXPECT_EQ(poll(), std::vector<std::uint32_t>{0x12});
    EXPECT_EQ(service::lists, 2) << "one listing: its size, then the names";
}

TEST(ReaderReport, AnErrorOfAnyCodeThatRepeatsEstablishesTheContextAgain) {
    service::reset({{"Remote reader", SCARD_STATE_EMPTY}});
    for (int first = 0; first < 3; ++first) poll();
    // Over Remote Desktop: a code that no rule names, twice, then no more. The context stays.
    constexpr LONG kBadStubData = static_cast<LONG>(0x800706F7);
    service::reset(service::readers);
    service::statusFailures = {kBadStubData, kBadStubData};
    LONG answer = 0;
    poll(&answer);
    EXPECT_EQ(answer, kBadStubData);
    poll();
    poll(&answer);
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(service::releases + service::establishes, 0);
    // The same code three times in a row: the context is released and established again.
    service::statusFailures = {kBadStubData, kBadStubData, kBadStubData};
    for (int failed = 0; failed < 3; ++failed) poll();
    EXPECT_EQ(service::releases, 1);
    service::readers[0].state = SCARD_STATE_PRESENT;
    EXPECT_EQ(poll(), std::vector<std::uint32_t>{0x22});
    EXPECT_EQ(service::establishes, 1);
}
