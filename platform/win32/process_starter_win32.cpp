#include "platform/win32/process_starter_win32.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <shobjidl.h>

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

// A lookup on an empty drive (a card-reader slot, a DVD drive) fails quietly instead of raising
// the system's "no disk" box. Only this thread's mode changes where Windows has one per thread;
// elsewhere the flag is added to the process's mode, never put in its place.
template <typename Lookup>
void withoutNoDiskBoxes(Lookup lookup) {
    const ThreadErrorMode thread = threadErrorMode();
    if (thread.get != nullptr && thread.set != nullptr) {
        DWORD previous = 0;
        const bool set = thread.set(thread.get() | SEM_FAILCRITICALERRORS, &previous) != FALSE;
        lookup();
        if (set) thread.set(previous, nullptr);
        return;
    }
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
    SetErrorMode(previous | SEM_FAILCRITICALERRORS);
    lookup();
    SetErrorMode(previous);
}

// Their GUIDs of shobjidl.h, here: libuuid would bring every GUID it knows into the launchers.
constexpr GUID kAssociationRegistrationClass = {0x591209c7, 0x767b, 0x42b2, {0x9f, 0xba, 0x44, 0xee, 0x46, 0x15, 0xf2, 0xc7}};
constexpr GUID kAssociationRegistrationInterface = {0x4e530b0a, 0xe611, 0x4c77, {0xa3, 0xac, 0x90, 0x31, 0xd0, 0x22, 0x28, 0x1b}};

// The ProgID of the user's choice for a protocol, as the shell of Windows Vista and 7 keeps it
// (IApplicationAssociationRegistration::QueryCurrentDefault); false where there is none, or no
// such interface (Windows XP).
bool userChoice(const wchar_t* protocol, wchar_t (&progId)[kMaxPath]) {
    const HRESULT initialized = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IApplicationAssociationRegistration* registration = nullptr;
    bool found = false;
    if (SUCCEEDED(CoCreateInstance(kAssociationRegistrationClass, nullptr, CLSCTX_INPROC_SERVER,
                                   kAssociationRegistrationInterface, reinterpret_cast<void**>(&registration)))) {
        LPWSTR answer = nullptr;
        if (SUCCEEDED(registration->QueryCurrentDefault(protocol, AT_URLPROTOCOL, AL_EFFECTIVE, &answer)) &&
            answer != nullptr) {
            found = lstrlenW(answer) < kMaxPath;
            if (found) lstrcpyW(progId, answer);
            CoTaskMemFree(answer);
        }
        registration->Release();
    }
    if (SUCCEEDED(initialized)) CoUninitialize();
    return found;
}

StartOutcome outcomeOf(bool started, const PROCESS_INFORMATION& process) {
    if (!started) return GetLastError() == kElevationRequired ? StartOutcome::needsElevation : StartOutcome::failed;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return StartOutcome::started;
}

bool executableOf(ASSOCF flags, const wchar_t* association, wchar_t (&result)[kMaxPath]) {
    DWORD size = kMaxPath;
    if (AssocQueryStringW(flags, ASSOCSTR_EXECUTABLE, association, L"open", result, &size) == S_OK) return true;
    result[0] = L'\0';
    return false;
}

}  // namespace

void findExecutable(const char* file, char (&result)[kMaxPath]) {
    // Cleared first, so a failed lookup always leaves it empty.
    result[0] = '\0';
    withoutNoDiskBoxes([&] { FindExecutableA(file, nullptr, result); });
}

void findExecutable(const wchar_t* file, wchar_t (&result)[kMaxPath]) {
    result[0] = L'\0';
    withoutNoDiskBoxes([&] {
        if (reinterpret_cast<INT_PTR>(FindExecutableW(file, nullptr, result)) <= 32) result[0] = L'\0';
    });
}

// What the shell opens for the protocol for this user: Windows 8 and later answer for the
// protocol itself when asked with the flag that says so; Windows Vista and 7 keep the user's
// choice as a ProgID, which the same question without the flag would pass by for the machine's
// handler; Windows XP has only the protocol's own key.
void findProtocolHandler(const wchar_t* protocol, wchar_t (&result)[kMaxPath]) {
    constexpr ASSOCF kIsProtocol = static_cast<ASSOCF>(0x1000);
    result[0] = L'\0';
    if (windowsIsAtLeast(6, 2)) {
        executableOf(kIsProtocol, protocol, result);
        return;
    }
    wchar_t progId[kMaxPath];
    if (userChoice(protocol, progId) && executableOf(ASSOCF_NONE, progId, result)) return;
    executableOf(ASSOCF_NONE, protocol, result);
}

// WinExec answers more than 31 when the program started.
StartOutcome startProgram(const char* commandLine, int showState) {
    return WinExec(commandLine, static_cast<UINT>(showState)) > 31 ? StartOutcome::started : StartOutcome::failed;
}

// WinExec passes this process's error mode on; CreateProcess can start with the default one. The
// line in the ANSI code page, as CreateProcessA would read it.
StartOutcome startProgramWithDefaultErrorMode(const char* commandLine, int showState) {
    const int length = MultiByteToWideChar(CP_ACP, 0, commandLine, -1, nullptr, 0);
    if (length <= 0) return StartOutcome::failed;
    auto* line = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(length) * sizeof(wchar_t)));
    if (line == nullptr) return StartOutcome::failed;
    MultiByteToWideChar(CP_ACP, 0, commandLine, -1, line, length);
    const StartOutcome outcome = startProgram(line, showState, true);
    HeapFree(GetProcessHeap(), 0, line);
    return outcome;
}

// As WinExec starts a program (its show state, this process's error mode), but from UTF-16.
StartOutcome startProgram(const wchar_t* commandLine, int showState, bool defaultErrorMode) {
    const int length = lstrlenW(commandLine);
    auto* line = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, (static_cast<SIZE_T>(length) + 1) * sizeof(wchar_t)));
    if (line == nullptr) return StartOutcome::failed;
    lstrcpyW(line, commandLine);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = static_cast<WORD>(showState);
    PROCESS_INFORMATION process{};
    const bool started = CreateProcessW(nullptr, line, nullptr, nullptr, FALSE,
                                        defaultErrorMode ? CREATE_DEFAULT_ERROR_MODE : 0, nullptr, nullptr, &startup,
                                        &process) != FALSE;
    HeapFree(GetProcessHeap(), 0, line);
    return outcomeOf(started, process);
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

// A web address, as the shell opens one: the user's browser, a packaged one too. COM is up for
// the handlers that the shell reaches through it; the call returns once the shell is done, since
// the launcher ends right after.
void openAddress(const wchar_t* address, int showState) {
    const HRESULT initialized = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    execute.lpVerb = L"open";
    execute.lpFile = address;
    execute.nShow = showState;
    ShellExecuteExW(&execute);
    if (SUCCEEDED(initialized)) CoUninitialize();
}

}  // namespace platform::win32
