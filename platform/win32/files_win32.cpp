#include "platform/win32/files_win32.h"

#include <windows.h>

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

std::string readProfileString(const char* section, const char* key, const char* fallback, unsigned capacity,
                              const char* file) {
    std::vector<char> value(capacity + 1, '\0');
    GetPrivateProfileStringA(section, key, fallback, value.data(), capacity, file);
    return std::string(value.data());
}

bool writeProfileString(const char* section, const char* key, const char* value, const char* file) {
    return WritePrivateProfileStringA(section, key, value, file) != FALSE;
}

bool fileExists(const char* path) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
}

bool deleteFile(const char* path) { return DeleteFileA(path) != FALSE; }

PathState pathState(const std::string& path) {
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

bool listFolder(const std::string& folder, std::vector<std::string>& names) {
    names.clear();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wideFromUtf8(folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        const std::string name = utf8FromWide(found.cFileName);
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    return complete;
}

bool createFolder(const std::string& path) {
    return CreateDirectoryW(wideFromUtf8(path).c_str(), nullptr) != FALSE || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool copyNewFile(const std::string& from, const std::string& to) {
    return CopyFileW(wideFromUtf8(from).c_str(), wideFromUtf8(to).c_str(), TRUE) != FALSE;
}

bool removeFile(const std::string& path) { return DeleteFileW(wideFromUtf8(path).c_str()) != FALSE; }

std::string environmentVariable(const char* name) {
    wchar_t value[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableW(wideFromUtf8(name).c_str(), value, MAX_PATH * 2);
    return length == 0 || length >= MAX_PATH * 2 ? std::string() : utf8FromWide(value);
}

std::string programFolder() {
    wchar_t path[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2) return std::string();
    wchar_t* name = wcsrchr(path, L'\\');
    if (name != nullptr) *name = L'\0';
    return utf8FromWide(path);
}

std::string workingFolder() {
    wchar_t path[MAX_PATH * 2];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH * 2, path);
    return length == 0 || length >= MAX_PATH * 2 ? std::string() : utf8FromWide(path);
}

bool setWorkingFolder(const std::string& path) { return SetCurrentDirectoryW(wideFromUtf8(path).c_str()) != FALSE; }

// A unique file is made there and removed at once. Virtualisation, which would quietly redirect
// the write, is off for our programs: their manifests ask for no elevation.
bool canCreateFilesIn(const std::string& folder) {
    wchar_t made[MAX_PATH * 2];
    if (GetTempFileNameW(wideFromUtf8(folder).c_str(), L"vyx", 0, made) == 0) return false;
    DeleteFileW(made);
    return true;
}

}  // namespace platform::win32
