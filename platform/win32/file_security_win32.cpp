// The owner and the rights of files and folders: an administrator's installer sets them.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "platform/win32/files_win32.h"

namespace platform::win32 {

namespace {

// A security descriptor made from SDDL text, freed with the object.
class Descriptor {
public:
    explicit Descriptor(const char* sddl) {
        ConvertStringSecurityDescriptorToSecurityDescriptorW(wideFromUtf8(sddl).c_str(), SDDL_REVISION_1, &descriptor_,
                                                             nullptr);
    }
    ~Descriptor() {
        if (descriptor_ != nullptr) LocalFree(descriptor_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    PSECURITY_DESCRIPTOR get() const { return descriptor_; }
    PSID owner() const {
        PSID owner = nullptr;
        BOOL defaulted = FALSE;
        if (descriptor_ != nullptr) GetSecurityDescriptorOwner(descriptor_, &owner, &defaulted);
        return owner;
    }
    PACL rights() const {
        PACL rights = nullptr;
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        if (descriptor_ != nullptr) GetSecurityDescriptorDacl(descriptor_, &present, &rights, &defaulted);
        return present ? rights : nullptr;
    }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

}  // namespace

bool enablePrivilege(const char* name) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool enabled = LookupPrivilegeValueW(nullptr, wideFromUtf8(name).c_str(), &privileges.Privileges[0].Luid) &&
                   AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                   GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return enabled;
}

bool createSecuredFolder(const std::string& path, const char* sddl) {
    const Descriptor descriptor(sddl);
    if (descriptor.get() == nullptr) return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    return CreateDirectoryW(wideFromUtf8(path).c_str(), &attributes) != FALSE;
}

bool setOwner(const std::string& path, const char* sddl) {
    const Descriptor descriptor(sddl);
    std::wstring name = wideFromUtf8(path);
    return descriptor.owner() != nullptr &&
           SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, descriptor.owner(), nullptr,
                                 nullptr, nullptr) == ERROR_SUCCESS;
}

bool setProtectedRights(const std::string& path, const char* sddl) {
    const Descriptor descriptor(sddl);
    std::wstring name = wideFromUtf8(path);
    return descriptor.rights() != nullptr &&
           SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 descriptor.rights(), nullptr) == ERROR_SUCCESS;
}

}  // namespace platform::win32
