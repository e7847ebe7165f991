// SC.dll on PC/SC: winscard on Windows, pcsc-lite on Linux, from this one source.
//
// The library's own thread watches the readers (reader_watch.h): it waits in the card service
// until a card or a reader comes or goes, and while the service is not running, until it starts.
// SC_GetState and SC_GetReaderList answer from what that thread saw last, so that the poller's
// query ten times a second costs a memory read and no call into the card service.
#define SC_BUILDING_LIBRARY
#include "outside/sc/sc_api.h"

#include <algorithm>

#include "outside/sc/reader_report.h"
#include "outside/sc/reader_watch.h"
#include "outside/sc/service_start.h"
#include "outside/sc/watch_thread.h"

namespace {

using namespace sc_watch;

// How long the reader list waits for the watch's first look at the readers.
constexpr unsigned kFirstLookWaitMs = 2000;
// How long SC_Close waits for the watch to end, cancelling its wait again meanwhile.
constexpr unsigned kCloseWaitMs = 2000;
constexpr unsigned kCancelAgainMs = 50;
// While the service stays away: the pause before it is asked again grows to this, and the wait
// for its start event lasts at most this long.
constexpr unsigned kLongestServicePauseMs = 1000;
constexpr unsigned kServiceStartWaitMs = 10000;

struct Library {
    Lock lock;  // everything below, between the callers and the watch's thread
    Signal stop;
    Signal firstLook;
    WatchThread thread;
    bool watching = false;
    ReaderWatch* watch = nullptr;  // while the thread runs
    Seen seen;
    unsigned seenGeneration = 0;
    // What the watch saw first: what the readers held when the library began, which is no change.
    Seen firstSeen;
    bool firstSeenReported = false;
    reader_report::ChangeTracker tracker;
    unsigned reportedGeneration = 0;
};
// Never destroyed: a thread may still wait in the card service while the process ends.
Library& library = *new Library;

void publish(const Seen& seen) {
    Locked locked(library.lock);
    if (seen == library.seen) return;
    library.seen = seen;
    ++library.seenGeneration;
    if (seen.looked && !library.firstLook.raised()) {
        library.firstSeen = seen;
        library.firstLook.raise();
    }
}

// The pause before the next step; false when the library is being closed.
bool pauseBefore(ReaderWatch::Next next, unsigned& servicePauseMs) {
    switch (next) {
    case ReaderWatch::Next::Now:
        servicePauseMs = kPauseMs;
        return !library.stop.raised();
    case ReaderWatch::Next::AfterPause:
        servicePauseMs = kPauseMs;
        return !library.stop.waitFor(kPauseMs);
    case ReaderWatch::Next::AfterRelistPeriod:
        return !library.stop.waitFor(kRelistPeriodMs);
    case ReaderWatch::Next::AfterServiceStart:
        break;
    }
    // Never at once, even where the start event stays signalled while the service is away.
    if (library.stop.waitFor(servicePauseMs)) return false;
    servicePauseMs = std::min(servicePauseMs * 2, kLongestServicePauseMs);
    return waitForCardService(library.stop, kServiceStartWaitMs);
}

void watchReaders(void*) {
    ReaderWatch watch;
    {
        Locked locked(library.lock);
        library.watch = &watch;
    }
    unsigned servicePauseMs = kPauseMs;
    while (!library.stop.raised()) {
        const ReaderWatch::Next next = watch.step();
        publish(watch.seen());
        if (!pauseBefore(next, servicePauseMs)) break;
    }
    Locked locked(library.lock);
    library.watch = nullptr;
    library.watching = false;
}

// After SC_Close: the next call begins as a library just loaded, whose first look is no change.
void forgetWhatWasSeen() {
    Locked locked(library.lock);
    library.seen = Seen();
    library.seenGeneration = 0;
    library.firstSeen = Seen();
    library.firstSeenReported = false;
    library.tracker = reader_report::ChangeTracker();
    library.reportedGeneration = 0;
    library.firstLook.clear();
    library.stop.clear();
}

// Under the library's lock. Not while SC_Close waits for the watch to end.
bool ensureWatching() {
    if (library.watching) return true;
    if (library.stop.raised()) return false;
    library.thread.join(0);  // a watch that ended before
    library.watching = library.thread.start(watchReaders, nullptr);
    return library.watching;
}

}  // namespace

SC_API ScResult SC_CALL SC_GetState(ScWord access, ScWord* count, ScWord* states) {
    if (access != kScAccess || count == nullptr || states == nullptr) return SCARD_E_INVALID_PARAMETER;
    Locked locked(library.lock);
    if (!ensureWatching() && !library.firstLook.raised()) return SCARD_E_NO_SERVICE;
    std::uint32_t words[reader_report::kMaxReported];
    std::size_t written = 0;
    if (!library.firstLook.raised()) {
        // Nothing seen yet: nothing to report.
    } else if (!library.firstSeenReported) {
        written = library.tracker.report(library.firstSeen.readers, words);
        library.firstSeenReported = true;
        library.reportedGeneration = 0;  // what came after the first look is reported next time
    } else if (library.seenGeneration != library.reportedGeneration || library.tracker.pending()) {
        written = library.tracker.report(library.seen.readers, words);
        library.reportedGeneration = library.seenGeneration;
    }
    for (std::size_t word = 0; word < written; ++word) states[word] = words[word];
    *count = static_cast<ScWord>(written);
    return SCARD_S_SUCCESS;
}

SC_API ScResult SC_CALL SC_GetReaderList(ScWord access, char* buffer) {
    if (access != kScAccess || buffer == nullptr) return SCARD_E_INVALID_PARAMETER;
    {
        Locked locked(library.lock);
        if (!ensureWatching() && !library.firstLook.raised()) return SCARD_E_NO_SERVICE;
    }
    library.firstLook.waitFor(kFirstLookWaitMs);
    Locked locked(library.lock);
    reader_report::writeReaderList(library.seen.listed, buffer, kScReaderListSize);
    return library.seen.listed.empty() && library.seen.serviceResult != 0 ? library.seen.serviceResult
                                                                          : SCARD_S_SUCCESS;
}

// The watch ends at once: its wait in the card service is cancelled.
SC_API ScResult SC_CALL SC_Close(ScWord access) {
    if (access != kScAccess) return SCARD_E_INVALID_PARAMETER;
    {
        Locked locked(library.lock);
        if (!library.thread.started() || library.stop.raised()) return SCARD_S_SUCCESS;
        library.stop.raise();
    }
    // A cancel that comes just before the watch enters its wait does not end that wait: it is
    // made again until the thread has ended.
    for (unsigned waited = 0; waited < kCloseWaitMs; waited += kCancelAgainMs) {
        {
            Locked locked(library.lock);
            if (library.watch != nullptr) library.watch->cancel();
        }
        if (library.thread.join(kCancelAgainMs)) {
            forgetWhatWasSeen();
            return SCARD_S_SUCCESS;
        }
    }
    // A card service that does not end its wait: the thread is left to the process's end.
    return SCARD_E_TIMEOUT;
}
