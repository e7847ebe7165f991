// Files, folders and their rights on Windows. Krev's platform and the installer's helper share
// these calls.
#pragma once
#include <string>
#include <vector>

#include "platform/files.h"

namespace platform::win32 {

// Paths of Folders are UTF-8; Windows' wide calls take UTF-16.
std::wstring wideFromUtf8(const std::string& utf8);
std::string utf8FromWide(const wchar_t* text);

std::string readProfileString(const char* section, const char* key, const char* fallback, unsigned capacity,
                              const char* file);
bool writeProfileString(const char* section, const char* key, const char* value, const char* file);
bool fileExists(const char* path);
bool deleteFile(const char* path);

PathState pathState(const std::string& path);
bool listFolder(const std::string& folder, std::vector<std::string>& names);
bool createFolder(const std::string& path);
bool copyNewFile(const std::string& from, const std::string& to);
bool removeFile(const std::string& path);
std::string environmentVariable(const char* name);
std::string programFolder();
std::string workingFolder();
bool setWorkingFolder(const std::string& path);
bool canCreateFilesIn(const std::string& folder);

bool enablePrivilege(const char* name);
bool createSecuredFolder(const std::string& path, const char* sddl);
bool setOwner(const std::string& path, const char* sddl);
bool setProtectedRights(const std::string& path, const char* sddl);

// All of them as the interfaces, for the installer's helper.
class Win32Files final : public Files, public Folders, public FileSecurity {
public:
    std::string readProfileString(const char* section, const char* key, const char* fallback, unsigned capacity,
                                  const char* file) override {
        return win32::readProfileString(section, key, fallback, capacity, file);
    }
    bool writeProfileString(const char* section, const char* key, const char* value, const char* file) override {
        return win32::writeProfileString(section, key, value, file);
    }
    bool fileExists(const char* path) override { return win32::fileExists(path); }
    bool deleteFile(const char* path) override { return win32::deleteFile(path); }

    PathState pathState(const std::string& path) override { return win32::pathState(path); }
    bool listFolder(const std::string& folder, std::vector<std::string>& names) override {
        return win32::listFolder(folder, names);
    }
    bool createFolder(const std::string& path) override { return win32::createFolder(path); }
    bool copyNewFile(const std::string& from, const std::string& to) override { return win32::copyNewFile(from, to); }
    bool removeFile(const std::string& path) override { return win32::removeFile(path); }
    std::string environmentVariable(const char* name) override { return win32::environmentVariable(name); }
    std::string programFolder() override { return win32::programFolder(); }
    std::string workingFolder() override { return win32::workingFolder(); }
    bool setWorkingFolder(const std::string& path) override { return win32::setWorkingFolder(path); }
    bool canCreateFilesIn(const std::string& folder) override { return win32::canCreateFilesIn(folder); }

    bool enablePrivilege(const char* name) override { return win32::enablePrivilege(name); }
    bool createSecuredFolder(const std::string& path, const char* sddl) override {
        return win32::createSecuredFolder(path, sddl);
    }
    bool setOwner(const std::string& path, const char* sddl) override { return win32::setOwner(path, sddl); }
    bool setProtectedRights(const std::string& path, const char* sddl) override {
        return win32::setProtectedRights(path, sddl);
    }
};

}  // namespace platform::win32
