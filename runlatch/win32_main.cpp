#include <windows.h>

#include "platform/win32/process_starter_win32.h"
#include "runlatch/autorun_starter.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // The working directory may be a drive whose disc was taken out: the start then fails
    // quietly instead of raising the system's "no disk" box. The program started (the
    // installer) gets Windows' default error mode, not this one.
    SetErrorMode(SEM_FAILCRITICALERRORS);
    platform::win32::Win32ProcessStarter system(true);
    return runAutorunStarter(system);
}
