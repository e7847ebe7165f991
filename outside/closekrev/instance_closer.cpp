// CloseKREV.exe: ends the Krev that ran before the one that started it. Every top-level window
// titled "About Vyx" (Krev's hidden main dialog) gets the Exit command, except the windows of
// the starting Krev itself, which may already be creating its own. Krev's exit stops its poller
// and removes its icon. No window, exit code 0.
#include <windows.h>
#include <tlhelp32.h>

#include "krev/res/resource.h"

namespace {

DWORD parentProcessId() {
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == self) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    return parent;
}

BOOL CALLBACK closeEarlierInstance(HWND window, LPARAM starter) {
    char title[64];
    if (GetWindowTextA(window, title, sizeof title) == 0 || lstrcmpiA(title, KREV_ABOUT_CAPTION) != 0) return TRUE;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != static_cast<DWORD>(starter)) PostMessageA(window, WM_COMMAND, ID_EXIT, 0);
    return TRUE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    EnumWindows(closeEarlierInstance, static_cast<LPARAM>(parentProcessId()));
    return 0;
}
