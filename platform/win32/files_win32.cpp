#include "platform/win32/files_win32.h"

#include <windows.h>

#include <cwchar>

#include "platform/profile_text.h"
#include "platform/win32/cp950_win32.h"

namespace platform::win32 {

std::wstring wideFromUtf8(const std::string& utf8) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (length <= 1) return std::wstring();
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &text[0], length);
    text.resize(static_cast<std::size_t>(length - 1));
    return text;
}

std::string utf8FromWide(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return std::string();
    std::string result(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], length, nullptr, nullptr);
    result.resize(static_cast<std::size_t>(length - 1));
    return result;
}

bool readOpenFile(void* file, std::size_t limit, std::string& bytes) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart < 0 || static_cast<unsigned long long>(size.QuadPart) > limit) {
        return false;
    }
    bytes.assign(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    return bytes.empty() ||
           (ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) && got == bytes.size());
}

namespace {

// The whole file; empty when it is missing.
bool readWhole(const std::wstring& path, std::string& bytes) {
    bytes.clear();
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    constexpr std::size_t kLargest = 1 << 20;  // a settings file is a few lines
    const bool read = readOpenFile(file, kLargest, bytes);
    CloseHandle(file);
    return read;
}

// The bytes written beside the file, on the disk, then renamed over it: a reader sees the
// earlier file or the whole new one, never part of it.
bool replaceWhole(const std::wstring& path, const std::string& bytes) {
    const std::wstring next = path + L".new";
    const HANDLE output = CreateFileW(next.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr);
    if (output == INVALID_HANDLE_VALUE) return false;
    DWORD put = 0;
    const bool whole = WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
                       put == bytes.size() && FlushFileBuffers(output);
    CloseHandle(output);
    if (whole && MoveFileExW(next.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    DeleteFileW(next.c_str());
    return false;
}

}  // namespace

// Read and written as bytes (profile_text.h), never through the system's ANSI code page.
std::string readProfileString(const char* section, const char* key, const char* fallback, unsigned capacity,
                              const char* file) {
    std::string bytes;
    if (!readWhole(wideFromCp950(file), bytes)) bytes.clear();
    return profile_text::read(bytes, section, key, fallback, capacity);
}

// The new content goes beside the file and then takes its place, so that a setting is never half
// written.
bool writeProfileString(const char* section, const char* key, const char* value, const char* file) {
    const std::wstring path = wideFromCp950(file);
    std::string bytes;
    if (path.empty() || !readWhole(path, bytes)) return false;
    return replaceWhole(path, profile_text::write(bytes, section, key, value));
}

bool fileExists(const char* path) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
}

bool deleteFile(const char* path) { return DeleteFileA(path) != FALSE; }

PathState Win32Files::pathState(const std::string& path) {
    const std::wstring name = wideFromUtf8(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathState{false, false, false, false};
    PathState state{true, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0,
                    false};
    if (state.folder || state.reparsePoint) return state;
    // The entry itself, never what it leads to; reading its attributes needs only the right to
    // list the folder.
    const HANDLE file = CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION information{};
    state.otherNames = file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &information) ||
                       information.nNumberOfLinks != 1;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return state;
}

bool Win32Files::readFile(const std::string& path, std::size_t limit, std::string& bytes) {
    const HANDLE file = CreateFileW(wideFromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool read = readOpenFile(file, limit, bytes);
    CloseHandle(file);
    return read;
}

std::string Win32Files::environmentVariable(const char* name) {
    wchar_t value[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableW(wideFromUtf8(name).c_str(), value, MAX_PATH * 2);
    return length == 0 || length >= MAX_PATH * 2 ? std::string() : utf8FromWide(value);
}

std::string Win32Files::programFolder() {
    wchar_t path[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2) return std::string();
    wchar_t* name = wcsrchr(path, L'\\');
    if (name != nullptr) *name = L'\0';
    return utf8FromWide(path);
}

std::string Win32Files::workingFolder() {
    wchar_t path[MAX_PATH * 2];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH * 2, path);
    return length == 0 || length >= MAX_PATH * 2 ? std::string() : utf8FromWide(path);
}

bool Win32Files::setWorkingFolder(const std::string& path) {
    return SetCurrentDirectoryW(wideFromUtf8(path).c_str()) != FALSE;
}

}  // namespace platform::win32
