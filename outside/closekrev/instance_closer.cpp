// CloseKREV.exe ends running Krevs. No window.
//
// Bare, as Krev starts it: ends the Krev that ran before the one that started it. Every top-level
// window titled "About Vyx" (Krev's hidden main dialog) gets the Exit command, except the windows
// of the starting Krev itself, which may already be creating its own. Krev's exit stops its
// poller and removes its icon. Exit code 0.
//
// "/installed <folder>", as the Windows Installer package runs it before any file of the folder
// changes: ends every program of ours that runs from <folder>, in every session, and waits for
// the processes (installed_closer.h). Exit codes in installed_closer.h.
#include <windows.h>
#include <shellapi.h>

#include "krev/res/resource.h"
#include "outside/closekrev/installed_closer.h"
#include "platform/command_line.h"
#include "platform/win32/processes_win32.h"
#include "platform/win32/system_library.h"

namespace {

constexpr int kPathCapacity = MAX_PATH * 4;

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

// The folder in UTF-8, as the package names it ("<folder>\."); false when it is empty or too long.
bool installedFolder(const wchar_t* named, char (&folder)[kPathCapacity]) {
    const int length = static_cast<int>(command_line::folderLength(named));
    if (length == 0) return false;
    const int written = WideCharToMultiByte(CP_UTF8, 0, named, length, folder, kPathCapacity - 1, nullptr, nullptr);
    if (written <= 0) return false;
    folder[written] = '\0';
    return true;
}

int endInstalledPrograms(platform::win32::Win32Processes& system) {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    char folder[kPathCapacity];
    int code = installed_closer::kBadCommandLine;
    if (arguments != nullptr && count == 3 && lstrcmpiW(arguments[1], L"/installed") == 0 &&
        installedFolder(arguments[2], folder)) {
        code = installed_closer::endProgramsIn(system, folder);
    }
    if (arguments != nullptr) LocalFree(arguments);
    return code;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // Windows Installer runs this from a temporary file, in a folder of its own.
    platform::win32::searchSystemFolderOnly();
    platform::win32::Win32Processes system;
    if (*command_line::tail(GetCommandLineA()) == '\0') {
        EnumWindows(closeEarlierInstance, static_cast<LPARAM>(system.parentProcess()));
        return 0;
    }
    return endInstalledPrograms(system);
}
