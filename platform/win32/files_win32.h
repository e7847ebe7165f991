// Files and folders on Windows. Krev's platform and the installer's helper share these calls.
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
// The whole of an open file (a HANDLE), when it holds at most `limit` bytes.
bool readOpenFile(void* file, std::size_t limit, std::string& bytes);

// Files and Folders, for the installer's helper; Krev's platform hands out its Folders.
class Win32Files final : public Files, public Folders {
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

    PathState pathState(const std::string& path) override;
    std::unique_ptr<HeldFolder> holdFolder(const std::string& path, bool create, Hold& hold) override;
    bool readFile(const std::string& path, std::size_t limit, std::string& bytes) override;
    std::string environmentVariable(const char* name) override;
    std::string programFolder() override;
    std::string workingFolder() override;
    bool setWorkingFolder(const std::string& path) override;
};

}  // namespace platform::win32
