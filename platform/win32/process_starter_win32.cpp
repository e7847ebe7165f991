#include "platform/win32/process_starter_win32.h"

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include "platform/win32/system_library.h"

namespace platform::win32 {

namespace {

// Windows Vista's answer for a program whose manifest asks for an administrator; the headers for
// Windows XP lack its name.
constexpr DWORD kElevationRequired = 740;

// Windows 7 and later keep an error mode per thread; XP and Vista only the process's.
struct ThreadErrorMode {
    DWORD(WINAPI* get)();
    BOOL(WINAPI* set)(DWORD mode, LPDWORD previous);
};

template <typename Call>
Call kernelCall(const char* name) {
    return functionOf<Call>(GetModuleHandleA("kernel32.dll"), name);
}

// Asked at each lookup: a local static would bring the C++ runtime's guards into the launchers.
ThreadErrorMode threadErrorMode() {
    return ThreadErrorMode{kernelCall<decltype(ThreadErrorMode::get)>("GetThreadErrorMode"),
                           kernelCall<decltype(ThreadErrorMode::set)>("SetThreadErrorMode")};
}

}  // namespace

void findExecutable(const char* file, char (&result)[kMaxPath]) {
    // Cleared first, so a failed lookup always leaves it empty.
    result[0] = '\0';
    // A lookup on an empty drive (a card-reader slot, a DVD drive) fails quietly instead of
    // raising the system's "no disk" box. Only this thread's mode changes where Windows has one
    // per thread; elsewhere the flag is added to the process's mode, never put in its place.
    const ThreadErrorMode thread = threadErrorMode();
    if (thread.get != nullptr && thread.set != nullptr) {
        DWORD previous = 0;
        const bool set = thread.set(thread.get() | SEM_FAILCRITICALERRORS, &previous) != FALSE;
        FindExecutableA(file, nullptr, result);
        if (set) thread.set(previous, nullptr);
        return;
    }
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
    SetErrorMode(previous | SEM_FAILCRITICALERRORS);
    FindExecutableA(file, nullptr, result);
    SetErrorMode(previous);
}

// Windows 8 and later know the flag that says the name is a protocol; before them the same name
// without it finds the protocol's own key, HKEY_CLASSES_ROOT\https. Either way the user's
// choice of default browser counts.
void findProtocolHandler(const char* protocol, char (&result)[kMaxPath]) {
    constexpr ASSOCF kIsProtocol = static_cast<ASSOCF>(0x1000);
    result[0] = '\0';
    DWORD size = kMaxPath;
    if (AssocQueryStringA(kIsProtocol, ASSOCSTR_EXECUTABLE, protocol, "open", result, &size) == S_OK) return;
    size = kMaxPath;
    if (AssocQueryStringA(ASSOCF_NONE, ASSOCSTR_EXECUTABLE, protocol, "open", result, &size) != S_OK) result[0] = '\0';
}

// WinExec answers more than 31 when the program started.
StartOutcome startProgram(const char* commandLine, int showState) {
    return WinExec(commandLine, static_cast<UINT>(showState)) > 31 ? StartOutcome::started : StartOutcome::failed;
}

// WinExec passes this process's error mode on; CreateProcess can start with the default one.
StartOutcome startProgramWithDefaultErrorMode(const char* commandLine, int showState) {
    const int length = lstrlenA(commandLine);
    char* line = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(length) + 1));
    if (line == nullptr) return StartOutcome::failed;
    lstrcpyA(line, commandLine);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(showState);
    PROCESS_INFORMATION process{};
    StartOutcome outcome = StartOutcome::started;
    if (CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr, &startup,
                       &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        outcome = GetLastError() == kElevationRequired ? StartOutcome::needsElevation : StartOutcome::failed;
    }
    HeapFree(GetProcessHeap(), 0, line);
    return outcome;
}

// The shell's open verb: for a program whose manifest asks for an administrator, Windows shows
// its consent prompt and starts it elevated. No message box of the shell's when it fails.
void openWithShell(const char* file, int showState) {
    SHELLEXECUTEINFOA execute{};
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    execute.lpVerb = "open";
    execute.lpFile = file;
    execute.nShow = showState;
    ShellExecuteExA(&execute);
}

}  // namespace platform::win32
