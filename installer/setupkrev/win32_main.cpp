// SetupKREV.exe: the installer's helper. No window. The installer and the uninstaller run it
// elevated from their temporary folder; the shortcuts and Active Setup run the installed copy
// as each user. Reports are UTF-16, one name to a line, for the installer's messages and log.
//   /check-folder <folder> <entry folder>  whether the programs may go there (install_folder.h):
//       0, or 4.
//   /stage <folder> <report>  before anything is extracted (program_update.h): an interrupted
//       swap made whole, a swap waiting for the restart dropped, <folder>\Update an empty private
//       folder: 0; 2 when a staging folder is refused (reported); 6 when an interrupted swap
//       could not be made whole (what is not, reported).
//   /update <folder> <report>  the extracted new version (in <folder>\Update) replaces the
//       earlier one all together, with the shared settings of an earlier layout carried
//       (program_update.h, earlier_layout.h): 0; 3010 when files are held (reported) and the
//       whole version replaces the earlier at the next restart; 2 when nothing changed (the file
//       that failed, reported); 6 when earlier files could not be put back (exactly those).
//   /remove-staging <folder> <report>  (the uninstaller) our names in the staging folders, and a
//       swap waiting for the restart dropped: 0, or 7 (what is left, reported).
//   /data-folder <program folder> <report>  C:\KREV keeps only DefaultCheck.htm: 0; 1 when it
//       is a link, a junction or a file and was left alone; 7 when files of ours are left there
//       (reported).
//   /remove-data <report>  (the uninstaller) DefaultCheck.htm in C:\KREV, and the folder when it
//       is empty: 0, or 7 (reported).
//   /user  (each user's logon, through Active Setup; the installer for the installing user):
//       prepares the user's working folder from the program folder this program is in, and
//       removes what an earlier per-user install left for the user. Exit code 0, 1 when there is
//       no folder to work in.
//   /remove-user <report>  (the uninstaller) the user's files of ours: 0, or 7 (reported).
//   /start  (the Startup and Start-menu shortcuts): does what /user does (also when the user
//       removed the folder), then starts Krev in it. Exit code 0, 1 when Krev could
//       not be started; when a program of ours is missing from the program folder, the user is
//       told that Vyx must be installed again, and nothing is started (1).
//   /start-as-user  (the installer's finish page): starts "/start" for the user who owns the
//       desktop (desktop_start.h): 0, or 1 when nothing was started.
//   Exit code 2 for a command line it does not understand.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "installer/setupkrev/desktop_start.h"
#include "installer/setupkrev/earlier_layout.h"
#include "installer/setupkrev/install_folder.h"
#include "installer/setupkrev/program_update.h"
#include "krev/user_folder.h"
#include "platform/win32/cp950_win32.h"
#include "platform/win32/files_win32.h"
#include "platform/win32/processes_win32.h"
#include "platform/win32/system_library.h"
#include "product_config.h"

namespace {

constexpr int kLeftBehind = 7;

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

std::string folderArgument(const wchar_t* argument) {
    std::string folder = platform::win32::utf8FromWide(argument);
    while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
    return folder;
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
using MakeEnvironment = BOOL(WINAPI*)(LPVOID* environment, HANDLE token, BOOL inherit);
using FreeEnvironment = BOOL(WINAPI*)(LPVOID environment);

template <typename Call>
Call function(HMODULE module, const char* name) {
    return module == nullptr ? nullptr : reinterpret_cast<Call>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The user's SID of a token, copied.
bool tokenUser(HANDLE token, std::vector<char>& user) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) return false;
    user.assign(size, '\0');
    return GetTokenInformation(token, TokenUser, user.data(), size, &size) != FALSE;
}

// "<program folder>\SetupKREV.exe /start" for the desktop's user.
class Win32Starter final : public desktop_start::Starter {
public:
    explicit Win32Starter(const std::string& programFolder)
        : program_(platform::win32::wideFromUtf8(programFolder + "\\SetupKREV.exe")),
          line_(L"\"" + program_ + L"\" /start") {}
    ~Win32Starter() {
        if (shellToken_ != nullptr) CloseHandle(shellToken_);
    }
    Win32Starter(const Win32Starter&) = delete;
    Win32Starter& operator=(const Win32Starter&) = delete;

    bool takeShellToken() override {
        HWND shell = GetShellWindow();
        if (shell == nullptr) shell = FindWindowW(L"Shell_TrayWnd", nullptr);
        if (shell == nullptr) return false;
        DWORD id = 0;
        GetWindowThreadProcessId(shell, &id);
        // Another user's process grants an administrator nothing without it.
        platform::win32::enablePrivilege(L"SeDebugPrivilege");
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id);
        if (process == nullptr) return false;
        HANDLE token = nullptr;
        if (OpenProcessToken(process, TOKEN_DUPLICATE | TOKEN_QUERY, &token)) {
            DuplicateTokenEx(token, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &shellToken_);
            CloseHandle(token);
        }
        CloseHandle(process);
        return shellToken_ != nullptr;
    }

    bool startWithShellToken() override {
        const auto create = function<CreateWithToken>(GetModuleHandleW(L"advapi32.dll"), "CreateProcessWithTokenW");
        if (create == nullptr || shellToken_ == nullptr) return false;
        // userenv.dll is no known DLL: from the system folder only.
        HMODULE userenv = platform::win32::loadSystemLibrary(L"userenv.dll");
        const auto make = function<MakeEnvironment>(userenv, "CreateEnvironmentBlock");
        const auto release = function<FreeEnvironment>(userenv, "DestroyEnvironmentBlock");
        void* environment = nullptr;
        const bool ownEnvironment = make != nullptr && release != nullptr && make(&environment, shellToken_, FALSE);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        const bool started = create(shellToken_, 0, program_.c_str(), &line_[0],
                                    ownEnvironment ? CREATE_UNICODE_ENVIRONMENT : 0,
                                    ownEnvironment ? environment : nullptr, nullptr, &startup, &process) != FALSE;
        if (ownEnvironment) release(environment);
        return closed(started, process);
    }

    desktop_start::ShellUser shellUser() override {
        std::vector<char> shell;
        std::vector<char> own;
        HANDLE token = nullptr;
        if (shellToken_ == nullptr || !tokenUser(shellToken_, shell) ||
            !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            return desktop_start::ShellUser::unknown;
        }
        const bool known = tokenUser(token, own);
        CloseHandle(token);
        if (!known) return desktop_start::ShellUser::unknown;
        const bool same = EqualSid(reinterpret_cast<TOKEN_USER*>(shell.data())->User.Sid,
                                   reinterpret_cast<TOKEN_USER*>(own.data())->User.Sid) != FALSE;
        return same ? desktop_start::ShellUser::installersOwn : desktop_start::ShellUser::another;
    }

    // TokenElevationType (18) is TokenElevationTypeFull (2) for the elevated half of a split
    // token; Windows XP does not know the question, and has no such half.
    bool elevatedAboveTheShell() override {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
        DWORD type = 0;
        DWORD size = 0;
        const bool asked = GetTokenInformation(token, static_cast<TOKEN_INFORMATION_CLASS>(18), &type, sizeof type, &size);
        const DWORD error = GetLastError();
        CloseHandle(token);
        if (!asked) return error != ERROR_INVALID_PARAMETER;
        return type == 2;
    }

    bool startWithOwnToken() override {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        return closed(CreateProcessW(program_.c_str(), &line_[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                     &process) != FALSE,
                      process);
    }

private:
    static bool closed(bool started, PROCESS_INFORMATION& process) {
        if (!started) return false;
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return true;
    }

    std::wstring program_;
    std::wstring line_;
    HANDLE shellToken_ = nullptr;
};

// An earlier per-user install's entry in "Programs and Features" and its shortcuts in the user's
// own Startup folder and Start menu would list Vyx twice and start a second Krev (from a folder
// that the upgrade emptied) at every logon. This install's shortcuts are the all-users ones.
// The folders are the user's, who may have made either a link to anywhere: each is held first,
// which no link passes, and only our names in it go.
void removeEarlierPerUserInstall(platform::Folders& folders) {
    wchar_t folder[MAX_PATH];
    const auto removeOurs = [&](int which, const char* below, std::initializer_list<const char*> names) {
        if (SHGetFolderPathW(nullptr, which, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK) return;
        platform::Hold hold;
        const auto held = folders.holdFolder(platform::win32::utf8FromWide(folder) + below, false, hold);
        if (held == nullptr) return;
        for (const char* name : names) {
            if (held->entry(name) == platform::Entry::plainFile) held->removeFile(name);
        }
        if (*below != '\0') held->removeIfEmpty();
    };
    removeOurs(CSIDL_STARTUP, "", {"Vyx.lnk"});
    removeOurs(CSIDL_PROGRAMS, "\\Vyx", {"Vyx.lnk", u8"Vyx 入口網站.lnk", u8"移除 Vyx.lnk"});
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vyx");
}

int reported(const program_update::Result& result, const wchar_t* report) {
    writeReport(report, result.names);
    return program_update::exitCode(result.outcome);
}

// A Krev started without its card library or a program it starts would fail later, or find a
// DLL of the name elsewhere: the user is told to install Vyx again instead.
bool programsComplete(platform::Folders& folders, const std::string& programFolder) {
    std::string missing;
    for (const char* name : {KREV_PROGRAM_FILES}) {
        if (!folders.pathState(programFolder + "\\" + name).exists) missing += std::string(missing.empty() ? "" : "、") + name;
    }
    if (missing.empty()) return true;
    const std::string text = "Vyx 的程式檔案不完整（缺少 " + missing + "），無法啟動。請重新安裝 Vyx。";
    MessageBoxW(nullptr, platform::win32::wideFromCp950(text.c_str()).c_str(), L"Vyx", MB_OK | MB_ICONSTOP);
    return false;
}

int update(platform::win32::Win32Files& files, const std::string& folder, const wchar_t* report) {
    const std::string staging = folder + "\\" + program_update::kStaging;
    if (!earlier_layout::carrySettings(files, files, folder, staging)) {
        writeReport(report, {user_folder::kStartingSettings});
        return program_update::exitCode(program_update::Outcome::rolledBack);
    }
    return reported(program_update::apply(files, folder), report);
}

int dataFolder(platform::win32::Win32Files& files, const std::string& programFolder, const wchar_t* report) {
    const earlier_layout::Tidying tidying = earlier_layout::keepOnlyData(files, programFolder);
    writeReport(report, tidying.left);
    if (tidying.link) return 1;
    return tidying.left.empty() ? 0 : kLeftBehind;
}

int leftBehind(const std::vector<std::string>& left, const wchar_t* report) {
    writeReport(report, left);
    return left.empty() ? 0 : kLeftBehind;
}

int run(int count, wchar_t** arguments) {
    platform::win32::Win32Files files;
    const auto is = [&](const wchar_t* command, int argumentCount) {
        return lstrcmpiW(arguments[1], command) == 0 && count == argumentCount + 2;
    };
    if (is(L"/check-folder", 2)) {
        return install_folder::acceptable(files, folderArgument(arguments[2]), folderArgument(arguments[3])) ? 0 : 4;
    }
    if (is(L"/stage", 2)) return reported(program_update::prepare(files, folderArgument(arguments[2])), arguments[3]);
    if (is(L"/update", 2)) return update(files, folderArgument(arguments[2]), arguments[3]);
    if (is(L"/remove-staging", 2)) {
        return leftBehind(program_update::removeStaging(files, folderArgument(arguments[2])), arguments[3]);
    }
    if (is(L"/data-folder", 2)) return dataFolder(files, folderArgument(arguments[2]), arguments[3]);
    if (is(L"/remove-data", 1)) return leftBehind(earlier_layout::remove(files), arguments[2]);
    if (is(L"/remove-user", 1)) return leftBehind(user_folder::remove(files), arguments[2]);
    if (is(L"/user", 0)) {
        removeEarlierPerUserInstall(files);
        return user_folder::prepare(files, files.programFolder()) ? 0 : 1;
    }
    if (is(L"/start", 0)) {
        removeEarlierPerUserInstall(files);
        const std::string program = files.programFolder();
        if (!programsComplete(files, program)) return 1;
        return startKrev(program, user_folder::folderToWorkIn(files, program)) ? 0 : 1;
    }
    if (is(L"/start-as-user", 0)) {
        Win32Starter starter(files.programFolder());
        return desktop_start::start(starter) ? 0 : 1;
    }
    return 2;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // The installer runs this from its temporary folder.
    platform::win32::searchSystemFolderOnly();
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 2) return 2;
    const int code = run(count, arguments);
    LocalFree(arguments);
    return code;
}
