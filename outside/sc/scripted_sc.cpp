// A card library for tests: it reports the readers that a script file describes. The file
// named by the environment variable SC_SCRIPT is read at every call; its lines are
//   present <reader name>    a reader holding a card
//   empty <reader name>      a reader without a card
//   result <number>          what both calls return (0 when absent)
//   raw <word> <word> ...    state words reported as they stand, instead of the readers
// A reader's changed bit is set when its state differs from what this library reported last
// (and at the first report), as the PC/SC status-change query does. When SC_LOG names a file,
// every report with a changed bit is appended to it with the wall-clock time in milliseconds.
#define SC_BUILDING_LIBRARY
#include "outside/sc/sc_api.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMaxReported = 10;
constexpr int kMaxReaders = 64;
constexpr DWORD kChanged = 0x02;
constexpr DWORD kEmpty = 0x10;
constexpr DWORD kPresent = 0x20;
constexpr size_t kListCapacity = 65025;

struct Script {
    char names[kMaxReaders][256];
    bool present[kMaxReaders];
    int readers = 0;
    LONG result = 0;
    DWORD raw[kMaxReaders];
    int rawCount = -1;
};

CRITICAL_SECTION lock;

void logChangeReport(const DWORD* states, DWORD count) {
    char path[MAX_PATH];
    if (GetEnvironmentVariableA("SC_LOG", path, sizeof path) == 0) return;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    FILE* log = std::fopen(path, "a");
    if (log == nullptr) return;
    std::fprintf(log, "%llu", ticks / 10000ULL - 11644473600000ULL);
    for (DWORD reader = 0; reader < count; ++reader) std::fprintf(log, " %02lx", static_cast<unsigned long>(states[reader]));
    std::fprintf(log, "\n");
    std::fclose(log);
}
int lastReported[kMaxReaders];  // -1 never reported, else 0 empty / 1 present

void trimLineEnd(char* line) {
    size_t length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) line[--length] = '\0';
}

void readScript(Script& script) {
    char path[MAX_PATH];
    if (GetEnvironmentVariableA("SC_SCRIPT", path, sizeof path) == 0) return;
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return;
    char line[512];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        trimLineEnd(line);
        const bool present = std::strncmp(line, "present ", 8) == 0;
        if ((present || std::strncmp(line, "empty ", 6) == 0) && script.readers < kMaxReaders) {
            std::snprintf(script.names[script.readers], sizeof script.names[0], "%s", line + (present ? 8 : 6));
            script.present[script.readers++] = present;
        } else if (std::strncmp(line, "result ", 7) == 0) {
            script.result = std::strtol(line + 7, nullptr, 0);
        } else if (std::strncmp(line, "raw", 3) == 0) {
            script.rawCount = 0;
            char* at = line + 3;
            for (char* end = at; script.rawCount < kMaxReaders; at = end) {
                const unsigned long word = std::strtoul(at, &end, 0);
                if (end == at) break;
                script.raw[script.rawCount++] = word;
            }
        }
    }
    std::fclose(file);
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&lock);
        for (int& state : lastReported) state = -1;
    }
    return TRUE;
}

SC_API LONG WINAPI SC_GetState(DWORD access, DWORD* count, DWORD* states) {
    if (access != kScAccess || count == nullptr || states == nullptr) return 1;
    static Script script;
    EnterCriticalSection(&lock);
    script = Script{};
    readScript(script);
    LONG result = script.result;
    if (result == 0 && script.rawCount >= 0) {
        // Raw words may claim more readers than the caller's ten words hold: only ten are written.
        for (int word = 0; word < script.rawCount && word < kMaxReported; ++word) states[word] = script.raw[word];
        *count = static_cast<DWORD>(script.rawCount);
    } else if (result == 0) {
        const int reported = script.readers < kMaxReported ? script.readers : kMaxReported;
        for (int reader = 0; reader < reported; ++reader) {
            const int now = script.present[reader] ? 1 : 0;
            states[reader] = (now ? kPresent : kEmpty) | (now != lastReported[reader] ? kChanged : 0);
            lastReported[reader] = now;
        }
        *count = static_cast<DWORD>(reported);
        bool changed = false;
        for (int reader = 0; reader < reported; ++reader) changed = changed || (states[reader] & kChanged) != 0;
        if (changed) logChangeReport(states, *count);
    }
    LeaveCriticalSection(&lock);
    return result;
}

SC_API LONG WINAPI SC_GetReaderList(DWORD access, char* buffer) {
    if (access != kScAccess || buffer == nullptr) return 1;
    static Script script;
    EnterCriticalSection(&lock);
    script = Script{};
    readScript(script);
    size_t used = 0;
    for (int reader = 0; reader < script.readers; ++reader) {
        const size_t length = std::strlen(script.names[reader]);
        if (used + length + 2 > kListCapacity) break;
        std::memcpy(buffer + used, script.names[reader], length);
        used += length;
        buffer[used++] = ',';
    }
    buffer[used] = '\0';
    const LONG result = script.result;
    LeaveCriticalSection(&lock);
    return result;
}

// Nothing of this library waits.
SC_API LONG WINAPI SC_Close(DWORD access) { return access == kScAccess ? 0 : 1; }
