#include "platform/win32/files_win32.h"

#include <windows.h>
#include <shlobj.h>

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
    const std::string written = profile_text::write(bytes, section, key, value);
    const std::wstring next = path + L".new";
    const HANDLE output = CreateFileW(next.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr);
    if (output == INVALID_HANDLE_VALUE) return false;
    DWORD put = 0;
    const bool whole = WriteFile(output, written.data(), static_cast<DWORD>(written.size()), &put, nullptr) &&
                       put == written.size() && FlushFileBuffers(output);
    CloseHandle(output);
    if (whole && MoveFileExW(next.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    DeleteFileW(next.c_str());
    return false;
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

bool Win32Files::listFolder(const std::string& folder, std::vector<std::string>& names) {
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

bool Win32Files::createFolder(const std::string& path) {
    return CreateDirectoryW(wideFromUtf8(path).c_str(), nullptr) != FALSE || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool Win32Files::removeFolder(const std::string& path) { return RemoveDirectoryW(wideFromUtf8(path).c_str()) != FALSE; }

bool Win32Files::removeFile(const std::string& path) { return DeleteFileW(wideFromUtf8(path).c_str()) != FALSE; }

// Never over an existing file, never to another volume (a copy would not be all or nothing).
bool Win32Files::moveFile(const std::string& from, const std::string& to) {
    return MoveFileExW(wideFromUtf8(from).c_str(), wideFromUtf8(to).c_str(), 0) != FALSE;
}

bool Win32Files::isUnused(const std::string& path) {
    const HANDLE file = CreateFileW(wideFromUtf8(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    CloseHandle(file);
    return true;
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

// From the registry, as the shell records them; not from environment variables, which the user
// who started the process may have set.
std::vector<std::string> Win32Files::programFilesFolders() {
    std::vector<std::string> folders;
    for (const int which : {CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86}) {
        wchar_t path[MAX_PATH];
        if (SHGetFolderPathW(nullptr, which, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK) {
            folders.push_back(utf8FromWide(path));
        }
    }
    return folders;
}

std::string Win32Files::fullPath(const std::string& path) {
    const std::wstring named = wideFromUtf8(path);
    wchar_t full[MAX_PATH * 2];
    const DWORD length = GetFullPathNameW(named.c_str(), MAX_PATH * 2, full, nullptr);
    if (named.empty() || length == 0 || length >= MAX_PATH * 2) return std::string();
    std::wstring result(full);
    while (result.size() > 3 && result.back() == L'\\') result.pop_back();
    // Long names for what exists: the whole path, or else its folder.
    wchar_t longer[MAX_PATH * 2];
    DWORD made = GetLongPathNameW(result.c_str(), longer, MAX_PATH * 2);
    if (made > 0 && made < MAX_PATH * 2) return utf8FromWide(longer);
    const std::size_t separator = result.rfind(L'\\');
    if (separator == std::wstring::npos || separator < 2) return utf8FromWide(result.c_str());
    const std::wstring parent = result.substr(0, separator == 2 ? 3 : separator);
    made = GetLongPathNameW(parent.c_str(), longer, MAX_PATH * 2);
    if (made == 0 || made >= MAX_PATH * 2) return utf8FromWide(result.c_str());
    std::wstring joined(longer);
    if (joined.back() != L'\\') joined += L'\\';
    return utf8FromWide((joined + result.substr(separator + 1)).c_str());
}

}  // namespace platform::win32
