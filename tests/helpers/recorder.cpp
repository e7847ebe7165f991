// Stands in for a program that the product starts (the browser, CloseKREV.exe, ...): appends
// one line to the file named by RECORD_LOG and ends. The line holds, separated by tabs, the
// program's own path, the show state it was started with, its working directory and its raw
// command line as hex bytes (so that no byte is lost or re-quoted).
#include <windows.h>

#include <cstdio>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char log[MAX_PATH];
    if (GetEnvironmentVariableA("RECORD_LOG", log, sizeof log) == 0) return 3;
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    char directory[MAX_PATH];
    GetCurrentDirectoryA(sizeof directory, directory);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : -1;
    HANDLE file = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 4;
    static char line[1 << 17];
    int used = std::snprintf(line, sizeof line, "%s\t%d\t%s\t", self, show, directory);
    for (const unsigned char* at = reinterpret_cast<const unsigned char*>(GetCommandLineA());
         *at != 0 && used < static_cast<int>(sizeof line) - 4; ++at) {
        used += std::snprintf(line + used, sizeof line - used, "%02x", *at);
    }
    line[used++] = '\n';
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(used), &written, nullptr);
    CloseHandle(file);
    return 0;
}
