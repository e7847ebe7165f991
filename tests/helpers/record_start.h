// Appends one line about this program's start to the file named by RECORD_LOG: its own path,
// the show state it was started with, its working directory, its raw command line as hex bytes
// (so no byte is lost or re-quoted) and the wall-clock time in milliseconds, tab-separated.
#pragma once
#include <windows.h>

#include <cstdio>

inline unsigned long long unixMilliseconds() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks / 10000ULL - 11644473600000ULL;
}

inline int recordStart() {
    const unsigned long long startedAt = unixMilliseconds();
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
    static char line[1 << 17];
    int used = std::snprintf(line, sizeof line, "%s\t%d\t%s\t", self, show, directory);
    for (const unsigned char* at = reinterpret_cast<const unsigned char*>(GetCommandLineA());
         *at != 0 && used < static_cast<int>(sizeof line) - 40; ++at) {
        used += std::snprintf(line + used, sizeof line - used, "%02x", *at);
    }
    used += std::snprintf(line + used, sizeof line - used, "\t%llu\n", startedAt);
    HANDLE file = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 4;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(used), &written, nullptr);
    CloseHandle(file);
    return 0;
}
