// PSAPI version 1: GetModuleFileNameExW from psapi.dll, which Windows XP has (version 2 names
// kernel32's K32 functions of Windows 7).
#define PSAPI_VERSION 1
#include "platform/win32/processes_win32.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

namespace platform::win32 {

namespace {

constexpr DWORD kPathCapacity = 32768;

bool identityOf(HANDLE file, FileIdentity& identity) {
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = GetFileInformationByHandle(file, &information) != FALSE;
    CloseHandle(file);
    if (known) identity = FileIdentity{information.dwVolumeSerialNumber, information.nFileIndexHigh,
                                       information.nFileIndexLow};
    return known;
}

HANDLE openForIdentity(const wchar_t* path) {
    return CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

using QueryImageName = BOOL(WINAPI*)(HANDLE process, DWORD flags, LPWSTR name, PDWORD size);

// Windows Vista and later name any process's program with the least right; XP needs more.
bool programPath(ProcessId id, wchar_t* path, DWORD capacity) {
    const auto query = reinterpret_cast<QueryImageName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "QueryFullProcessImageNameW")));
    if (query != nullptr) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
        if (process == nullptr) return false;
        DWORD size = capacity;
        const bool named = query(process, 0, path, &size) != FALSE;
        CloseHandle(process);
        return named;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
    if (process == nullptr) return false;
    const bool named = GetModuleFileNameExW(process, nullptr, path, capacity) != 0;
    CloseHandle(process);
    return named;
}

struct WindowSearch {
    ProcessId id;
    const char* title;
    unsigned command;
    int reached;
};

BOOL CALLBACK postToWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char title[64];
    if (owner == search->id && GetWindowTextA(window, title, sizeof title) != 0 && lstrcmpiA(title, search->title) == 0 &&
        PostMessageA(window, WM_COMMAND, search->command, 0)) {
        ++search->reached;
    }
    return TRUE;
}

}  // namespace

bool Win32Processes::enableDebugPrivilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    const bool enabled = LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &privileges.Privileges[0].Luid) &&
                         AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                         GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return enabled;
}

bool Win32Processes::fileIdentity(const char* path, FileIdentity& identity) {
    return identityOf(CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                      identity);
}

void Win32Processes::shortName(const char* path, char* name, unsigned capacity) {
    name[0] = '\0';
    char shortPath[MAX_PATH];
    const DWORD length = GetShortPathNameA(path, shortPath, sizeof shortPath);
    if (length == 0 || length >= sizeof shortPath) return;
    const char* last = shortPath;
    for (const char* at = shortPath; *at != '\0'; ++at) {
        if (*at == '\\') last = at + 1;
    }
    lstrcpynA(name, last, static_cast<int>(capacity));
}

ProcessId Win32Processes::currentProcess() { return GetCurrentProcessId(); }

ProcessId Win32Processes::parentProcess() {
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

void Win32Processes::forEachProcess(ProcessVisitor visit, void* context) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        visit(context, entry.th32ProcessID, entry.szExeFile);
    }
    CloseHandle(snapshot);
}

bool Win32Processes::programFolder(ProcessId id, FileIdentity& folder) {
    auto* path = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, kPathCapacity * sizeof(wchar_t)));
    if (path == nullptr) return false;
    bool known = programPath(id, path, kPathCapacity);
    if (known) {
        wchar_t* name = nullptr;
        for (wchar_t* at = path; *at != L'\0'; ++at) {
            if (*at == L'\\') name = at;
        }
        if (name != nullptr) *name = L'\0';
        known = name != nullptr && identityOf(openForIdentity(path), folder);
    }
    HeapFree(GetProcessHeap(), 0, path);
    return known;
}

int Win32Processes::postCommand(ProcessId id, const char* windowTitle, unsigned command) {
    WindowSearch search{id, windowTitle, command, 0};
    EnumWindows(postToWindow, reinterpret_cast<LPARAM>(&search));
    return search.reached;
}

void Win32Processes::terminate(ProcessId id) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id);
    if (process == nullptr) return;
    TerminateProcess(process, 1);
    CloseHandle(process);
}

void Win32Processes::sleep(unsigned milliseconds) { Sleep(milliseconds); }

unsigned long Win32Processes::tickCount() { return GetTickCount(); }

}  // namespace platform::win32
