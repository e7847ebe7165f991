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
#include <windows.h>
#include <shellapi.h>

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
