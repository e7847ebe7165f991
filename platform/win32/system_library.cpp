#include "platform/win32/system_library.h"

namespace platform::win32 {

namespace {

using SetDefaultDirectories = BOOL(WINAPI*)(DWORD flags);
using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW* version);

}  // namespace

void searchSystemFolderOnly() {
    const auto setDefault =
        functionOf<SetDefaultDirectories>(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    SetDllDirectoryW(L"");
}

bool windowsIsAtLeast(DWORD major, DWORD minor) {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    const auto getVersion = functionOf<GetVersion>(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");
    if (getVersion == nullptr || getVersion(&version) != 0) return false;
    return version.dwMajorVersion > major || (version.dwMajorVersion == major && version.dwMinorVersion >= minor);
}

HMODULE loadSystemLibrary(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 1 + lstrlenW(name) >= MAX_PATH) return nullptr;
    path[length] = L'\\';
    lstrcpyW(path + length + 1, name);
    // What that DLL imports comes from the system folder too.
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace platform::win32
