#include "windows_card_service.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>

#include "outside/sc/service_start.h"

namespace windows_card_service {

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kPlugAndPlay[] = "\\\\?PnP?\\Notification";

struct Service {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Reader> readers;
    bool running = true;
    bool keepWithoutReaders = false;
    bool plugAndPlay = true;
    bool atOnce = false;
    bool unendedList = false;
    std::vector<LONG> failures;
    // Each start of the service is a new run: contexts of an earlier run are dead.
    unsigned run = 1;
    std::map<SCARDCONTEXT, unsigned> contexts;
    std::map<SCARDCONTEXT, unsigned> cancels;
    SCARDCONTEXT nextContext = 1;
    // Counts every change, so that an idle caller is known to have seen the last one.
    unsigned changes = 0;
    int queriesIdle = 0;
    unsigned queryIdleAt = 0;
    int startWaitsIdle = 0;
    unsigned startWaitIdleAt = 0;
    Calls calls;
    std::vector<Clock::time_point> queryTimes;
};

// Never destroyed: the library's thread may still wait in it as the test program ends.
Service& service = *new Service;

void changedLocked() {
    ++service.changes;
    service.changed.notify_all();
}

template <typename Change>
void change(Change&& apply) {
    std::lock_guard<std::mutex> lock(service.mutex);
    apply();
    changedLocked();
}

std::vector<Reader>::iterator readerNamed(const std::string& name) {
    return std::find_if(service.readers.begin(), service.readers.end(),
                        [&name](const Reader& reader) { return reader.name == name; });
}

// Windows 8 and later: the Smart Card service is started by a reader's arrival and stops with
// the last reader's removal (its trigger: "sc.exe qtriggerinfo SCardSvr", device interface
// arrival); an earlier Windows keeps it running.
void serviceFollowsReadersLocked() {
    const bool runs = service.keepWithoutReaders || !service.readers.empty();
    if (runs && !service.running) ++service.run;
    service.running = runs;
}

// "SCardGetStatusChange function" and "SCardCancel function": a call on a context of a service
// that has stopped answers SCARD_E_SERVICE_STOPPED; on a context never established or released,
// SCARD_E_INVALID_HANDLE.
LONG contextFailureLocked(SCARDCONTEXT context) {
    const auto known = service.contexts.find(context);
    if (known == service.contexts.end()) return SCARD_E_INVALID_HANDLE;
    if (!service.running || known->second != service.run) return SCARD_E_SERVICE_STOPPED;
    return SCARD_S_SUCCESS;
}

// "SCARD_READERSTATEW structure": UNAWARE asks for the state and returns at once; a record with
// IGNORE in its current state is not watched; a reader that the service does not know is answered
// UNKNOWN, with CHANGED and IGNORE. The high word counts a reader's insertions and removals, and
// for "\\?PnP?\Notification" the readers attached (MS-RDPESC 2.2.7, "Reader State").
bool answerLocked(SCARD_READERSTATE* states, DWORD count) {
    bool changed = false;
    for (DWORD index = 0; index < count; ++index) {
        SCARD_READERSTATE& record = states[index];
        const DWORD current = service.atOnce ? SCARD_STATE_UNAWARE : record.dwCurrentState;
        if (service.atOnce) record.dwCurrentState = SCARD_STATE_UNAWARE;  // as Wine writes back
        if ((current & SCARD_STATE_IGNORE) != 0) {
            ++service.calls.goneReadersWatched;
            continue;
        }
        DWORD actual = SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE;
        bool differs;
        if (std::strcmp(record.szReader, kPlugAndPlay) == 0) {
            if (service.plugAndPlay) actual = static_cast<DWORD>(service.readers.size()) << 16;
            differs = (actual & SCARD_STATE_UNKNOWN) != 0 ? (current & SCARD_STATE_UNKNOWN) == 0
                                                            : current == SCARD_STATE_UNAWARE || (current >> 16) != (actual >> 16);
        } else {
            if ((current & SCARD_STATE_UNKNOWN) != 0) ++service.calls.goneReadersWatched;
            const auto reader = readerNamed(record.szReader);
            if (reader != service.readers.end()) {
                actual = (reader->events << 16) | (reader->present ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY);
            }
            differs = (actual & SCARD_STATE_UNKNOWN) != 0 ? (current & SCARD_STATE_UNKNOWN) == 0 : current != actual;
        }
        record.dwEventState = actual | (differs ? SCARD_STATE_CHANGED : 0);
        changed = changed || differs;
    }
    return changed;
}

}  // namespace

void reset(std::vector<Reader> readers) {
    change([&readers] {
        service.readers = std::move(readers);
        service.keepWithoutReaders = false;
        service.plugAndPlay = true;
        service.atOnce = false;
        service.unendedList = false;
        service.failures.clear();
        service.calls = Calls();
        service.queryTimes.clear();
        service.running = false;
        serviceFollowsReadersLocked();
    });
}

void plugIn(const Reader& reader) {
    change([&reader] {
        service.readers.push_back(reader);
        serviceFollowsReadersLocked();
    });
}

void unplug(const std::string& name) {
    change([&name] {
        service.readers.erase(readerNamed(name));
        serviceFollowsReadersLocked();
    });
}

void insert(const std::string& name) {
    change([&name] {
        readerNamed(name)->present = true;
        ++readerNamed(name)->events;
    });
}

void takeOut(const std::string& name) {
    change([&name] {
        readerNamed(name)->present = false;
        ++readerNamed(name)->events;
    });
}

void refuse(const std::string& name) {
    change([&name] { readerNamed(name)->refused = true; });
}

void keepServiceWithoutReaders(bool keep) {
    change([keep] {
        service.keepWithoutReaders = keep;
        serviceFollowsReadersLocked();
    });
}

void withoutPlugAndPlay() {
    change([] { service.plugAndPlay = false; });
}

void answerAtOnce(bool atOnce) {
    change([atOnce] { service.atOnce = atOnce; });
}

void failNextQueries(std::vector<LONG> results) {
    change([&results] { service.failures = std::move(results); });
}

void endListWithoutZeros(bool unended) {
    change([unended] { service.unendedList = unended; });
}

Calls calls() {
    std::lock_guard<std::mutex> lock(service.mutex);
    return service.calls;
}

void clearCalls() {
    std::lock_guard<std::mutex> lock(service.mutex);
    service.calls = Calls();
    service.queryTimes.clear();
}

bool serviceRunning() {
    std::lock_guard<std::mutex> lock(service.mutex);
    return service.running;
}

bool libraryIdle() {
    std::unique_lock<std::mutex> lock(service.mutex);
    return service.changed.wait_for(lock, std::chrono::seconds(5), [] {
        return (service.queriesIdle > 0 && service.queryIdleAt == service.changes) ||
               (service.startWaitsIdle > 0 && service.startWaitIdleAt == service.changes);
    });
}

namespace {
bool callsMade(int count, int Calls::*kind) {
    std::unique_lock<std::mutex> lock(service.mutex);
    return service.changed.wait_for(lock, std::chrono::seconds(5),
                                    [count, kind] { return service.calls.*kind >= count; });
}
}  // namespace

bool queriesMade(int count) { return callsMade(count, &Calls::queries); }
bool listingsMade(int count) { return callsMade(count, &Calls::lists); }

std::vector<long long> queryGapsMs() {
    std::lock_guard<std::mutex> lock(service.mutex);
    std::vector<long long> gaps;
    for (std::size_t query = 1; query < service.queryTimes.size(); ++query) {
        gaps.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(service.queryTimes[query] -
                                                                              service.queryTimes[query - 1])
                           .count());
    }
    return gaps;
}

}  // namespace windows_card_service

using windows_card_service::service;

extern "C" {

// "SCardEstablishContext function": SCARD_E_NO_SERVICE while the service is not running.
LONG SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    std::lock_guard<std::mutex> lock(service.mutex);
    ++service.calls.establishes;
    if (!service.running) return SCARD_E_NO_SERVICE;
    *context = service.nextContext++;
    service.contexts[*context] = service.run;
    return SCARD_S_SUCCESS;
}

LONG SCardReleaseContext(SCARDCONTEXT context) {
    std::lock_guard<std::mutex> lock(service.mutex);
    ++service.calls.releases;
    return service.contexts.erase(context) == 1 ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

// "SCardListReadersW function": a multi-string ended by two zeros; its size asked first with no
// buffer; SCARD_E_NO_READERS_AVAILABLE when there are none.
LONG SCardListReaders(SCARDCONTEXT context, LPCSTR, LPSTR readers, LPDWORD size) {
    std::lock_guard<std::mutex> lock(service.mutex);
    ++service.calls.lists;
    service.changed.notify_all();
    if (const LONG failure = windows_card_service::contextFailureLocked(context)) return failure;
    static const char kUnended[] = {'R', 'e', 'a', 'd', 'e', 'r', ' ', 'A', '\0', 'R', 'e', 'a', 'd', 'e', 'r', ' ', 'B'};
    std::string text;
    if (service.unendedList) {
        text.assign(kUnended, sizeof kUnended);
    } else {
        if (service.readers.empty()) return SCARD_E_NO_READERS_AVAILABLE;
        for (const auto& reader : service.readers) text += reader.name + '\0';
        text += '\0';
    }
    if (readers != nullptr) {
        if (*size < text.size()) {
            *size = static_cast<DWORD>(text.size());
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
        std::memcpy(readers, text.data(), text.size());
    }
    *size = static_cast<DWORD>(text.size());
    return SCARD_S_SUCCESS;
}

// "SCardGetStatusChange function": blocks until a reader's state differs from the current state
// given, the time-out passes (SCARD_E_TIMEOUT; INFINITE never), the call is cancelled
// (SCARD_E_CANCELLED) or the service stops; a listed reader that it will not watch for this
// caller fails the whole call with SCARD_E_UNKNOWN_READER.
LONG SCardGetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states, DWORD count) {
    using namespace windows_card_service;
    std::unique_lock<std::mutex> lock(service.mutex);
    ++service.calls.queries;
    service.queryTimes.push_back(Clock::now());
    service.changed.notify_all();
    if (!service.failures.empty()) {
        const LONG failure = service.failures.front();
        service.failures.erase(service.failures.begin());
        return failure;
    }
    if (const LONG failure = contextFailureLocked(context)) return failure;
    for (DWORD index = 0; index < count; ++index) {
        const auto reader = readerNamed(states[index].szReader);
        if (reader != service.readers.end() && reader->refused) return SCARD_E_UNKNOWN_READER;
    }
    const unsigned cancelsBefore = service.cancels[context];
    const unsigned run = service.run;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
    bool waited = false;
    for (;;) {
        if (answerLocked(states, count)) return SCARD_S_SUCCESS;
        if (timeout == 0) return SCARD_E_TIMEOUT;
        if (!waited) service.calls.waitTimeouts.push_back(timeout);
        waited = true;
        ++service.queriesIdle;
        service.queryIdleAt = service.changes;
        service.changed.notify_all();
        if (timeout == INFINITE) {
            service.changed.wait(lock);
        } else {
            service.changed.wait_until(lock, deadline);
        }
        --service.queriesIdle;
        if (service.cancels[context] != cancelsBefore) return SCARD_E_CANCELLED;
        if (!service.running || service.run != run) return SCARD_E_SERVICE_STOPPED;
        if (timeout != INFINITE && Clock::now() >= deadline) return SCARD_E_TIMEOUT;
    }
}

// "SCardCancel function": ends the calls outstanding on the context, not a later one.
LONG SCardCancel(SCARDCONTEXT context) {
    std::lock_guard<std::mutex> lock(service.mutex);
    ++service.calls.cancels;
    ++service.cancels[context];
    service.changed.notify_all();
    return SCARD_S_SUCCESS;
}

}  // extern "C"

namespace sc_watch {

// "SCardAccessStartedEvent function": an event that is signalled while the resource manager runs.
bool waitForCardService(Signal& stop, unsigned ms) {
    using namespace windows_card_service;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    {
        std::lock_guard<std::mutex> lock(service.mutex);
        ++service.startWaitsIdle;
        service.startWaitIdleAt = service.changes;
        service.changed.notify_all();
    }
    bool stopped = false;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(service.mutex);
            if (service.running || Clock::now() >= deadline) break;
        }
        if (stop.waitFor(5)) {
            stopped = true;
            break;
        }
    }
    std::lock_guard<std::mutex> lock(service.mutex);
    --service.startWaitsIdle;
    return !stopped;
}

}  // namespace sc_watch
