// SC.dll on PC/SC: winscard on Windows, pcsc-lite on Linux, from this one source.
//
// Every call lists the readers anew (so readers that come and go are seen at once) and reads
// their states with SCARD_STATE_UNAWARE and a zero time-out, so no call ever waits. When the
// smart-card service goes away (stopped, restarted, or on Windows 8 and later with the last
// reader unplugged) the context is released and established again at a later call.
#define SC_BUILDING_LIBRARY
#include "outside/sc/sc_api.h"

#include <winscard.h>

#include <cstring>
#include <string>
#include <vector>

#include "outside/sc/reader_report.h"

#ifdef _WIN32
typedef SCARD_READERSTATEA ReaderStateRecord;
#define LIST_READERS SCardListReadersA
#define GET_STATUS_CHANGE SCardGetStatusChangeA
#else
#include <pthread.h>
typedef SCARD_READERSTATE ReaderStateRecord;
#define LIST_READERS SCardListReaders
#define GET_STATUS_CHANGE SCardGetStatusChange
#endif

namespace {

// The poller and the reader dialog call from two threads at once.
class LibraryLock {
public:
#ifdef _WIN32
    LibraryLock() { AcquireSRWLockExclusive(&lock_); }
    ~LibraryLock() { ReleaseSRWLockExclusive(&lock_); }

private:
    static SRWLOCK lock_;
#else
    LibraryLock() { pthread_mutex_lock(&lock_); }
    ~LibraryLock() { pthread_mutex_unlock(&lock_); }

private:
    static pthread_mutex_t lock_;
#endif
};
#ifdef _WIN32
SRWLOCK LibraryLock::lock_ = SRWLOCK_INIT;
#else
pthread_mutex_t LibraryLock::lock_ = PTHREAD_MUTEX_INITIALIZER;
#endif

SCARDCONTEXT context = 0;
bool haveContext = false;
reader_report::ChangeTracker tracker;

bool serviceGone(LONG result) {
    return result == static_cast<LONG>(SCARD_E_NO_SERVICE) || result == static_cast<LONG>(SCARD_E_SERVICE_STOPPED) ||
           result == static_cast<LONG>(SCARD_E_INVALID_HANDLE) || result == static_cast<LONG>(SCARD_F_COMM_ERROR);
}

LONG ensureContext() {
    if (haveContext) return SCARD_S_SUCCESS;
    const LONG result = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    haveContext = result == SCARD_S_SUCCESS;
    return result;
}

LONG afterCall(LONG result) {
    if (serviceGone(result) && haveContext) {
        SCardReleaseContext(context);
        haveContext = false;
    }
    return result;
}

// The attached readers' names; no readers is not an error.
LONG listReaders(std::vector<std::string>& names) {
    names.clear();
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD size = 0;
        LONG result = LIST_READERS(context, nullptr, nullptr, &size);
        if (result == static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) return SCARD_S_SUCCESS;
        if (result != SCARD_S_SUCCESS) return result;
        std::vector<char> text(size + 1, '\0');
        result = LIST_READERS(context, nullptr, text.data(), &size);
        if (result == static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) return SCARD_S_SUCCESS;
        // The list grew between the two calls: ask again.
        if (result == static_cast<LONG>(SCARD_E_INSUFFICIENT_BUFFER)) continue;
        if (result != SCARD_S_SUCCESS) return result;
        for (const char* name = text.data(); *name != '\0' && name < text.data() + text.size();
             name += std::strlen(name) + 1) {
            names.emplace_back(name);
        }
        return SCARD_S_SUCCESS;
    }
    return SCARD_E_INSUFFICIENT_BUFFER;
}

// The readers attached now, through a context established when needed.
LONG currentReaders(std::vector<std::string>& names) {
    const LONG result = ensureContext();
    if (result != SCARD_S_SUCCESS) return result;
    return afterCall(listReaders(names));
}

LONG readStates(const std::vector<std::string>& names, std::vector<reader_report::Reader>& readers) {
    std::vector<ReaderStateRecord> records(names.size());
    for (std::size_t reader = 0; reader < names.size(); ++reader) {
        std::memset(&records[reader], 0, sizeof records[reader]);
        records[reader].szReader = names[reader].c_str();
        records[reader].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    const LONG result = GET_STATUS_CHANGE(context, 0, records.data(), static_cast<DWORD>(records.size()));
    if (result != SCARD_S_SUCCESS) return result;
    readers.clear();
    for (std::size_t reader = 0; reader < names.size(); ++reader) {
        const DWORD state = records[reader].dwEventState;
        readers.push_back(reader_report::Reader{names[reader], (state & SCARD_STATE_PRESENT) != 0,
                                                (state & SCARD_STATE_EMPTY) != 0});
    }
    return SCARD_S_SUCCESS;
}

}  // namespace

SC_API ScResult SC_CALL SC_GetState(ScWord access, ScWord* count, ScWord* states) {
    if (access != kScAccess || count == nullptr || states == nullptr) return SCARD_E_INVALID_PARAMETER;
    LibraryLock lock;
    std::vector<std::string> names;
    LONG result = currentReaders(names);
    if (result != SCARD_S_SUCCESS) return result;
    std::vector<reader_report::Reader> readers;
    if (!names.empty()) {
        // A reader unplugged between the listing and the query is seen at the next call.
        result = afterCall(readStates(names, readers));
        if (result != SCARD_S_SUCCESS) return result;
    }
    std::uint32_t words[reader_report::kMaxReported];
    const std::size_t written = tracker.report(readers, words);
    for (std::size_t word = 0; word < written; ++word) states[word] = words[word];
    *count = static_cast<ScWord>(written);
    return SCARD_S_SUCCESS;
}

SC_API ScResult SC_CALL SC_GetReaderList(ScWord access, char* buffer) {
    if (access != kScAccess || buffer == nullptr) return SCARD_E_INVALID_PARAMETER;
    LibraryLock lock;
    std::vector<std::string> names;
    const LONG result = currentReaders(names);
    if (result != SCARD_S_SUCCESS) return result;
    reader_report::writeReaderList(names, buffer, kScReaderListSize);
    return SCARD_S_SUCCESS;
}
