// The card-state poller: how library reports become the two shared card flags.
#include <gtest/gtest.h>

#include "krev/card_poller.h"
#include "platform/sim/sim_platform.h"

using platform::sim::RawReport;

namespace {

class PollerRules : public ::testing::Test {
protected:
    PollerRules() {
        cardWatch.cardPresent = 0;
        cardWatch.cardPrevious = 0;
        cardWatch.pollerStopped = 1;
    }
    // One cycle on one report.
    void report(std::vector<std::uint32_t> words) {
        sim.queueReport(RawReport{0, static_cast<std::uint32_t>(words.size()), words});
        pollOnce(sim, scratch);
    }
    std::pair<int, int> flags() const { return {cardWatch.cardPrevious.load(), cardWatch.cardPresent.load()}; }

    platform::sim::SimPlatform sim;
    PollerScratch scratch;
};

constexpr std::uint32_t kChangedEmpty = kStateChanged | kStateEmpty;
constexpr std::uint32_t kChangedPresent = kStateChanged | kStatePresent;
const std::pair<int, int> kInserted{0, 1};
const std::pair<int, int> kRemoved{1, 0};

}  // namespace

TEST_F(PollerRules, AnEmptiedReaderFollowedByACardIsANewInsertion) {
    report({kChangedEmpty});
    EXPECT_EQ(scratch.removalSeen, 1);
    EXPECT_EQ(flags(), std::make_pair(0, 0));
    report({kChangedPresent});
    EXPECT_EQ(flags(), kInserted);
    EXPECT_EQ(scratch.removalSeen, 0);
}

TEST_F(PollerRules, ACardAlreadyInTheReaderAtStartIsNotAnInsertion) {
    report({kChangedPresent});
    EXPECT_EQ(flags(), std::make_pair(0, 0));
    report({kChangedPresent});
    EXPECT_EQ(flags(), std::make_pair(0, 0));
}

TEST_F(PollerRules, TakingTheCardOutAndPuttingItBackGivesRemovalThenInsertion) {
    report({kChangedEmpty});
    report({kChangedPresent});
    report({kChangedEmpty});
    EXPECT_EQ(flags(), kRemoved);
    EXPECT_EQ(scratch.removalSeen, 1);
    report({kChangedPresent});
    EXPECT_EQ(flags(), kInserted);
}

TEST_F(PollerRules, ARepeatedPresentReportOrASecondReadersCardNeverGivesASecondInsertion) {
    report({kChangedEmpty, kChangedEmpty});
    report({kChangedPresent, kStateEmpty});
    EXPECT_EQ(flags(), kInserted);
    cardWatch.cardPrevious = 1;  // the timer used the insertion up
    report({kStatePresent, kChangedPresent});
    EXPECT_EQ(flags(), std::make_pair(1, 1));
}

TEST_F(PollerRules, AReportWithoutAChangedBitTouchesNothing) {
    report({kChangedEmpty});
    for (std::uint32_t words : {kStatePresent, kStateEmpty, 0xFFFFFFFDu, 0u}) {
        report({words});
        EXPECT_EQ(flags(), std::make_pair(0, 0));
        EXPECT_EQ(scratch.removalSeen, 1);
    }
}

TEST_F(PollerRules, AChangeWithNeitherEmptyNorPresentClearsTheCardButNotRemovalSeen) {
    report({kChangedEmpty});
    report({kChangedPresent});
    report({kStateChanged});
    EXPECT_EQ(flags(), kRemoved);
    EXPECT_EQ(scratch.removalSeen, 0);
}

TEST_F(PollerRules, OneReaderEmptiedWhileAnotherHoldsACardCountsAsPresent) {
    report({kChangedEmpty, kChangedEmpty});
    report({kChangedEmpty, kChangedPresent});
    EXPECT_EQ(flags(), kInserted);
}

TEST_F(PollerRules, AFailedQueryOrNoReadersChangesNothing) {
    report({kChangedEmpty});
    sim.queueReport(RawReport{6, 1, {kChangedPresent}});
    pollOnce(sim, scratch);
    sim.queueReport(RawReport{0, 0, {kChangedPresent}});
    pollOnce(sim, scratch);
    EXPECT_EQ(flags(), std::make_pair(0, 0));
    EXPECT_EQ(scratch.removalSeen, 1);
}

TEST_F(PollerRules, ALibraryClaimingMoreThanTenReadersIsReadUpToTen) {
    report({kChangedEmpty});
    // Twelve readers claimed: the eleventh word would say "present" but lies beyond the ten.
    std::vector<std::uint32_t> words(10, kStateEmpty);
    sim.queueReport(RawReport{0, 12, words});
    scratch.states[0] = 0;
    pollOnce(sim, scratch);
    EXPECT_EQ(flags(), std::make_pair(0, 0));
    words[9] = kChangedPresent;
    sim.queueReport(RawReport{0, 0xFFFFFFFFu, words});
    pollOnce(sim, scratch);
    EXPECT_EQ(flags(), kInserted);
}

TEST_F(PollerRules, EveryQueryPassesTheAccessValueAndMarksThePollerRunning) {
    report({0});
    EXPECT_EQ(cardWatch.pollerStopped.load(), 0);
    ASSERT_EQ(sim.cardAccessValues.size(), 1u);
    EXPECT_EQ(sim.cardAccessValues[0], 19981204u);
}

// The poller thread on the virtual clock.
class PollerThread : public ::testing::Test {
protected:
    PollerThread() {
        cardWatch.cardPresent = 0;
        cardWatch.cardPrevious = 0;
        cardWatch.pollerThread = 0;
        cardWatch.pollerStopped = 1;
        cardWatch.pollPeriodMs = 100;
    }
    ~PollerThread() override { stopPoller(); }
    platform::sim::SimPlatform sim;
};

TEST_F(PollerThread, QueriesEveryPollPeriodUntilStoppedAndThenEndsTheLibrarysWatch) {
    sim.scheduleReaders(0, {false});
    EXPECT_EQ(startPoller(sim, &cardWatch.pollPeriodMs), 1);
    EXPECT_EQ(sim.cardQueries(), 1);
    sim.sleep(1000);
    EXPECT_EQ(sim.cardQueries(), 11);
    EXPECT_EQ(stopPoller(), 1);
    EXPECT_EQ(sim.liveThreads(), 0);
    EXPECT_EQ(sim.cardLibraryCloses, 1);
    EXPECT_EQ(sim.cardAccessValues.back(), kCardLibraryAccess);
    EXPECT_EQ(cardWatch.pollerThread.load(), 0u);
    EXPECT_EQ(cardWatch.pollerStopped.load(), 1);
    sim.sleep(1000);
    EXPECT_EQ(sim.cardQueries(), 11);
    EXPECT_EQ(stopPoller(), 0);
}

TEST_F(PollerThread, ReadsThePeriodAnewEveryCycle) {
    startPoller(sim, &cardWatch.pollPeriodMs);
    cardWatch.pollPeriodMs = 250;
    sim.sleep(100);  // the pause already under way ends at 100
    sim.sleep(500);
    EXPECT_EQ(sim.cardQueries(), 4);
}

TEST_F(PollerThread, ASecondStartIsIgnored) {
    startPoller(sim, &cardWatch.pollPeriodMs);
    const auto first = cardWatch.pollerThread.load();
    EXPECT_EQ(startPoller(sim, &cardWatch.pollPeriodMs), 1);
    EXPECT_EQ(cardWatch.pollerThread.load(), first);
    EXPECT_EQ(sim.liveThreads(), 1);
}

TEST_F(PollerThread, AFailedThreadCreationLeavesNoThreadAndIsNotReported) {
    sim.refuseThreads = true;
    EXPECT_EQ(startPoller(sim, &cardWatch.pollPeriodMs), 1);
    EXPECT_EQ(cardWatch.pollerThread.load(), 0u);
    EXPECT_EQ(stopPoller(), 0);
}

TEST_F(PollerThread, FollowsACardThroughInsertionAndRemovalOnTheClock) {
    sim.scheduleReaders(0, {false, false});
    sim.scheduleReaders(250, {false, true});
    sim.scheduleReaders(650, {false, false});
    startPoller(sim, &cardWatch.pollPeriodMs);
    sim.sleep(200);
    EXPECT_EQ(cardWatch.cardPresent.load(), 0);
    sim.sleep(100);  // the query at 300 sees the card
    EXPECT_EQ(cardWatch.cardPrevious.load(), 0);
    EXPECT_EQ(cardWatch.cardPresent.load(), 1);
    sim.sleep(400);  // the query at 700 sees it gone
    EXPECT_EQ(cardWatch.cardPrevious.load(), 1);
    EXPECT_EQ(cardWatch.cardPresent.load(), 0);
}

TEST_F(PollerThread, KeepsQueryingALibraryThatAlwaysFails) {
    sim.scheduleReaders(0, {true}, 0x8010001D);
    startPoller(sim, &cardWatch.pollPeriodMs);
    sim.sleep(2000);
    EXPECT_EQ(sim.cardQueries(), 21);
    EXPECT_EQ(cardWatch.cardPresent.load(), 0);
}
