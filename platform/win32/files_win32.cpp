#include "platform/win32/files_win32.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cwchar>
#include <vector>

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

namespace {

// Full control for Administrators and SYSTEM, on the folder and everything in it, and nothing
// inherited from the folder above (P). The owner is the creator's default: Administrators for an
// elevated administrator, SYSTEM for a deployment tool's service.
constexpr wchar_t kPrivateRights[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingRenames[] = L"PendingFileRenameOperations";

bool administratorsOrSystem(PSID sid) {
    return sid != nullptr && IsValidSid(sid) &&
           (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid));
}

// A folder's owner and rights, read through a handle on the entry itself (never what a link
// leads to); false for a link, a junction or a file.
struct FolderSecurity {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL rights = nullptr;
    ~FolderSecurity() {
        if (descriptor != nullptr) LocalFree(descriptor);
    }
    bool read(const std::string& path, SECURITY_INFORMATION what) {
        const HANDLE folder = CreateFileW(wideFromUtf8(path).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (folder == INVALID_HANDLE_VALUE) return false;
        BY_HANDLE_FILE_INFORMATION information{};
        const bool plainFolder = GetFileInformationByHandle(folder, &information) &&
                                 (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                 (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        const bool read = plainFolder && GetSecurityInfo(folder, SE_FILE_OBJECT, what, &owner, nullptr, &rights,
                                                         nullptr, &descriptor) == ERROR_SUCCESS;
        CloseHandle(folder);
        return read;
    }
};

// "\??\C:\x" or "!\??\C:\x", as the session manager's list holds them, below `folder`.
bool renameBelow(const std::wstring& entry, const std::wstring& folder) {
    std::wstring path = entry;
    if (!path.empty() && path[0] == L'!') path.erase(0, 1);
    if (path.compare(0, 4, L"\\??\\") == 0) path.erase(0, 4);
    if (path.size() < folder.size() || _wcsnicmp(path.c_str(), folder.c_str(), folder.size()) != 0) return false;
    return path.size() == folder.size() || path[folder.size()] == L'\\';
}

}  // namespace

// Made with the rights at once, so that no moment passes in which it has others; then owned by
// Administrators and its rights set once more through a handle on it, which a SYSTEM process's
// folder needs for the owner, and which a file system that kept no rights at creation takes.
bool Win32Files::createPrivateFolder(const std::string& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPrivateRights, SDDL_REVISION_1, &descriptor, nullptr)) {
        return false;
    }
    const std::wstring name = wideFromUtf8(path);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    bool made = CreateDirectoryW(name.c_str(), &attributes) != FALSE;
    if (made) {
        const HANDLE folder = CreateFileW(name.c_str(), WRITE_DAC | WRITE_OWNER | READ_CONTROL, 0, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr);
        BYTE administrators[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof administrators;
        PACL rights = nullptr;
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        made = folder != INVALID_HANDLE_VALUE &&
               CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
               GetSecurityDescriptorDacl(descriptor, &present, &rights, &defaulted) && present &&
               SetSecurityInfo(folder, SE_FILE_OBJECT,
                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               administrators, nullptr, rights, nullptr) == ERROR_SUCCESS;
        if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
        if (!made) RemoveDirectoryW(name.c_str());
    }
    LocalFree(descriptor);
    return made;
}

namespace {

bool privateBySecurity(const std::string& path) {
    FolderSecurity security;
    if (!security.read(path, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION)) return false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!administratorsOrSystem(security.owner) || security.rights == nullptr ||
        !GetSecurityDescriptorControl(security.descriptor, &control, &revision) || (control & SE_DACL_PROTECTED) == 0) {
        return false;
    }
    for (DWORD index = 0; index < security.rights->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(security.rights, index, &entry)) return false;
        const auto* header = static_cast<ACE_HEADER*>(entry);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;  // denies grant nobody anything
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if (!administratorsOrSystem(const_cast<DWORD*>(&allowed->SidStart))) return false;
    }
    return true;
}

std::string parentOf(const std::string& path) {
    const std::size_t separator = path.find_last_of('\\');
    if (separator == std::string::npos) return std::string();
    return path.substr(0, separator == 2 ? 3 : separator);
}

}  // namespace

// Whether the volume keeps the rights and owners set on a folder (NTFS does; FAT does not, and
// neither does Wine, which makes them up from the Unix mode): a folder of ours made beside the
// one asked about reads back as made, or not. Where rights are not kept, none are enforced:
// any user may change anything there, and a folder's owner and rights tell nothing.
bool Win32Files::volumeKeepsRights(const std::string& beside) {
    const std::string parent = parentOf(beside);
    if (parent.empty()) return true;
    const std::string volume = fullPath(parent).substr(0, 3);
    if (volume == keepsRightsVolume_) return keepsRights_;
    const std::string probe = parent + "\\~vyx-rights-" + std::to_string(GetCurrentProcessId()) + "-" +
                              std::to_string(GetTickCount());
    // A probe that cannot be made proves nothing: the rights count as kept, and checked.
    if (!createPrivateFolder(probe)) return true;
    const bool kept = privateBySecurity(probe);
    RemoveDirectoryW(wideFromUtf8(probe).c_str());
    keepsRightsVolume_ = volume;
    keepsRights_ = kept;
    return kept;
}

bool Win32Files::isPrivateFolder(const std::string& path) {
    if (privateBySecurity(path)) return true;
    const PathState state = pathState(path);
    return state.exists && state.folder && !state.reparsePoint && !volumeKeepsRights(path);
}

bool Win32Files::ownedByAdministrators(const std::string& path) {
    FolderSecurity security;
    if (security.read(path, OWNER_SECURITY_INFORMATION) && administratorsOrSystem(security.owner)) return true;
    const PathState state = pathState(path);
    return state.exists && state.folder && !state.reparsePoint && !volumeKeepsRights(path);
}

bool Win32Files::replaceFile(const std::string& path, const std::string& bytes) {
    return replaceWhole(wideFromUtf8(path), bytes);
}

bool Win32Files::renameAtRestart(const std::string& from, const std::string& to) {
    const std::wstring source = wideFromUtf8(from);
    if (to.empty()) return MoveFileExW(source.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
    return MoveFileExW(source.c_str(), wideFromUtf8(to).c_str(),
                       MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool Win32Files::forgetRenamesAtRestart(const std::string& folder) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    DWORD size = 0;
    LONG status = RegQueryValueExW(key, kPendingRenames, nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        RegCloseKey(key);
        return true;
    }
    std::vector<wchar_t> list(size / sizeof(wchar_t) + 2, L'\0');
    status = RegQueryValueExW(key, kPendingRenames, nullptr, &type, reinterpret_cast<BYTE*>(list.data()), &size);
    if (status != ERROR_SUCCESS || type != REG_MULTI_SZ) {
        RegCloseKey(key);
        return false;
    }
    // Pairs of source and target; a removal's target is empty.
    std::vector<std::wstring> entries;
    for (std::size_t at = 0; at < size / sizeof(wchar_t);) {
        const std::wstring entry(&list[at]);
        entries.push_back(entry);
        at += entry.size() + 1;
    }
    while (!entries.empty() && entries.back().empty() && entries.size() % 2 == 1) entries.pop_back();
    const std::wstring ours = wideFromUtf8(folder);
    std::wstring kept;
    bool changed = false;
    for (std::size_t at = 0; at + 1 < entries.size(); at += 2) {
        if (renameBelow(entries[at], ours) || renameBelow(entries[at + 1], ours)) {
            changed = true;
            continue;
        }
        kept += entries[at] + L'\0' + entries[at + 1] + L'\0';
    }
    bool done = true;
    if (changed && kept.empty()) {
        done = RegDeleteValueW(key, kPendingRenames) == ERROR_SUCCESS;
    } else if (changed) {
        kept += L'\0';
        done = RegSetValueExW(key, kPendingRenames, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kept.data()),
                              static_cast<DWORD>(kept.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return done;
}

}  // namespace platform::win32
