// The lookup of the program that opens a file leaves the process's error mode alone: one thread
// looks up, again and again, while this one reads the process's mode. Prints how many of the
// readings differed from the mode set at the start, then exits with 0 when none did.
#include <windows.h>

#include <cstdio>

#include "platform/win32/process_starter_win32.h"

namespace {

volatile LONG stop = 0;

DWORD WINAPI lookUp(void*) {
    char program[platform::kMaxPath];
    while (stop == 0) platform::win32::findExecutable(".\\nothing-here.htm", program);
    return 0;
}

}  // namespace

int main() {
    constexpr UINT kMode = SEM_NOGPFAULTERRORBOX;
    SetErrorMode(kMode);
    HANDLE thread = CreateThread(nullptr, 0, lookUp, nullptr, 0, nullptr);
    int differing = 0;
    const DWORD started = GetTickCount();
    for (int reading = 0; GetTickCount() - started < 1000; ++reading) {
        if (GetErrorMode() != kMode) ++differing;
    }
    InterlockedExchange(&stop, 1);
    WaitForSingleObject(thread, INFINITE);
    std::printf("differing %d\n", differing);
    return differing == 0 ? 0 : 1;
}
