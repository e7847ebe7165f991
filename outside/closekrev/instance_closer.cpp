// CloseKREV.exe ends running Krevs. No window.
//
// Bare, as Krev starts it: ends the Krev that ran before the one that started it. Every top-level
// window titled "About Vyx" (Krev's hidden main dialog) gets the Exit command, except the windows
// of the starting Krev itself, which may already be creating its own. Krev's exit stops its
// poller and removes its icon. Exit code 0.
//
// "/installed <folder>", as the installer and the uninstaller start it before they touch the
// folder's files: ends every program of ours that runs from <folder>, in every session, and
// waits for the processes (installed_closer.h). Exit code 0 when none runs any more, 1 when one
// still does, 2 for a command line it does not understand.
#include <windows.h>

#include "krev/res/resource.h"
#include "outside/closekrev/installed_closer.h"
#include "platform/command_line.h"
#include "platform/win32/processes_win32.h"

namespace {

constexpr char kInstalledOption[] = "/installed ";

bool isAboutWindow(HWND window) {
    char title[64];
    return GetWindowTextA(window, title, sizeof title) != 0 && lstrcmpiA(title, KREV_ABOUT_CAPTION) == 0;
}

BOOL CALLBACK closeEarlierInstance(HWND window, LPARAM starter) {
    if (!isAboutWindow(window)) return TRUE;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != static_cast<DWORD>(starter)) PostMessageA(window, WM_COMMAND, ID_EXIT, 0);
    return TRUE;
}

// The folder from "/installed <folder>", quotes and trailing backslashes taken off; false when
// the command line is not of that form or the folder is empty or too long.
bool installedFolder(const char* arguments, char (&folder)[MAX_PATH]) {
    const int optionLength = lstrlenA(kInstalledOption);
    if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, arguments, optionLength, kInstalledOption, optionLength) !=
        CSTR_EQUAL) {
        return false;
    }
    const char* named = arguments + optionLength;
    while (*named == ' ') ++named;
    if (*named == '"') ++named;
    int length = 0;
    while (named[length] != '\0' && named[length] != '"') ++length;
    while (length > 0 && (named[length - 1] == ' ' || named[length - 1] == '\\')) --length;
    if (length == 0 || length >= MAX_PATH) return false;
    lstrcpynA(folder, named, length + 1);
    return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    platform::win32::Win32Processes system;
    const char* arguments = command_line::tail(GetCommandLineA());
    if (*arguments == '\0') {
        EnumWindows(closeEarlierInstance, static_cast<LPARAM>(system.parentProcess()));
        return 0;
    }
    char folder[MAX_PATH];
    if (!installedFolder(arguments, folder)) return 2;
    return installed_closer::endProgramsIn(system, folder);
}
