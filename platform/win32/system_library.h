// System DLLs for the programs that an elevated installer runs from its temporary folder, where
// anyone who can write there could put a DLL of the same name beside them: such a program
// imports only DLLs that Windows always takes from its system folder (the known DLLs), and
// loads every other one by its full path there. C-style: CloseKREV uses it.
#pragma once
#include <windows.h>

namespace platform::win32 {

// From here on, the system folder is the only place where this process looks for a DLL by
// name (Windows 8, and Windows 7 and Vista with update KB2533623); before that, the working
// folder at least is left out.
void searchSystemFolderOnly();

// The DLL of that name in the system folder, or null.
HMODULE loadSystemLibrary(const wchar_t* name);

// This Windows is that version or later (Windows' own version, which GetVersionEx no longer tells
// a program that does not declare it in its manifest).
bool windowsIsAtLeast(DWORD major, DWORD minor);

// The named function of a DLL, or null where this Windows (or the DLL) lacks it: the calls that
// later versions of Windows added are looked up, so that the programs still start on XP.
template <typename Call>
Call functionOf(HMODULE module, const char* name) {
    return module == nullptr ? nullptr : reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace platform::win32
