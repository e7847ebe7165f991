// CloseKREV.exe ends running Krevs. No window.
//
// Bare, as Krev starts it: ends the Krev that ran before the one that started it. Every top-level
// window titled "About Vyx" (Krev's hidden main dialog) gets the Exit command, except the windows
// of the starting Krev itself, which may already be creating its own. Krev's exit stops its
// poller and removes its icon. Exit code 0.
//
// "/installed <folder>", as the installer and the uninstaller start it before they touch the
// folder's files: ends every Krev whose program is <folder>\Krev.exe, in any session. Those whose
// window it can reach get Exit; one it cannot reach (another user's session, where no window of
// this desktop is seen) is ended where it stands, as only an administrator may. It then waits for
// the processes themselves, not their windows, up to ten seconds. Exit code 0 when none of them
// runs any more, 1 when one still does (a Krev defers Exit while its version message box is
// open), 2 for a command line it does not understand.
// PSAPI version 1: GetModuleFileNameExA from psapi.dll, which Windows XP has (version 2 names
// kernel32's K32 functions of Windows 7).
#define PSAPI_VERSION 1
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "krev/res/resource.h"
#include "platform/command_line.h"

namespace {

constexpr DWORD kWaitMs = 10000;
constexpr int kMostInstances = 64;
constexpr char kInstalledOption[] = "/installed ";

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

struct Instance {
    DWORD id;
    HANDLE process;
    bool reached;  // a window of it got Exit
};

struct Instances {
    Instance list[kMostInstances];
    int count;
};

BOOL CALLBACK sendExitToInstance(HWND window, LPARAM parameter) {
    if (!isAboutWindow(window)) return TRUE;
    auto* instances = reinterpret_cast<Instances*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    for (int at = 0; at < instances->count; ++at) {
        if (instances->list[at].id != owner) continue;
        PostMessageA(window, WM_COMMAND, ID_EXIT, 0);
        instances->list[at].reached = true;
    }
    return TRUE;
}

// The folder from "/installed <folder>", quotes and a trailing backslash taken off, with
// "\Krev.exe" after it; false when the command line is not of that form or too long.
bool installedProgram(const char* arguments, char (&program)[MAX_PATH]) {
    const int optionLength = lstrlenA(kInstalledOption);
    if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, arguments, optionLength, kInstalledOption, optionLength) !=
        CSTR_EQUAL) {
        return false;
    }
    const char* folder = arguments + optionLength;
    while (*folder == ' ') ++folder;
    if (*folder == '"') ++folder;
    int length = 0;
    while (folder[length] != '\0' && folder[length] != '"') ++length;
    while (length > 0 && (folder[length - 1] == ' ' || folder[length - 1] == '\\')) --length;
    constexpr char kProgram[] = "\\Krev.exe";
    if (length == 0 || length + lstrlenA(kProgram) >= MAX_PATH) return false;
    lstrcpynA(program, folder, length + 1);
    lstrcatA(program, kProgram);
    return true;
}

// Every running process whose program is `program`, opened so that it can be waited for and
// ended. Its path is asked of the process itself: another folder's Krev.exe is left alone.
void findInstances(const char* program, Instances& instances) {
    instances.count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more && instances.count < kMostInstances;
         more = Process32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExeFile, "Krev.exe") != 0) continue;
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
                                     FALSE, entry.th32ProcessID);
        if (process == nullptr) continue;
        char path[MAX_PATH] = {};
        if (GetModuleFileNameExA(process, nullptr, path, MAX_PATH) == 0 || lstrcmpiA(path, program) != 0) {
            CloseHandle(process);
            continue;
        }
        instances.list[instances.count++] = Instance{entry.th32ProcessID, process, false};
    }
    CloseHandle(snapshot);
}

int endInstalledInstances(const char* program) {
    Instances instances;
    findInstances(program, instances);
    EnumWindows(sendExitToInstance, reinterpret_cast<LPARAM>(&instances));
    const DWORD started = GetTickCount();
    int stillRunning = 0;
    for (int at = 0; at < instances.count; ++at) {
        Instance& instance = instances.list[at];
        if (!instance.reached) TerminateProcess(instance.process, 1);
        const DWORD waited = GetTickCount() - started;
        const DWORD left = waited < kWaitMs ? kWaitMs - waited : 0;
        if (WaitForSingleObject(instance.process, left) != WAIT_OBJECT_0) ++stillRunning;
        CloseHandle(instance.process);
    }
    return stillRunning == 0 ? 0 : 1;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const char* arguments = command_line::tail(GetCommandLineA());
    if (*arguments == '\0') {
        EnumWindows(closeEarlierInstance, static_cast<LPARAM>(parentProcessId()));
        return 0;
    }
    char program[MAX_PATH];
    if (!installedProgram(arguments, program)) return 2;
    return endInstalledInstances(program);
}
