// What the card library reports: changed bits against the last report, at most ten readers; and
// how it watches a card service that answers as Windows' does.
#include <gtest/gtest.h>

#include <winscard.h>

#include <cstring>
#include <vector>

#include "krev/card_poller.h"
#include "outside/sc/reader_report.h"
#include "outside/sc/sc_api.h"
#include "platform/sim/sim_platform.h"
#include "windows_card_service.h"

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
    // A reader plugged in later with its card is a card put in: the reader empty, then the card.
    const std::vector<Reader> plugged = {{"A", false, true}, {"B", true, false}, {"C", true, false}};
    ASSERT_EQ(tracker.report(plugged, words), 1u);
    EXPECT_EQ(words[0], 0x12u);
    EXPECT_TRUE(tracker.pending());
    ASSERT_EQ(tracker.report(plugged, words), 1u);
    EXPECT_EQ(words[0], 0x22u);
    EXPECT_EQ(tracker.report(plugged, words), 0u);
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


// The card library's own source on a card service that answers as Windows' does
// (windows_card_service.h), with Krev's own poller reading it.
namespace {

namespace service = windows_card_service;

class LibraryPlatform : public platform::sim::SimPlatform {
public:
    long scGetState(std::uint32_t access, std::uint32_t* count, std::uint32_t* states) override {
        return SC_GetState(access, count, states);
    }
};

class CardLibraryOnWindows : public ::testing::Test {
protected:
    void SetUp() override {
        cardWatch.cardPresent = 0;
        cardWatch.cardPrevious = 0;
    }
    void TearDown() override { EXPECT_EQ(SC_Close(kScAccess), 0) << "the library's watch did not end"; }

    // The library begins on these readers: its first call starts its watch.
    void start(std::vector<service::Reader> readers) {
        service::reset(std::move(readers));
        report();
        ASSERT_TRUE(service::libraryIdle());
    }
    static std::vector<std::uint32_t> report(LONG* answer = nullptr) {
        ScWord count = 0;
        ScWord states[10] = {};
        const LONG result = SC_GetState(kScAccess, &count, states);
        if (answer != nullptr) *answer = result;
        return result == 0 ? std::vector<std::uint32_t>(states, states + count) : std::vector<std::uint32_t>();
    }
    // One cycle of Krev's poller, once the library has taken in the last change.
    void poll() {
        ASSERT_TRUE(service::libraryIdle());
        pollOnce(platform, scratch);
    }
    static bool insertionSignature() { return cardWatch.cardPrevious == 0 && cardWatch.cardPresent == 1; }
    static bool removalSignature() { return cardWatch.cardPrevious == 1 && cardWatch.cardPresent == 0; }
    // What the timer does when it opens the portal.
    static void openPortal() { cardWatch.cardPrevious = cardWatch.cardPresent.load(); }
    // A card put into the reader gives the insertion signature, which opens the portal.
    void insertAndOpen(const std::string& reader) {
        service::insert(reader);
        poll();
        ASSERT_TRUE(insertionSignature()) << "a card put into " << reader;
        openPortal();
    }

    LibraryPlatform platform;
    PollerScratch scratch;
};

const service::Reader kBankReader{"Bank reader"};
const service::Reader kBankReaderWithCard{"Bank reader", true};
const service::Reader kKeyboardReaderWithCard{"Keyboard reader", true};

}  // namespace

TEST_F(CardLibraryOnWindows, TheLastReaderUnpluggedWithItsCardIsARemovalAndPluggedInAgainAnInsertion) {
    start({kBankReader});
    poll();
    insertAndOpen("Bank reader");
    // Windows 8 and later stop the service with the last reader: the card went with it.
    service::unplug("Bank reader");
    ASSERT_FALSE(service::serviceRunning());
    poll();
    EXPECT_TRUE(removalSignature()) << "no grey icon";
    // While the service is away, the library waits for its start instead of asking every poll.
    service::clearCalls();
    for (int idle = 0; idle < 20; ++idle) poll();
    EXPECT_LE(service::calls().establishes, 1);
    // The reader plugged in again with the card still in it: the service starts, and the card counts.
    service::plugIn(kBankReaderWithCard);
    poll();
    poll();
    EXPECT_TRUE(insertionSignature()) << "a reader plugged in holding the card opened nothing";
}

TEST_F(CardLibraryOnWindows, AReaderPluggedInHoldingACardIsAnInsertionAlsoWhenItStartsTheService) {
    // A fresh start of Windows 10 without a reader: no service, and nothing emptied yet.
    start({});
    poll();
    service::plugIn(kBankReaderWithCard);
    poll();
    poll();
    EXPECT_TRUE(insertionSignature());
    openPortal();
    // With a card left in another reader from before (no change), a second reader plugged in
    // holding the bank card counts too.
    SC_Close(kScAccess);
    cardWatch.cardPrevious = cardWatch.cardPresent = 0;
    scratch = PollerScratch();
    start({kKeyboardReaderWithCard});
    poll();
    EXPECT_EQ(cardWatch.cardPresent.load(), 0) << "the card from before is no insertion";
    service::plugIn(kBankReaderWithCard);
    poll();
    poll();
    EXPECT_TRUE(insertionSignature());
}

TEST_F(CardLibraryOnWindows, AReaderUnpluggedWhileAnotherStaysIsARemovalAndIsAskedAfreshWhenBack) {
    start({kBankReader, kKeyboardReaderWithCard});
    poll();
    insertAndOpen("Bank reader");
    // Windows answers with success and UNKNOWN | CHANGED | IGNORE for the reader that went.
    service::unplug("Bank reader");
    ASSERT_TRUE(service::serviceRunning());
    poll();
    EXPECT_TRUE(removalSignature());
    // Back between two polls, and gone again at once, holding its card: it is watched anew.
    service::plugIn(kBankReaderWithCard);
    service::unplug("Bank reader");
    service::plugIn(kBankReader);
    poll();
    poll();
    service::insert("Bank reader");
    poll();
    poll();
    EXPECT_TRUE(insertionSignature()) << "the returning reader is not watched";
    openPortal();
    service::takeOut("Bank reader");
    poll();
    EXPECT_TRUE(removalSignature());
    EXPECT_EQ(service::calls().goneReadersWatched, 0) << "a state of IGNORE or UNKNOWN was fed back";
}

TEST_F(CardLibraryOnWindows, AListedReaderThatTheQueryRefusesIsLeftOutAndTheOthersAreWatched) {
    // Other users' Windows Hello virtual readers: one refused from the start, one once watched.
    start({{"Windows Hello for Business 1", false, true}, {"Windows Hello for Business 2"}, kBankReader});
    poll();
    service::refuse("Windows Hello for Business 2");
    service::insert("Bank reader");
    poll();
    EXPECT_TRUE(insertionSignature());
    std::vector<char> list(kScReaderListSize, '\0');
    EXPECT_EQ(SC_GetReaderList(kScAccess, list.data()), 0);
    EXPECT_STREQ(list.data(), "Windows Hello for Business 1,Windows Hello for Business 2,Bank reader,");
    // A third user's comes: the set changed, and the refused ones are asked again, and left out again.
    openPortal();
    service::plugIn({"Windows Hello for Business 3", false, true});
    poll();
    EXPECT_EQ(cardWatch.cardPresent.load(), 1);
    service::takeOut("Bank reader");
    poll();
    EXPECT_TRUE(removalSignature());
}

TEST_F(CardLibraryOnWindows, WhileNothingChangesTheLibraryWaitsInOneCallAndThePollerCostsNoCall) {
    start({kBankReader, kKeyboardReaderWithCard});
    poll();
    service::clearCalls();
    for (int idle = 0; idle < 100; ++idle) pollOnce(platform, scratch);
    const service::Calls idle = service::calls();
    EXPECT_EQ(idle.queries + idle.lists + idle.establishes + idle.releases, 0);
    // A card's coming and going: the wait under way answers it, and one call waits again.
    for (int round = 0; round < 3; ++round) {
        service::insert("Bank reader");
        poll();
        service::takeOut("Bank reader");
        poll();
    }
    const service::Calls busy = service::calls();
    EXPECT_EQ(busy.queries, 6);
    EXPECT_EQ(busy.lists, 0);
    ASSERT_FALSE(busy.waitTimeouts.empty());
    EXPECT_EQ(busy.waitTimeouts.back(), static_cast<DWORD>(INFINITE));
    // A reader plugged in: the pseudo-reader tells of it, and the readers are listed once.
    service::plugIn({"New reader"});
    poll();
    EXPECT_EQ(service::calls().lists, 2) << "one listing: its size, then the names";
    // Krev's exit ends the wait at once.
    EXPECT_EQ(SC_Close(kScAccess), 0);
    EXPECT_GE(service::calls().cancels, 1);
}

TEST_F(CardLibraryOnWindows, ServiceAnswersThatComeAtOnceAreAskedAtThePollersPaceNeverInASpin) {
    // Wine's winscard asks pcsc-lite with every state unaware: each call comes back at once.
    service::reset({kBankReader});
    service::answerAtOnce(true);
    report();
    ASSERT_TRUE(service::queriesMade(8));
    const std::vector<long long> gaps = service::queryGapsMs();
    ASSERT_GE(gaps.size(), 6u);
    // The first look asks twice: to learn the states, and once more with them.
    for (std::size_t gap = 1; gap < gaps.size(); ++gap) EXPECT_GE(gaps[gap], 90) << "query " << gap + 1;
    service::answerAtOnce(false);
}

TEST_F(CardLibraryOnWindows, WithoutThePseudoReaderNewReadersAreFoundByListingNowAndThen) {
    service::reset({kBankReader});
    service::withoutPlugAndPlay();
    report();
    poll();
    service::clearCalls();
    service::plugIn({"Second reader", true});
    ASSERT_TRUE(service::listingsMade(2)) << "never listed again";
    poll();
    poll();
    EXPECT_TRUE(insertionSignature());
    ASSERT_FALSE(service::calls().waitTimeouts.empty());
    EXPECT_EQ(service::calls().waitTimeouts.back(), 1000u);
}

TEST_F(CardLibraryOnWindows, AReaderListWithoutItsClosingZeroIsReadUpToItsEndAndNoFurther) {
    service::reset({{"Reader A"}, {"Reader B"}});
    service::endListWithoutZeros(true);
    std::vector<char> list(kScReaderListSize, '\0');
    EXPECT_EQ(SC_GetReaderList(kScAccess, list.data()), 0);
    EXPECT_STREQ(list.data(), "Reader A,Reader B,");
}

TEST_F(CardLibraryOnWindows, AnErrorOfAnyCodeThatRepeatsEstablishesTheContextAgain) {
    start({{"Remote reader"}});
    poll();
    // Over Remote Desktop: a code that no rule names, twice after a card came, then no more.
    // The context stays.
    constexpr LONG kBadStubData = static_cast<LONG>(0x800706F7);
    service::clearCalls();
    service::failNextQueries({kBadStubData, kBadStubData});
    service::insert("Remote reader");
    poll();
    EXPECT_TRUE(insertionSignature());
    EXPECT_EQ(service::calls().releases + service::calls().establishes, 0);
    // The same code three times in a row: the context is released and established again, and
    // the card's removal is seen.
    openPortal();
    service::failNextQueries({kBadStubData, kBadStubData, kBadStubData});
    service::takeOut("Remote reader");
    poll();
    EXPECT_EQ(service::calls().releases, 1);
    EXPECT_EQ(service::calls().establishes, 1);
    EXPECT_TRUE(removalSignature());
}
