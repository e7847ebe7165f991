#include "outside/sc/reader_watch.h"

#include <algorithm>
#include <cstring>

namespace sc_watch {

namespace {

#ifdef _WIN32
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
// The list handed to the caller is in code page 950, in which Krev keeps every text whatever the
// system's ANSI code page (a reader's name in Reader.ini reads the same on every Windows).
std::string listedName(const std::wstring& name) { return narrowed(name, 950); }
#else
const char kPlugAndPlay[] = "\\\\?PnP?\\Notification";
#define LIST_READERS SCardListReaders
#define GET_STATUS_CHANGE SCardGetStatusChange
const std::string& trackingKey(const std::string& name) { return name; }
const std::string& listedName(const std::string& name) { return name; }
#endif

// How many failed rounds in a row, of an error that no rule names, before the context is given
// up and established anew (one that a remote session's service leaves broken would otherwise
// stay so until logoff).
constexpr int kFailuresBeforeRenewal = 3;

// A reader that the service does not know (Windows answers so for a reader unplugged while
// others stay), or that it asks not to be watched.
constexpr DWORD kGone = SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE;

bool serviceGone(long result) {
    return result == static_cast<long>(SCARD_E_NO_SERVICE) || result == static_cast<long>(SCARD_E_SERVICE_STOPPED) ||
           result == static_cast<long>(SCARD_E_INVALID_HANDLE) || result == static_cast<long>(SCARD_F_COMM_ERROR);
}

// The attached readers' names; no readers is not an error.
long listReaders(SCARDCONTEXT context, std::vector<ReaderName>& names) {
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

ReaderStateRecord recordFor(const NameChar* name, DWORD currentState) {
    ReaderStateRecord record;
    std::memset(&record, 0, sizeof record);
    record.szReader = name;
    record.dwCurrentState = currentState;
    return record;
}

}  // namespace

ReaderWatch::~ReaderWatch() { release(); }

ReaderWatch::Next ReaderWatch::step() {
    if (!haveContext_) {
        const long result = establish();
        if (result != SCARD_S_SUCCESS) {
            forgetReaders(result);
            return Next::AfterServiceStart;
        }
    }
    if (listNeeded_) {
        const long result = relist();
        if (result != SCARD_S_SUCCESS) return failed(result);
    }
    return query();
}

void ReaderWatch::cancel() {
    Locked locked(contextLock_);
    if (haveContext_) SCardCancel(context_);
}

// The calls themselves outside the lock: a cancel never waits for a service that is slow to
// answer them.
long ReaderWatch::establish() {
    SCARDCONTEXT context = 0;
    const LONG result = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    Locked locked(contextLock_);
    context_ = context;
    haveContext_ = result == SCARD_S_SUCCESS;
    return result;
}

void ReaderWatch::release() {
    bool had = false;
    SCARDCONTEXT context = 0;
    {
        Locked locked(contextLock_);
        had = haveContext_;
        context = context_;
        haveContext_ = false;
    }
    if (had) SCardReleaseContext(context);
    listNeeded_ = true;
    plugAndPlayState_ = SCARD_STATE_UNAWARE;
    plugAndPlayAnswered_ = false;
    plugAndPlaySupported_ = true;
}

// The service is gone: so are its readers, and the cards in them.
void ReaderWatch::forgetReaders(long serviceResult) {
    readers_.clear();
    listed_.clear();
    refused_.clear();
    failures_ = 0;
    looked_ = true;
    updateSeen(serviceResult);
}

// The readers listed again; a reader known before keeps its last state, a new one is asked
// afresh. Readers refused before stay out while the set is the same.
long ReaderWatch::relist() {
    std::vector<ReaderName> names;
    const long result = listReaders(context_, names);
    if (result != SCARD_S_SUCCESS) return result;
    if (names != listed_) refused_.clear();
    std::vector<Watched> readers;
    for (const ReaderName& name : names) {
        if (refused_.count(name) != 0) continue;
        const auto known = std::find_if(readers_.begin(), readers_.end(),
                                        [&name](const Watched& reader) { return reader.name == name; });
        readers.push_back(known != readers_.end() ? *known : Watched{name, SCARD_STATE_UNAWARE, false});
    }
    readers_ = std::move(readers);
    listed_ = std::move(names);
    listNeeded_ = false;
    updateSeen(0);
    return SCARD_S_SUCCESS;
}

// One status query over the readers, each with the state last seen (never with IGNORE or UNKNOWN,
// which are not watched), and the pseudo-reader that counts the readers, so that it waits until a
// card or a reader comes or goes.
ReaderWatch::Next ReaderWatch::query() {
    std::vector<ReaderStateRecord> records;
    for (const Watched& reader : readers_) records.push_back(recordFor(reader.name.c_str(), reader.state));
    if (plugAndPlaySupported_) records.push_back(recordFor(kPlugAndPlay, plugAndPlayState_));
    if (records.empty()) {
        listNeeded_ = true;
        return Next::AfterRelistPeriod;
    }
    const DWORD timeout = plugAndPlaySupported_ ? INFINITE : kRelistPeriodMs;
    const long result = GET_STATUS_CHANGE(context_, timeout, records.data(), static_cast<DWORD>(records.size()));
    if (result == SCARD_S_SUCCESS) {
        failures_ = 0;
        looked_ = true;
        return takeAnswers(records) ? Next::Now : Next::AfterPause;
    }
    if (result == static_cast<long>(SCARD_E_TIMEOUT)) {
        failures_ = 0;
        if (!plugAndPlaySupported_) listNeeded_ = true;
        return Next::AfterPause;
    }
    if (result == static_cast<long>(SCARD_E_CANCELLED)) return Next::AfterPause;
    if (result == static_cast<long>(SCARD_E_UNKNOWN_READER)) return sortOutRefusal();
    if (result == static_cast<long>(SCARD_E_NO_READERS_AVAILABLE)) {
        listNeeded_ = true;
        return Next::AfterPause;
    }
    return failed(result);
}

// Takes the query's answers; true when any of them is news.
bool ReaderWatch::takeAnswers(const std::vector<ReaderStateRecord>& records) {
    bool news = false;
    std::vector<Watched> kept;
    for (std::size_t index = 0; index < readers_.size(); ++index) {
        Watched reader = readers_[index];
        const DWORD answered = records[index].dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        if ((answered & kGone) != 0) {
            // Gone: a card it held went with it. Refused at its first asking: left out while the
            // set of readers stays the same. Either way it is asked afresh when listed again.
            if (!reader.answered) refused_.insert(reader.name);
            listNeeded_ = true;
            news = true;
            continue;
        }
        news = news || !reader.answered || answered != reader.state;
        reader.state = answered;
        reader.answered = true;
        kept.push_back(reader);
    }
    readers_ = std::move(kept);
    if (plugAndPlaySupported_) {
        // Its high word counts the readers (Windows and pcsc-lite alike).
        const DWORD answered = records.back().dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        if ((answered & kGone) != 0) {
            // This service cannot tell of new readers: they are listed now and then instead.
            plugAndPlaySupported_ = false;
            listNeeded_ = true;
            news = true;
        } else if (!plugAndPlayAnswered_ || answered != plugAndPlayState_) {
            // At its first answer, a count other than the list's is a reader that came or went
            // between the listing and the query.
            if (plugAndPlayAnswered_ || (answered >> 16) != listed_.size()) listNeeded_ = true;
            plugAndPlayState_ = answered;
            plugAndPlayAnswered_ = true;
            news = true;
        }
    }
    updateSeen(0);
    return news;
}

// The query refused a reader: pcsc-lite's answer for one unplugged, and Windows' for a listed reader
// that is not this user's (another user's Windows Hello virtual reader). The readers are listed
// again, and each is asked alone: those refused are left out, so that the others are watched.
ReaderWatch::Next ReaderWatch::sortOutRefusal() {
    long result = relist();
    if (result != SCARD_S_SUCCESS) return failed(result);
    bool refusedAny = false;
    std::vector<Watched> kept;
    for (const Watched& reader : readers_) {
        ReaderStateRecord record = recordFor(reader.name.c_str(), SCARD_STATE_UNAWARE);
        result = GET_STATUS_CHANGE(context_, 0, &record, 1);
        const bool refused = result == static_cast<long>(SCARD_E_UNKNOWN_READER) ||
                             (result == SCARD_S_SUCCESS && (record.dwEventState & kGone) != 0);
        if (!refused && result != SCARD_S_SUCCESS && result != static_cast<long>(SCARD_E_TIMEOUT)) {
            return failed(result);
        }
        if (refused) {
            refused_.insert(reader.name);
            refusedAny = true;
        } else {
            kept.push_back(reader);
        }
    }
    readers_ = std::move(kept);
    if (plugAndPlaySupported_) {
        ReaderStateRecord record = recordFor(kPlugAndPlay, SCARD_STATE_UNAWARE);
        result = GET_STATUS_CHANGE(context_, 0, &record, 1);
        if (result == static_cast<long>(SCARD_E_UNKNOWN_READER) ||
            (result == SCARD_S_SUCCESS && (record.dwEventState & kGone) != 0)) {
            plugAndPlaySupported_ = false;
            refusedAny = true;
        }
    }
    updateSeen(0);
    return refusedAny ? Next::Now : Next::AfterPause;
}

// A failed round. When the service went away, its readers went with it; any other error that
// repeats gets a new context. Either way the next round waits a pause, never spinning on an error.
ReaderWatch::Next ReaderWatch::failed(long result) {
    if (serviceGone(result)) {
        release();
        forgetReaders(result);
        return Next::AfterPause;
    }
    if (++failures_ >= kFailuresBeforeRenewal) {
        release();
        failures_ = 0;
    }
    return Next::AfterPause;
}

void ReaderWatch::updateSeen(long serviceResult) {
    seen_.readers.clear();
    for (const Watched& reader : readers_) {
        if (!reader.answered) continue;
        seen_.readers.push_back(reader_report::Reader{trackingKey(reader.name), (reader.state & SCARD_STATE_PRESENT) != 0,
                                                      (reader.state & SCARD_STATE_EMPTY) != 0});
    }
    seen_.listed.clear();
    for (const ReaderName& name : listed_) seen_.listed.push_back(listedName(name));
    seen_.serviceResult = serviceResult;
    seen_.looked = looked_;
}

}  // namespace sc_watch
