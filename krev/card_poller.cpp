#include "krev/card_poller.h"

#include <algorithm>
#include <cstring>

CardWatch cardWatch;

namespace {

constexpr unsigned kPollerStopWaitMs = 2000;

struct PollerContext {
    platform::Platform* platform = nullptr;
    std::atomic<std::int32_t>* pollPeriodMs = nullptr;
    std::unique_ptr<platform::StopSignal> stop;
};
PollerContext poller;

struct ReportSummary {
    bool changed = false;
    bool empty = false;
    bool present = false;
};

ReportSummary summarise(const PollerScratch& scratch) {
    ReportSummary summary;
    // A library that claims more readers than the ten words it was given is read up to ten.
    const std::uint32_t readers = std::min<std::uint32_t>(scratch.readerCount, kMaxReaders);
    for (std::uint32_t reader = 0; reader < readers; ++reader) {
        const std::uint32_t state = scratch.states[reader];
        summary.changed = summary.changed || (state & kStateChanged) != 0;
        summary.empty = summary.empty || (state & kStateEmpty) != 0;
        summary.present = summary.present || (state & kStatePresent) != 0;
    }
    return summary;
}

void recordChange(const ReportSummary& summary, PollerScratch& scratch) {
    if (summary.present) {
        // Only a card that follows an emptied reader counts as a new insertion; a second
        // reader's card or a repeated report keeps the flags as they are.
        if (scratch.removalSeen == 1) {
            cardWatch.cardPrevious = cardWatch.cardPresent.load();
            cardWatch.cardPresent = 1;
        }
        scratch.removalSeen = 0;
        return;
    }
    if (summary.empty) scratch.removalSeen = 1;
    cardWatch.cardPrevious = cardWatch.cardPresent.load();
    cardWatch.cardPresent = 0;
}

}  // namespace

void pollOnce(platform::Platform& platform, PollerScratch& scratch) {
    cardWatch.pollerStopped = 0;
    std::memset(scratch.states, 0, sizeof scratch.states);
    const long result = platform.scGetState(kCardLibraryAccess, &scratch.readerCount, scratch.states);
    if (result != 0 || scratch.readerCount == 0) return;
    const ReportSummary summary = summarise(scratch);
    if (summary.changed) recordChange(summary, scratch);
}

void pollCardState(void* context) {
    auto* self = static_cast<PollerContext*>(context);
    PollerScratch scratch;
    do {
        pollOnce(*self->platform, scratch);
    } while (!self->stop->waitFor(static_cast<unsigned>(self->pollPeriodMs->load())));
}

int startPoller(platform::Platform& platform, std::atomic<std::int32_t>* pollPeriodMs) {
    if (cardWatch.pollerThread != 0) return 1;
    poller.platform = &platform;
    poller.pollPeriodMs = pollPeriodMs;
    poller.stop = platform.createStopSignal();
    // Without its stop signal the thread could not be ended in order: run without it, as when
    // the thread cannot be made.
    if (poller.stop == nullptr) return 1;
    cardWatch.pollerThread = platform.startThread(pollCardState, &poller);
    if (cardWatch.pollerThread == 0) poller.stop.reset();
    return 1;
}

int stopPoller() {
    // The thread handle, not pollerStopped, tells whether a thread runs: a thread that has not
    // yet begun its first cycle must be stopped too.
    const platform::ThreadHandle thread = cardWatch.pollerThread;
    if (thread == 0) return 0;
    poller.stop->raise();
    // The pause ends at once; only a call stuck in the card library takes longer.
    poller.platform->joinThread(thread, kPollerStopWaitMs);
    // The card library's own wait in the card service ends with it.
    poller.platform->scClose(kCardLibraryAccess);
    poller.stop.reset();
    cardWatch.pollerThread = 0;
    cardWatch.pollerStopped = 1;
    return 1;
}
