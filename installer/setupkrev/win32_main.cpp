// SetupKREV.exe: the installer's helper. No window.
//   /machine <folder> [<report>]  (the installer, as an administrator, before it extracts the
//       files into <folder> and again after): secures the program folder. Exit code 0 when it
//       is ready; 4, 5 or 6 when it is refused or could not be changed (program_folder.h); the
//       names refused or not changed go one to a line into <report> (UTF-16), for the
//       installer's message. 2 for a command line it does not understand.
//   /user  (each user's logon, through Active Setup; the installer for the installing user):
//       prepares the user's working folder from the program folder this program is in. Exit
//       code 0, 1 when there is no folder to work in.
//   /start  (the Startup and Start-menu shortcuts): prepares the user's folder as /user does
//       (also when the user removed it), then starts Krev in it. Exit code 0, 1 when Krev could
//       not be started.
//   /start-as-user  (the installer's finish page, which runs elevated): starts "/start" as the
//       user who is logged on, with the shell's own token, so that Krev runs with that user's
//       ordinary rights and environment. Without a shell to take it from, nothing starts (Krev
//       starts at the next logon): exit code 1.
#include <windows.h>
#include <shellapi.h>
#include <userenv.h>

#include <string>

#include "installer/setupkrev/program_folder.h"
#include "krev/user_folder.h"
#include "platform/win32/files_win32.h"

namespace {

void writeReport(const wchar_t* path, const std::vector<std::string>& names) {
    HANDLE report = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (report == INVALID_HANDLE_VALUE) return;
    for (const std::string& name : names) {
        const std::wstring line = platform::win32::wideFromUtf8(name) + L"\r\n";
        DWORD written = 0;
        WriteFile(report, line.c_str(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    }
    CloseHandle(report);
}

bool startKrev(const std::string& programFolder, const std::string& workingFolder) {
    const std::wstring program = platform::win32::wideFromUtf8(programFolder + "\\Krev.exe");
    std::wstring line = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                        platform::win32::wideFromUtf8(workingFolder).c_str(), &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

using CreateWithToken = BOOL(WINAPI*)(HANDLE token, DWORD logonFlags, LPCWSTR program, LPWSTR commandLine,
                                      DWORD creationFlags, LPVOID environment, LPCWSTR folder,
                                      LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process);

// The logged-on user's own token: the shell's (Explorer's), found through its desktop window or
// its taskbar.
HANDLE shellUserToken() {
    HWND shell = GetShellWindow();
    if (shell == nullptr) shell = FindWindowW(L"Shell_TrayWnd", nullptr);
    if (shell == nullptr) return nullptr;
    DWORD id = 0;
    GetWindowThreadProcessId(shell, &id);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id);
    if (process == nullptr) return nullptr;
    HANDLE token = nullptr;
    HANDLE primary = nullptr;
    if (OpenProcessToken(process, TOKEN_DUPLICATE | TOKEN_QUERY, &token)) {
        DuplicateTokenEx(token, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &primary);
        CloseHandle(token);
    }
    CloseHandle(process);
    return primary;
}

bool startAsShellUser(const std::string& programFolder) {
    const std::wstring program = platform::win32::wideFromUtf8(programFolder + "\\SetupKREV.exe");
    std::wstring line = L"\"" + program + L"\" /start";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const auto create = reinterpret_cast<CreateWithToken>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "CreateProcessWithTokenW")));
    bool started = false;
    if (create == nullptr) {
        // Windows XP has neither the call nor an elevated installer: this is the user's own token.
        started = CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &process) != FALSE;
    } else if (HANDLE token = shellUserToken()) {
        void* environment = nullptr;
        const bool ownEnvironment = CreateEnvironmentBlock(&environment, token, FALSE) != FALSE;
        started = create(token, 0, program.c_str(), &line[0], ownEnvironment ? CREATE_UNICODE_ENVIRONMENT : 0,
                         ownEnvironment ? environment : nullptr, nullptr, &startup, &process) != FALSE;
        if (ownEnvironment) DestroyEnvironmentBlock(environment);
        CloseHandle(token);
    }
    if (!started) return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 2) return 2;
    platform::win32::Win32Files files;
    int code = 2;
    if (lstrcmpiW(arguments[1], L"/user") == 0 && count == 2) {
        code = user_folder::prepare(files, files.programFolder()) ? 0 : 1;
    } else if (lstrcmpiW(arguments[1], L"/start") == 0 && count == 2) {
        const std::string program = files.programFolder();
        code = startKrev(program, user_folder::folderToWorkIn(files, program)) ? 0 : 1;
    } else if (lstrcmpiW(arguments[1], L"/start-as-user") == 0 && count == 2) {
        code = startAsShellUser(files.programFolder()) ? 0 : 1;
    } else if (lstrcmpiW(arguments[1], L"/machine") == 0 && (count == 3 || count == 4)) {
        std::string folder = platform::win32::utf8FromWide(arguments[2]);
        while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
        const program_folder::Result result = program_folder::secure(files, files, files, folder);
        if (count == 4) writeReport(arguments[3], result.names);
        code = program_folder::exitCode(result.outcome);
    }
    LocalFree(arguments);
    return code;
}
