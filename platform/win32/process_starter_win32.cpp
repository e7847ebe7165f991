#include "platform/win32/process_starter_win32.h"

#include <windows.h>
#include <shellapi.h>

namespace platform::win32 {

void findExecutable(const char* file, char (&result)[kMaxPath]) {
    // Cleared first, so a failed lookup always leaves it empty.
    result[0] = '\0';
    // A lookup on an empty drive (a card-reader slot, a DVD drive) fails quietly instead of
    // raising the system's "no disk" box; the error mode is restored for what follows.
    const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS);
    FindExecutableA(file, nullptr, result);
    SetErrorMode(previousMode);
}

void startProgram(const char* commandLine, int showState) { WinExec(commandLine, static_cast<UINT>(showState)); }

}  // namespace platform::win32
