#include "platform/win32/processes_win32.h"

#include <windows.h>
#include <tlhelp32.h>

#include "platform/win32/system_library.h"

namespace platform::win32 {

namespace {

constexpr DWORD kPathCapacity = 32768;
constexpr int kNameCapacity = 1024;

// Paths come in UTF-8: a folder may be named in characters that the ANSI code page lacks.
bool toWide(const char* text, wchar_t* wide, int capacity) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, capacity) > 0;
}

bool toUtf8(const wchar_t* text, char* utf8, int capacity) {
    return WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, capacity, nullptr, nullptr) > 0;
}

bool identityOf(HANDLE file, FileIdentity& identity, DWORD* attributes = nullptr) {
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = GetFileInformationByHandle(file, &information) != FALSE;
    CloseHandle(file);
    if (!known) return false;
    identity = FileIdentity{information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
    if (attributes != nullptr) *attributes = information.dwFileAttributes;
    return true;
}

// `reparsePoint`: the entry itself, never what it leads to.
HANDLE openForIdentity(const wchar_t* path, bool reparsePoint) {
    return CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | (reparsePoint ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
                       nullptr);
}

using QueryImageName = BOOL(WINAPI*)(HANDLE process, DWORD flags, LPWSTR name, PDWORD size);

QueryImageName queryImageName() {
    return functionOf<QueryImageName>(GetModuleHandleW(L"kernel32.dll"), "QueryFullProcessImageNameW");
}

using ImageFileName = DWORD(WINAPI*)(HANDLE process, LPWSTR name, DWORD size);

// A device path ("\Device\HarddiskVolume2\...") as the drive letter that maps it names it.
bool dosPathOf(const wchar_t* device, wchar_t* path, DWORD capacity) {
    wchar_t drive[] = L"A:";
    wchar_t target[MAX_PATH];
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        drive[0] = letter;
        const DWORD length = QueryDosDeviceW(drive, target, MAX_PATH);
        if (length == 0) continue;
        const int targetLength = lstrlenW(target);
        if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, device, targetLength, target, targetLength) != CSTR_EQUAL ||
            device[targetLength] != L'\\') {
            continue;
        }
        if (static_cast<DWORD>(lstrlenW(device + targetLength)) + 3 > capacity) return false;
        lstrcpyW(path, drive);
        lstrcatW(path, device + targetLength);
        return true;
    }
    return false;
}

// The path of the process's program as the kernel keeps it, never what the process's own memory
// says: Windows Vista and later answer in the Win32 form; XP in the device form, which is turned
// into the drive letter's (psapi.dll, which is not a known DLL there).
bool kernelsProgramPath(HANDLE process, wchar_t* path, DWORD capacity) {
    if (const auto query = queryImageName()) {
        DWORD size = capacity;
        return query(process, 0, path, &size) != FALSE;
    }
    const auto imageName = functionOf<ImageFileName>(loadSystemLibrary(L"psapi.dll"), "GetProcessImageFileNameW");
    wchar_t device[MAX_PATH * 2];
    return imageName != nullptr && imageName(process, device, MAX_PATH * 2) != 0 && dosPathOf(device, path, capacity);
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

bool enablePrivilege(const wchar_t* name) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    const bool enabled = LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
                         AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                         GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return enabled;
}

bool programOfProcess(unsigned long id, wchar_t* path, unsigned long capacity) {
    const DWORD ask = queryImageName() != nullptr ? PROCESS_QUERY_LIMITED_INFORMATION
                                                  : PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
    HANDLE process = OpenProcess(ask, FALSE, id);
    if (process == nullptr) return false;
    const bool named = kernelsProgramPath(process, path, capacity);
    CloseHandle(process);
    return named;
}

bool Win32Processes::enableDebugPrivilege() { return enablePrivilege(L"SeDebugPrivilege"); }

FolderLookup Win32Processes::folderIdentity(const char* path, FileIdentity& identity) {
    wchar_t wide[MAX_PATH * 2];
    if (!toWide(path, wide, MAX_PATH * 2)) return FolderLookup::missing;
    // The path's own entry: a junction or link there is seen as one, not followed.
    const DWORD named = GetFileAttributesW(wide);
    if (named == INVALID_FILE_ATTRIBUTES) return FolderLookup::missing;
    if ((named & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return FolderLookup::link;
    DWORD attributes = 0;
    if (!identityOf(openForIdentity(wide, true), identity, &attributes)) return FolderLookup::missing;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return FolderLookup::link;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FolderLookup::folder : FolderLookup::missing;
}

void Win32Processes::shortPath(const char* path, char* shortened, unsigned capacity) {
    shortened[0] = '\0';
    wchar_t wide[MAX_PATH * 2];
    wchar_t shortForm[MAX_PATH * 2];
    if (!toWide(path, wide, MAX_PATH * 2)) return;
    const DWORD length = GetShortPathNameW(wide, shortForm, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2 || !toUtf8(shortForm, shortened, static_cast<int>(capacity))) {
        shortened[0] = '\0';
    }
}

ProcessId Win32Processes::currentProcess() { return GetCurrentProcessId(); }

ProcessId Win32Processes::parentProcess() {
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
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
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    char name[kNameCapacity];
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (toUtf8(entry.szExeFile, name, kNameCapacity)) visit(context, entry.th32ProcessID, name);
    }
    CloseHandle(snapshot);
}

// With the right to end it when that may be had; a process that grants only the questions is
// still asked (ending it then fails, and the closer waits for it in vain, as for any it cannot end).
ProcessHandle Win32Processes::openProcess(ProcessId id) {
    const DWORD ask = queryImageName() != nullptr ? PROCESS_QUERY_LIMITED_INFORMATION
                                                  : PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
    HANDLE process = OpenProcess(ask | PROCESS_TERMINATE, FALSE, id);
    if (process == nullptr) process = OpenProcess(ask, FALSE, id);
    return process;
}

void Win32Processes::closeProcess(ProcessHandle process) {
    if (process != nullptr) CloseHandle(process);
}

bool Win32Processes::programPath(ProcessHandle process, char* path, unsigned capacity) {
    auto* wide = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, kPathCapacity * sizeof(wchar_t)));
    if (wide == nullptr) return false;
    const bool named = kernelsProgramPath(process, wide, kPathCapacity) && toUtf8(wide, path, static_cast<int>(capacity));
    HeapFree(GetProcessHeap(), 0, wide);
    return named;
}

unsigned long long Win32Processes::startTime(ProcessHandle process) {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

int Win32Processes::postCommand(ProcessId id, const char* windowTitle, unsigned command) {
    WindowSearch search{id, windowTitle, command, 0};
    EnumWindows(postToWindow, reinterpret_cast<LPARAM>(&search));
    return search.reached;
}

void Win32Processes::terminate(ProcessHandle process) { TerminateProcess(process, 1); }

void Win32Processes::sleep(unsigned milliseconds) { Sleep(milliseconds); }

unsigned long Win32Processes::tickCount() { return GetTickCount(); }

}  // namespace platform::win32
