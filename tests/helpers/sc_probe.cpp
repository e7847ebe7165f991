// Asks the card library SC.dll beside it, as Krev does, for its readers and their states, and
// prints one line a reader: "STATE NAME" (the state word in hex, names as hex of their bytes).
// The main job uses it to say which reader the library reports a card in.
#include "outside/sc/sc_api.h"

#include <cstdio>
#include <cstring>

int main() {
    static char list[kScReaderListSize];
    const ScResult listed = SC_GetReaderList(kScAccess, list);
    ScWord count = 0;
    ScWord states[10] = {};
    const ScResult stated = SC_GetState(kScAccess, &count, states);
    if (listed != 0 || stated != 0) {
        std::printf("error %lx %lx\n", static_cast<unsigned long>(listed), static_cast<unsigned long>(stated));
        return 1;
    }
    const char* name = list;
    for (ScWord reader = 0; reader < count && reader < 10; ++reader) {
        const char* comma = std::strchr(name, ',');
        if (comma == nullptr) break;
        std::printf("%02lx ", static_cast<unsigned long>(states[reader]));
        for (const char* at = name; at < comma; ++at) std::printf("%02x", static_cast<unsigned char>(*at));
        std::printf("\n");
        name = comma + 1;
    }
    return 0;
}
