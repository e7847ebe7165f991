// A card service for the card library's own source, answering as Windows' winscard documents it
// (each rule names its page in windows_card_service.cpp): its readers with their cards, the
// pseudo-reader that counts them, readers listed but refused, the service that Windows 8 and later
// stop with the last reader and start with the next, its start event, and waits that last until
// something changes, the call is cancelled or the service stops. Thread-safe: the library's own
// thread calls it while a test changes it.
#pragma once
#include <winscard.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace windows_card_service {

struct Reader {
    std::string name;
    bool present = false;
    // The status query refuses it (another user's Windows Hello virtual reader).
    bool refused = false;
    // Insertions and removals, in the high word of its state.
    DWORD events = 0;
};

struct Calls {
    int establishes = 0;
    int releases = 0;
    int lists = 0;
    int queries = 0;
    int cancels = 0;
    // Records given with IGNORE or UNKNOWN as their current state: readers that nobody watches.
    int goneReadersWatched = 0;
    // Status queries that waited, and what time-out each gave.
    std::vector<DWORD> waitTimeouts;
};

// Every change below wakes the waiting calls.
void reset(std::vector<Reader> readers);
void plugIn(const Reader& reader);
void unplug(const std::string& name);
void insert(const std::string& name);
void takeOut(const std::string& name);
void refuse(const std::string& name);
// Windows 7 and earlier keep the service running without readers; Windows 8 and later, as after
// reset(), stop it with the last one.
void keepServiceWithoutReaders(bool keep);
// The service cannot tell of new readers: the pseudo-reader is unknown to it.
void withoutPlugAndPlay();
// As Wine's winscard asks pcsc-lite: every state as unaware, so every answer comes at once.
void answerAtOnce(bool atOnce);
// What the next status queries answer instead of their answer.
void failNextQueries(std::vector<LONG> results);
// The reader list handed back without its closing zeros.
void endListWithoutZeros(bool unended);

Calls calls();
void clearCalls();
bool serviceRunning();
// Waits (up to five seconds) until the library is idle: blocked in a status query that found
// nothing new since the last change, or waiting for the service to start.
bool libraryIdle();
// Waits (up to five seconds) until this many status queries, or listings, were made since the
// calls were cleared.
bool queriesMade(int count);
bool listingsMade(int count);
// The times between the status queries so far, in milliseconds.
std::vector<long long> queryGapsMs();

}  // namespace windows_card_service
