// Asks the card library SC.dll beside it, as Krev's poller does, for its readers and then for
// their states every 100 ms for SECONDS seconds (once without it), and prints
//   "reader NAME"            for each listed reader, its name as hex of its bytes;
//   "report MS WORD ..."     for each report that holds a word, MS the wall-clock time in
//                            milliseconds and each word in hex;
//   "error LIST STATE"       when a call fails.
// A report holds a word for each reader whose state changed, and names none: the main job uses
// the probe to show what the library reports around an insertion.
#include "outside/sc/sc_api.h"
#include "record_start.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    const unsigned long seconds = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 0;
    static char list[kScReaderListSize];
    const ScResult listed = SC_GetReaderList(kScAccess, list);
    if (listed != 0) {
        std::printf("error %lx 0\n", static_cast<unsigned long>(listed));
        return 1;
    }
    for (const char* name = list; const char* comma = std::strchr(name, ','); name = comma + 1) {
        std::printf("reader ");
        for (const char* at = name; at < comma; ++at) std::printf("%02x", static_cast<unsigned char>(*at));
        std::printf("\n");
    }
    std::fflush(stdout);
    const unsigned long long end = unixMilliseconds() + seconds * 1000ULL;
    do {
        ScWord count = 0;
        ScWord states[10] = {};
        const ScResult stated = SC_GetState(kScAccess, &count, states);
        if (stated != 0) {
            std::printf("error 0 %lx\n", static_cast<unsigned long>(stated));
            return 1;
        }
        if (count > 0) {
            std::printf("report %llu", unixMilliseconds());
            for (ScWord word = 0; word < count && word < 10; ++word) {
                std::printf(" %02lx", static_cast<unsigned long>(states[word]));
            }
            std::printf("\n");
            std::fflush(stdout);
        }
        if (seconds > 0) Sleep(100);
    } while (unixMilliseconds() < end);
    SC_Close(kScAccess);
    return 0;
}
