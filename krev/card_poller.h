// The card-state poller: a second thread that asks SC.dll for the readers' states every
// pollPeriodMs and reduces the answer to two shared flags that the timer reads.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/platform.h"

// The access value passed to every call into SC.dll.
constexpr std::uint32_t kCardLibraryAccess = 19981204;
constexpr int kMaxReaders = 10;

// Reader-state bits, with the values of the PC/SC reader-state flags.
constexpr std::uint32_t kStateChanged = 0x02;
constexpr std::uint32_t kStateEmpty = 0x10;
constexpr std::uint32_t kStatePresent = 0x20;

// Shared by the poller thread and the user-interface thread without a lock: every field is
// one word, read and written whole.
struct CardWatch {
    std::atomic<std::int32_t> cardPresent{0};
    std::atomic<std::int32_t> cardPrevious{0};
    std::atomic<platform::ThreadHandle> pollerThread{0};
    std::atomic<std::int32_t> pollerStopped{1};
    std::atomic<std::int32_t> pollPeriodMs{100};
};
extern CardWatch cardWatch;

// The poller thread's own data, reused from cycle to cycle.
struct PollerScratch {
    std::uint32_t readerCount = 0;
    std::uint32_t states[kMaxReaders] = {};
    // An emptied reader has been reported since the last report of a present card.
    int removalSeen = 0;
};

// One query and the update of cardWatch, without the pause that follows it.
void pollOnce(platform::Platform& platform, PollerScratch& scratch);

// The thread routine: cycles until stopPoller asks it to end.
void pollCardState(void* context);

// Starts the poller thread unless one runs. Always 1.
int startPoller(platform::Platform& platform, std::atomic<std::int32_t>* pollPeriodMs);

// Ends the poller thread and waits for it: 1 when a thread was stopped, 0 when none ran.
int stopPoller();
