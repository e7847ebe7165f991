// The card library's watch over the readers: one PC/SC context, the listed readers with the
// state last seen of each, and the status query that waits, with no time-out, for the next change
// of any of them or of the set of readers. One thread steps it; any thread may cancel its wait.
#pragma once
#include <winscard.h>

#include <set>
#include <string>
#include <vector>

#include "outside/sc/reader_report.h"
#include "outside/sc/watch_thread.h"

namespace sc_watch {

#ifdef _WIN32
// Reader names are read and queried in UTF-16: a name that the ANSI code page cannot hold would
// come back from the ANSI calls with '?' in it, and the status query would refuse it.
typedef SCARD_READERSTATEW ReaderStateRecord;
typedef wchar_t NameChar;
#else
typedef SCARD_READERSTATE ReaderStateRecord;
typedef char NameChar;
#endif
typedef std::basic_string<NameChar> ReaderName;

// The pause after a call that brought nothing new, so that a service whose every answer comes at
// once (Wine's winscard asks pcsc-lite as if nothing were known) is asked at the poller's pace.
constexpr unsigned kPauseMs = 100;
// Where the service cannot tell of new readers, they are listed again this often.
constexpr unsigned kRelistPeriodMs = 1000;

// What the watch knows of the readers.
struct Seen {
    // The readers whose state is known, by their tracking names.
    std::vector<reader_report::Reader> readers;
    // Every listed reader, by the name that the reader list gives.
    std::vector<std::string> listed;
    // Not 0 while the service cannot be reached: what it answered.
    long serviceResult = 0;
    // The readers' states have been answered, or the service found away, at least once.
    bool looked = false;
    bool operator==(const Seen& other) const {
        return readers == other.readers && listed == other.listed && serviceResult == other.serviceResult &&
               looked == other.looked;
    }
};

class ReaderWatch {
public:
    // What the stepping thread does next: step again at once, after a pause of kPauseMs, after
    // kRelistPeriodMs (no reader to watch, and no word of new ones), or once the service may
    // have started.
    enum class Next { Now, AfterPause, AfterRelistPeriod, AfterServiceStart };

    ReaderWatch() = default;
    ~ReaderWatch();
    ReaderWatch(const ReaderWatch&) = delete;
    ReaderWatch& operator=(const ReaderWatch&) = delete;

    // One round: a context when there is none, the readers listed when the set changed, then one
    // status query, which waits until something changes.
    Next step();
    // Ends a status query under way, from any thread.
    void cancel();
    const Seen& seen() const { return seen_; }

private:
    struct Watched {
        ReaderName name;
        DWORD state;    // as last answered, without the changed bit; fed back to the next query
        bool answered;  // asked at least once
    };

    long establish();
    void release();
    void forgetReaders(long serviceResult);
    long relist();
    Next query();
    bool takeAnswers(const std::vector<ReaderStateRecord>& records);
    Next sortOutRefusal();
    Next failed(long result);
    void updateSeen(long serviceResult);

    Lock contextLock_;  // the context, between the stepping thread and a cancelling one
    SCARDCONTEXT context_ = 0;
    bool haveContext_ = false;

    std::vector<Watched> readers_;
    std::vector<ReaderName> listed_;
    // Listed readers that the status query refuses (another user's virtual reader): left out of
    // the query until the set of readers changes.
    std::set<ReaderName> refused_;
    DWORD plugAndPlayState_ = SCARD_STATE_UNAWARE;
    bool plugAndPlayAnswered_ = false;
    bool plugAndPlaySupported_ = true;
    bool listNeeded_ = true;
    int failures_ = 0;
    bool looked_ = false;
    Seen seen_;
};

}  // namespace sc_watch
