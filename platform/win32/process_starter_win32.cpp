#include "platform/win32/process_starter_win32.h"

#include <windows.h>
#include <shellapi.h>

namespace platform::win32 {

void findExecutable(const char* file, char (&result)[kMaxPath]) {
    // Cleared first, so a failed lookup always leaves it empty.
    result[0] = '\0';
    FindExecutableA(file, nullptr, result);
}

void startProgram(const char* commandLine, int showState) { WinExec(commandLine, static_cast<UINT>(showState)); }

}  // namespace platform::win32
