// SetupKREV.exe: the package's helper. No window. Windows Installer runs it from its Binary
// table as the system account, after the files are written; the shortcuts, Active Setup and the
// end of an interactive install run the installed copy as the user.
//   /take-over <program folder>  (a first install or an upgrade) takes over the earlier layouts:
//       ends our programs in C:\KREV and in the earlier installer's folder, carries C:\KREV's
//       shared settings where no user can have written them (earlier_layout.h), removes what the
//       earlier installer left (earlier_installer.h), and keeps only DefaultCheck.htm in C:\KREV,
//       written from the page built into this program. Exit code 0, or 7 when something of ours
//       is left (a file that a user holds, say: no open waits for a user's lock).
//   /remove-data <program folder>  (an uninstall that no upgrade does) DefaultCheck.htm in
//       C:\KREV, and the folder when it is empty: 0, or 7.
//   /user  (each user's logon, through Active Setup): prepares the user's working folder from
//       the program folder this program is in, and removes what an earlier per-user install left
//       for the user. Exit code 0, 1 when there is no folder to work in.
//   /start  (the Startup and Start-menu shortcuts): does what /user does (also when the user
//       removed the folder), then starts Krev in it. Exit code 0, 1 when Krev could
//       not be started; when a program of ours is missing from the program folder, the user is
//       told that Vyx must be installed again, and nothing is started (1).
//   /start-as-user  (the end of an interactive install): starts "/start" for the user who owns
//       the desktop (desktop_start.h): 0, or 1 when nothing was started.
//   Exit code 2 for a command line it does not understand.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "installer/setupkrev/desktop_start.h"
#include "installer/setupkrev/earlier_installer.h"
#include "installer/setupkrev/earlier_layout.h"
#include "krev/user_folder.h"
#include "outside/closekrev/installed_closer.h"
#include "platform/command_line.h"
#include "platform/win32/cp950_win32.h"
#include "platform/win32/files_win32.h"
#include "platform/win32/processes_win32.h"
#include "platform/win32/system_library.h"
#include "default_check_page.h"
#include "product_config.h"

namespace {

constexpr int kLeftBehind = 7;

// The folder as the package names it ("<folder>\."), in UTF-8.
std::string folderArgument(const wchar_t* argument) {
    return platform::win32::utf8FromWide(std::wstring(argument, command_line::folderLength(argument)).c_str());
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
        const auto create = platform::win32::functionOf<CreateWithToken>(GetModuleHandleW(L"advapi32.dll"), "CreateProcessWithTokenW");
        if (create == nullptr || shellToken_ == nullptr) return false;
        // userenv.dll is no known DLL: from the system folder only.
        HMODULE userenv = platform::win32::loadSystemLibrary(L"userenv.dll");
        const auto make = platform::win32::functionOf<MakeEnvironment>(userenv, "CreateEnvironmentBlock");
        const auto release = platform::win32::functionOf<FreeEnvironment>(userenv, "DestroyEnvironmentBlock");
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

// Where a shortcut leads (its target as stored, not resolved); empty when it cannot be read.
std::wstring shortcutTarget(const std::wstring& path) {
    std::wstring target;
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link)))) {
        return target;
    }
    IPersistFile* file = nullptr;
    wchar_t found[MAX_PATH * 2] = {};
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        if (SUCCEEDED(file->Load(path.c_str(), STGM_READ)) &&
            SUCCEEDED(link->GetPath(found, MAX_PATH * 2, nullptr, SLGP_RAWPATH))) {
            target = found;
        }
        file->Release();
    }
    link->Release();
    return target;
}

// The earlier per-user install ran from C:\KREV: its shortcuts lead there.
bool leadsIntoTheEarlierFolder(const std::wstring& shortcut) {
    const std::wstring target = shortcutTarget(shortcut);
    const std::size_t name = target.find_last_of(L'\\');
    if (name == std::wstring::npos) return false;
    return lstrcmpiW(target.substr(0, name).c_str(), platform::win32::wideFromUtf8(earlier_layout::kFolder).c_str()) == 0;
}

// An earlier per-user install's entry in "Programs and Features" and its shortcuts in the user's
// own Startup folder and Start menu would list Vyx twice and start a second Krev (from a folder
// that the upgrade emptied) at every logon. This install's shortcuts are the all-users ones.
// The folders are the user's, who may have made either a link to anywhere: each is held first,
// which no link passes, and only a shortcut of our name that leads into C:\KREV goes.
void removeEarlierPerUserInstall(platform::Folders& folders) {
    wchar_t folder[MAX_PATH];
    const auto removeOurs = [&](int which, const char* below, std::initializer_list<const char*> names) {
        if (SHGetFolderPathW(nullptr, which, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK) return;
        const std::string path = platform::win32::utf8FromWide(folder) + below;
        platform::Hold hold;
        const auto held = folders.holdFolder(path, false, hold);
        if (held == nullptr) return;
        for (const char* name : names) {
            if (held->entry(name) == platform::Entry::plainFile &&
                leadsIntoTheEarlierFolder(platform::win32::wideFromUtf8(path + "\\" + name))) {
                held->removeFile(name);
            }
        }
        if (*below != '\0') held->removeIfEmpty();
    };
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    removeOurs(CSIDL_STARTUP, "", {"Vyx.lnk"});
    removeOurs(CSIDL_PROGRAMS, "\\Vyx", {"Vyx.lnk", u8"Vyx 入口網站.lnk", u8"移除 Vyx.lnk"});
    if (SUCCEEDED(com)) CoUninitialize();
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vyx");
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

// The earlier installer's entry in "Programs and Features", in this program's registry view.
class Win32EarlierEntry final : public earlier_installer::Entry {
public:
    bool folder(std::string& folder) override {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
        const bool ours = text(key, L"DisplayName") == platform::win32::wideFromUtf8(KREV_PRODUCT) &&
                          text(key, L"Publisher") == platform::win32::wideFromUtf8(KREV_COMPANY);
        const std::wstring location = text(key, L"InstallLocation");
        RegCloseKey(key);
        if (!ours || location.empty()) return false;
        folder = platform::win32::utf8FromWide(location.c_str());
        return true;
    }

    bool remove() override {
        const LONG removed = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
        return removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND;
    }

private:
    static constexpr wchar_t kKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vyx";

    static std::wstring text(HKEY key, const wchar_t* name) {
        wchar_t value[MAX_PATH * 2] = {};
        DWORD size = sizeof value - sizeof(wchar_t);
        DWORD type = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
            type != REG_SZ) {
            return std::wstring();
        }
        return value;
    }
};

int takeOver(platform::win32::Win32Files& files, const std::string& programFolder) {
    platform::win32::Win32Processes processes;
    Win32EarlierEntry entry;
    // Whatever of ours still runs from the earlier folders holds files that go now.
    installed_closer::endProgramsIn(processes, earlier_layout::kFolder);
    std::string earlier;
    if (entry.folder(earlier)) installed_closer::endProgramsIn(processes, earlier.c_str());
    bool whole = earlier_layout::carrySettings(files, programFolder);
    whole = earlier_installer::takeOver(files, entry, programFolder).empty() && whole;
    const earlier_layout::Tidying tidying =
        earlier_layout::keepOnlyData(files, std::string(kDefaultCheckPage, sizeof kDefaultCheckPage));
    return whole && tidying.left.empty() ? 0 : kLeftBehind;
}

int run(int count, wchar_t** arguments) {
    platform::win32::Win32Files files;
    const auto is = [&](const wchar_t* command, int argumentCount) {
        return lstrcmpiW(arguments[1], command) == 0 && count == argumentCount + 2;
    };
    if (is(L"/take-over", 1)) return takeOver(files, folderArgument(arguments[2]));
    if (is(L"/remove-data", 1)) return earlier_layout::remove(files).empty() ? 0 : kLeftBehind;
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
    // Windows Installer runs this from a temporary file, in a folder of its own.
    platform::win32::searchSystemFolderOnly();
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 2) return 2;
    const int code = run(count, arguments);
    LocalFree(arguments);
    return code;
}
