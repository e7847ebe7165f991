// SC.dll on PC/SC: winscard on Windows, pcsc-lite on Linux, from this one source.
//
// A poll asks the card service once, with a zero time-out so that no call ever waits: a status
// query over the readers known and the service's pseudo-reader for readers that come and go,
// each with the state last seen, which answers at once that nothing changed, or what did. The
// readers are listed again only when that pseudo-reader says the set changed (or a reader is
// unknown). When the smart-card service goes away (stopped, restarted, or on Windows 8 and later
// with the last reader unplugged), or any error repeats over a few polls, the context is
// released and established again at a later call.
#define SC_BUILDING_LIBRARY
#include "outside/sc/sc_api.h"

#include <winscard.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "outside/sc/reader_report.h"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace {

#ifdef _WIN32
// Reader names are read and queried in UTF-16: a name that the ANSI code page cannot hold would
// come back from the ANSI calls with '?' in it, and the one status query for all readers would
// then fail as an unknown reader, so that no card would be seen in any reader. Only the list
// handed to the caller is converted, to code page 950, in which Krev keeps every text whatever
// the system's ANSI code page (a reader's name in Reader.ini reads the same on every Windows).
typedef SCARD_READERSTATEW ReaderStateRecord;
typedef wchar_t NameChar;
const wchar_t kPlugAndPlay[] = L"\\\\?PnP?\\Notification";
#define LIST_READERS SCardListReadersW
#define GET_STATUS_CHANGE SCardGetStatusChangeW

std::string narrowed(const std::wstring& name, UINT codePage) {
    const int size = WideCharToMultiByte(codePage, 0, name.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(codePage, 0, name.c_str(), -1, &text[0], size, nullptr, nullptr);
    text.resize(static_cast<std::size_t>(size) - 1);
    return text;
}
// The change tracker's key: lossless, so two names differing only in a character the ANSI code
// page lacks stay two readers.
std::string trackingKey(const std::wstring& name) { return narrowed(name, CP_UTF8); }
std::string listedName(const std::wstring& name) { return narrowed(name, 950); }
#else
typedef SCARD_READERSTATE ReaderStateRecord;
typedef char NameChar;
const char kPlugAndPlay[] = "\\\\?PnP?\\Notification";
#define LIST_READERS SCardListReaders
#define GET_STATUS_CHANGE SCardGetStatusChange
const std::string& trackingKey(const std::string& name) { return name; }
const std::string& listedName(const std::string& name) { return name; }
#endif
typedef std::basic_string<NameChar> ReaderName;

// The poller and the reader dialog call from two threads at once. A critical section, not a
// slim reader/writer lock: those are missing on Windows XP, where SC.dll would then not load
// and Krev, which binds it at load time, would not start.
class LibraryLock {
public:
#ifdef _WIN32
    LibraryLock() { EnterCriticalSection(&section().handle); }
    ~LibraryLock() { LeaveCriticalSection(&section().handle); }

private:
    struct Section {
        Section() { InitializeCriticalSection(&handle); }
        ~Section() { DeleteCriticalSection(&handle); }
        CRITICAL_SECTION handle;
    };
    static Section& section() { return section_; }
    static Section section_;
#else
    LibraryLock() { pthread_mutex_lock(&lock_); }
    ~LibraryLock() { pthread_mutex_unlock(&lock_); }

private:
    static pthread_mutex_t lock_;
#endif
};
#ifdef _WIN32
LibraryLock::Section LibraryLock::section_;
#else
pthread_mutex_t LibraryLock::lock_ = PTHREAD_MUTEX_INITIALIZER;
#endif

// How many polls in a row may fail before the context is given up and established anew.
constexpr int kFailuresBeforeRenewal = 3;

SCARDCONTEXT context = 0;
bool haveContext = false;
reader_report::ChangeTracker tracker;

// What the poller's queries know between calls: the readers, each with the state last seen,
// and the pseudo-reader's.
struct Watch {
    std::vector<ReaderName> names;
    std::vector<DWORD> states;
    DWORD plugAndPlayState = SCARD_STATE_UNAWARE;
    bool listNeeded = true;
    int failures = 0;
};
Watch watch;

bool serviceGone(LONG result) {
    return result == static_cast<LONG>(SCARD_E_NO_SERVICE) || result == static_cast<LONG>(SCARD_E_SERVICE_STOPPED) ||
           result == static_cast<LONG>(SCARD_E_INVALID_HANDLE) || result == static_cast<LONG>(SCARD_F_COMM_ERROR);
}

void releaseContext() {
    if (haveContext) SCardReleaseContext(context);
    haveContext = false;
    watch.listNeeded = true;
    watch.plugAndPlayState = SCARD_STATE_UNAWARE;
}

LONG ensureContext() {
    if (haveContext) return SCARD_S_SUCCESS;
    const LONG result = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    haveContext = result == SCARD_S_SUCCESS;
    return result;
}

LONG afterCall(LONG result) {
    if (serviceGone(result)) releaseContext();
    return result;
}

// The poller's query failed: the context goes at once when the service went away, and after a
// few polls in a row for any other error (one that a remote session's service leaves broken
// would otherwise stay so until logoff).
LONG failedPoll(LONG result) {
    afterCall(result);
    if (++watch.failures >= kFailuresBeforeRenewal) {
        releaseContext();
        watch.failures = 0;
    }
    return result;
}

// The attached readers' names; no readers is not an error.
LONG listReaders(std::vector<ReaderName>& names) {
    names.clear();
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD size = 0;
        LONG result = LIST_READERS(context, nullptr, nullptr, &size);
        if (result == static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) return SCARD_S_SUCCESS;
        if (result != SCARD_S_SUCCESS) return result;
        std::vector<NameChar> text(size + 1, NameChar());
        result = LIST_READERS(context, nullptr, text.data(), &size);
        if (result == static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) return SCARD_S_SUCCESS;
        // The list grew between the two calls: ask again.
        if (result == static_cast<LONG>(SCARD_E_INSUFFICIENT_BUFFER)) continue;
        if (result != SCARD_S_SUCCESS) return result;
        // The bound first: a list that the service hands back without its closing zero must not be
        // read past its end. Each name ends within the buffer, which holds one zero more.
        const NameChar* const end = text.data() + std::min<std::size_t>(size, text.size() - 1);
        for (const NameChar* name = text.data(); name < end && *name != NameChar();
             name += std::char_traits<NameChar>::length(name) + 1) {
            names.emplace_back(name);
        }
        return SCARD_S_SUCCESS;
    }
    return SCARD_E_INSUFFICIENT_BUFFER;
}

// The readers attached now, through a context established when needed.
LONG currentReaders(std::vector<ReaderName>& names) {
    const LONG result = ensureContext();
    if (result != SCARD_S_SUCCESS) return result;
    return afterCall(listReaders(names));
}

// The readers as the poller knows them now, for the change tracker.
std::vector<reader_report::Reader> knownReaders() {
    std::vector<reader_report::Reader> readers;
    for (std::size_t reader = 0; reader < watch.names.size(); ++reader) {
        const DWORD state = watch.states[reader];
        readers.push_back(reader_report::Reader{trackingKey(watch.names[reader]), (state & SCARD_STATE_PRESENT) != 0,
                                                (state & SCARD_STATE_EMPTY) != 0});
    }
    return readers;
}

// The readers listed again; a reader known before keeps its last state, a new one is asked
// from scratch.
LONG relist() {
    std::vector<ReaderName> names;
    const LONG result = afterCall(listReaders(names));
    if (result != SCARD_S_SUCCESS) return result;
    std::vector<DWORD> states(names.size(), SCARD_STATE_UNAWARE);
    for (std::size_t reader = 0; reader < names.size(); ++reader) {
        const auto known = std::find(watch.names.begin(), watch.names.end(), names[reader]);
        if (known != watch.names.end()) states[reader] = watch.states[static_cast<std::size_t>(known - watch.names.begin())];
    }
    watch.names = std::move(names);
    watch.states = std::move(states);
    watch.listNeeded = false;
    return SCARD_S_SUCCESS;
}

// One status query over the known readers and the pseudo-reader: SCARD_E_TIMEOUT when nothing
// changed since the states last seen.
LONG queryStates() {
    std::vector<ReaderStateRecord> records(watch.names.size() + 1);
    for (std::size_t reader = 0; reader < records.size(); ++reader) {
        std::memset(&records[reader], 0, sizeof records[reader]);
        const bool plugAndPlay = reader == watch.names.size();
        records[reader].szReader = plugAndPlay ? kPlugAndPlay : watch.names[reader].c_str();
        records[reader].dwCurrentState = plugAndPlay ? watch.plugAndPlayState : watch.states[reader];
    }
    const LONG result = GET_STATUS_CHANGE(context, 0, records.data(), static_cast<DWORD>(records.size()));
    if (result != SCARD_S_SUCCESS) return result;
    for (std::size_t reader = 0; reader < watch.names.size(); ++reader) {
        watch.states[reader] = records[reader].dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    }
    const ReaderStateRecord& plugAndPlay = records.back();
    if ((plugAndPlay.dwEventState & SCARD_STATE_CHANGED) != 0) watch.listNeeded = true;
    watch.plugAndPlayState = plugAndPlay.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
    return SCARD_S_SUCCESS;
}

// One poll: the changes since the last, in words.
LONG poll(std::uint32_t* words, std::size_t& written) {
    written = 0;
    LONG result = ensureContext();
    if (result == SCARD_S_SUCCESS && watch.listNeeded) result = relist();
    if (result == SCARD_S_SUCCESS) result = afterCall(queryStates());
    if (result == static_cast<LONG>(SCARD_E_TIMEOUT)) {
        // Nothing changed; a change that found no room last time is reported now.
        watch.failures = 0;
        if (tracker.pending()) written = tracker.report(knownReaders(), words);
        return SCARD_S_SUCCESS;
    }
    if (result == static_cast<LONG>(SCARD_E_UNKNOWN_READER)) watch.listNeeded = true;
    if (result != SCARD_S_SUCCESS) return failedPoll(result);
    watch.failures = 0;
    written = tracker.report(knownReaders(), words);
    return SCARD_S_SUCCESS;
}

}  // namespace

SC_API ScResult SC_CALL SC_GetState(ScWord access, ScWord* count, ScWord* states) {
    if (access != kScAccess || count == nullptr || states == nullptr) return SCARD_E_INVALID_PARAMETER;
    LibraryLock lock;
    std::uint32_t words[reader_report::kMaxReported];
    std::size_t written = 0;
    const LONG result = poll(words, written);
    if (result != SCARD_S_SUCCESS) return result;
    for (std::size_t word = 0; word < written; ++word) states[word] = words[word];
    *count = static_cast<ScWord>(written);
    return SCARD_S_SUCCESS;
}

SC_API ScResult SC_CALL SC_GetReaderList(ScWord access, char* buffer) {
    if (access != kScAccess || buffer == nullptr) return SCARD_E_INVALID_PARAMETER;
    LibraryLock lock;
    std::vector<ReaderName> names;
    const LONG result = currentReaders(names);
    if (result != SCARD_S_SUCCESS) return result;
    std::vector<std::string> listed;
    for (const ReaderName& name : names) listed.push_back(listedName(name));
    reader_report::writeReaderList(listed, buffer, kScReaderListSize);
    return SCARD_S_SUCCESS;
}
