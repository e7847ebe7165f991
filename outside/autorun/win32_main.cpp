#include <windows.h>

#include "outside/autorun/package_opener.h"
#include "platform/win32/process_starter_win32.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // The CD may be taken out meanwhile: the open then fails quietly instead of raising the
    // system's "no disk" box.
    SetErrorMode(SEM_FAILCRITICALERRORS);
    char folder[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 0;
    char* name = folder;
    for (char* at = folder; *at != '\0'; ++at) {
        if (IsDBCSLeadByte(static_cast<BYTE>(*at)) && at[1] != '\0') {
            ++at;
        } else if (*at == '\\') {
            name = at;
        }
    }
    *name = '\0';
    platform::win32::Win32ProcessStarter system(true);
    return openPackage(system, folder);
}
