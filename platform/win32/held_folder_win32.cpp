// A folder held open by a handle: what it holds is opened relative to that handle, through the
// native call that allows it, so no name is looked up anywhere else. Windows XP has every call.
//
// The installer's helper runs as the system account and looks into folders where any user may
// make files (C:\KREV): any of them may hold an opportunistic lock there, and an open that breaks
// it would wait for that user's program to let go, and the install with it. Every open asks to
// complete at once instead (FILE_COMPLETE_IF_OPLOCKED); a file or folder found so locked is
// closed again and left as it is, a failure of that one step.
#include <windows.h>
#include <aclapi.h>
#include <winternl.h>

#include "platform/win32/files_win32.h"
#include "platform/win32/system_library.h"

namespace platform::win32 {

namespace {

constexpr NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kOplockBreakInProgress = static_cast<NTSTATUS>(0x00000108);
constexpr NTSTATUS kSharingViolation = static_cast<NTSTATUS>(0xC0000043);
constexpr ULONG kCompleteIfOplocked = 0x00000100;  // FILE_COMPLETE_IF_OPLOCKED
constexpr NTSTATUS kPathNotFound = static_cast<NTSTATUS>(0xC000003A);
constexpr ULONG kFileDispositionInformation = 13;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The entry itself, never what a link leads to; a file, never a folder.
constexpr ULONG kFileOptions = FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT;

using CreateCall = NTSTATUS(NTAPI*)(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                    PIO_STATUS_BLOCK status, PLARGE_INTEGER size, ULONG fileAttributes, ULONG share,
                                    ULONG disposition, ULONG options, PVOID extended, ULONG extendedLength);
using SetInformationCall = NTSTATUS(NTAPI*)(HANDLE file, PIO_STATUS_BLOCK status, PVOID information, ULONG length,
                                            ULONG informationClass);
using NtPathCall = BOOLEAN(NTAPI*)(PCWSTR dosPath, PUNICODE_STRING ntPath, PWSTR* filePart, PVOID relative);
using FreeStringCall = VOID(NTAPI*)(PUNICODE_STRING string);

template <typename Call>
Call ntdllCall(const char* name) {
    return functionOf<Call>(GetModuleHandleW(L"ntdll.dll"), name);
}

// NtCreateFile that never waits for an opportunistic lock's break: a handle that it opened while
// one breaks is closed again, and the open fails. `root`: the folder that `name` lies in, or null
// for a full NT path.
HANDLE openWithoutWaiting(HANDLE root, UNICODE_STRING& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                          ULONG options, NTSTATUS& status) {
    const auto create = ntdllCall<CreateCall>("NtCreateFile");
    if (create == nullptr) return nullptr;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, root, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE file = nullptr;
    status = create(&file, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                    options | kCompleteIfOplocked, nullptr, 0);
    if (status == kOplockBreakInProgress) {
        CloseHandle(file);
        status = kSharingViolation;
        return nullptr;
    }
    return status >= 0 ? file : nullptr;
}

bool plainFileInformation(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileInformationByHandle(file, &information) &&
           (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
           information.nNumberOfLinks == 1;
}

bool administratorsOrSystem(PSID sid) {
    return sid != nullptr && IsValidSid(sid) &&
           (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid));
}

// Whether only Administrators and SYSTEM may change the open file: they own it, and every entry
// of its rights that grants anyone else anything at all grants nothing that writes, deletes, or
// changes its rights or its owner. An entry of another kind (conditional, object) is not judged
// and fails it. A volume that keeps no rights (FAT) answers no descriptor.
bool onlyAdministratorsChange(HANDLE file) {
    constexpr ACCESS_MASK kChanging = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | DELETE | WRITE_DAC |
                                      WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL rights = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                        nullptr, &rights, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    // No rights at all (a null DACL) let everyone do everything.
    bool only = administratorsOrSystem(owner) && rights != nullptr;
    for (DWORD index = 0; only && index < rights->AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(rights, index, &entry)) {
            only = false;
            break;
        }
        const auto* header = static_cast<ACE_HEADER*>(entry);
        // What only a folder's new files inherit says nothing of this file; a denial grants nothing.
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            only = false;
            break;
        }
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        only = (allowed->Mask & kChanging) == 0 || administratorsOrSystem(const_cast<DWORD*>(&allowed->SidStart));
    }
    LocalFree(descriptor);
    return only;
}

bool markForDeletion(HANDLE file) {
    const auto setInformation = ntdllCall<SetInformationCall>("NtSetInformationFile");
    BOOLEAN deleteFile = TRUE;
    IO_STATUS_BLOCK status{};
    return setInformation != nullptr &&
           setInformation(file, &status, &deleteFile, sizeof deleteFile, kFileDispositionInformation) >= 0;
}

class Win32HeldFolder final : public HeldFolder {
public:
    Win32HeldFolder(HANDLE folder, bool mayRemove) : folder_(folder), mayRemove_(mayRemove) {}
    ~Win32HeldFolder() override { CloseHandle(folder_); }
    Win32HeldFolder(const Win32HeldFolder&) = delete;
    Win32HeldFolder& operator=(const Win32HeldFolder&) = delete;

    Entry entry(const char* name) override {
        NTSTATUS status = 0;
        HANDLE file = open(name, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, FILE_OPEN,
                           FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, status);
        if (file == nullptr) return status == kNameNotFound || status == kPathNotFound ? Entry::missing : Entry::other;
        const bool plain = plainFileInformation(file);
        CloseHandle(file);
        return plain ? Entry::plainFile : Entry::other;
    }

    bool createFile(const char* name, const std::string& bytes) override {
        NTSTATUS status = 0;
        HANDLE file = open(name, GENERIC_WRITE | DELETE | SYNCHRONIZE, 0, FILE_CREATE, kFileOptions, status);
        if (file == nullptr) return false;
        DWORD written = 0;
        const bool whole = bytes.empty() || (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                                       nullptr) && written == bytes.size());
        if (!whole) markForDeletion(file);
        CloseHandle(file);
        return whole;
    }

    bool readFile(const char* name, std::size_t limit, std::string& bytes) override {
        NTSTATUS status = 0;
        HANDLE file = open(name, GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN, kFileOptions, status);
        if (file == nullptr) return false;
        const bool read = plainFileInformation(file) && readOpenFile(file, limit, bytes);
        CloseHandle(file);
        return read;
    }

    bool readAdministratorsFile(const char* name, std::size_t limit, std::string& bytes) override {
        NTSTATUS status = 0;
        HANDLE file = open(name, GENERIC_READ | READ_CONTROL | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN, kFileOptions,
                           status);
        if (file == nullptr) return false;
        const bool read = plainFileInformation(file) && onlyAdministratorsChange(file) && readOpenFile(file, limit, bytes);
        CloseHandle(file);
        return read;
    }

    bool removeFile(const char* name) override {
        NTSTATUS status = 0;
        HANDLE file = open(name, DELETE | SYNCHRONIZE, kShareAll, FILE_OPEN, kFileOptions, status);
        if (file == nullptr) return false;
        const bool marked = markForDeletion(file);
        CloseHandle(file);
        return marked;
    }

    bool removeIfEmpty() override { return mayRemove_ && markForDeletion(folder_); }

    bool identity(FileIdentity& identity) override {
        BY_HANDLE_FILE_INFORMATION information{};
        if (!GetFileInformationByHandle(folder_, &information)) return false;
        identity = FileIdentity{information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
        return true;
    }

private:
    // Relative to the held folder; null when it cannot be opened.
    HANDLE open(const char* name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options, NTSTATUS& status) {
        std::wstring wide = wideFromUtf8(name);
        if (wide.empty() || wide.find_first_of(L"\\/:") != std::wstring::npos) return nullptr;
        UNICODE_STRING unicode;
        unicode.Buffer = &wide[0];
        unicode.Length = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
        unicode.MaximumLength = unicode.Length;
        return openWithoutWaiting(folder_, unicode, access, share, disposition, options, status);
    }

    HANDLE folder_;
    bool mayRemove_;
};

// The folder's own entry, and nobody may rename or delete it while the handle is open (no
// FILE_SHARE_DELETE); with DELETE access where it is granted, so that it can be removed. Null
// when it cannot be opened, or not at once.
HANDLE openFolder(const std::wstring& path, bool& mayRemove) {
    const auto ntPath = ntdllCall<NtPathCall>("RtlDosPathNameToNtPathName_U");
    const auto release = ntdllCall<FreeStringCall>("RtlFreeUnicodeString");
    UNICODE_STRING name{};
    if (ntPath == nullptr || release == nullptr || !ntPath(path.c_str(), &name, nullptr, nullptr)) return nullptr;
    const ACCESS_MASK access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    const ULONG options = FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT;
    NTSTATUS status = 0;
    HANDLE folder = openWithoutWaiting(nullptr, name, access | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                       options, status);
    mayRemove = folder != nullptr;
    if (!mayRemove) {
        folder = openWithoutWaiting(nullptr, name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, options, status);
    }
    release(&name);
    return folder;
}

}  // namespace

std::unique_ptr<HeldFolder> Win32Files::holdFolder(const std::string& path, bool create, Hold& hold) {
    const std::wstring name = wideFromUtf8(path);
    DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES && create) {
        CreateDirectoryW(name.c_str(), nullptr);
        attributes = GetFileAttributesW(name.c_str());
    }
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        hold = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Hold::missing : Hold::failed;
        return nullptr;
    }
    // Seen by its name first (which is what Wine shows of a link), then by the handle itself.
    hold = Hold::notAFolder;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return nullptr;
    bool mayRemove = false;
    HANDLE folder = openFolder(name, mayRemove);
    if (folder == nullptr) {
        hold = Hold::failed;
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(folder, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        CloseHandle(folder);
        return nullptr;
    }
    hold = Hold::held;
    return std::make_unique<Win32HeldFolder>(folder, mayRemove);
}

}  // namespace platform::win32
