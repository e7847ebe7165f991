// Files and folders, apart from the rest of the platform so that the installer's helper uses
// them without the windows and the card library.
#pragma once
#include <string>
#include <vector>

namespace platform {

// Files named as the product names them: relative to the working directory (".\Reader.ini"),
// in the ANSI code page.
class Files {
public:
    // Profile (INI) files: missing files, sections and keys read as `fallback`; a value is cut
    // to capacity - 1 bytes. The writer creates the file, section and key as needed.
    virtual std::string readProfileString(const char* section, const char* key, const char* fallback,
                                          unsigned capacity, const char* file) = 0;
    virtual bool writeProfileString(const char* section, const char* key, const char* value, const char* file) = 0;
    virtual bool fileExists(const char* path) = 0;
    virtual bool deleteFile(const char* path) = 0;

protected:
    ~Files() = default;
};

struct PathState {
    bool exists;
    bool folder;
    bool reparsePoint;  // a junction or a symbolic link: it leads elsewhere
    // A file with more names than this one (a hard link), or whose names could not be counted:
    // its data may be another file's, elsewhere, which changing it would change too.
    bool otherNames;
};

// Folders and files by full path, in UTF-8: a user's profile may be named in characters that
// the ANSI code page lacks.
class Folders {
public:
    virtual PathState pathState(const std::string& path) = 0;
    // The names in a folder, without "." and ".."; false when it cannot be listed.
    virtual bool listFolder(const std::string& folder, std::vector<std::string>& names) = 0;
    virtual bool createFolder(const std::string& path) = 0;
    // Copies `from` to `to` unless `to` exists already.
    virtual bool copyNewFile(const std::string& from, const std::string& to) = 0;
    virtual bool removeFile(const std::string& path) = 0;
    // Empty when the variable is not set.
    virtual std::string environmentVariable(const char* name) = 0;
    // The folder of the running program's file.
    virtual std::string programFolder() = 0;
    virtual std::string workingFolder() = 0;
    virtual bool setWorkingFolder(const std::string& path) = 0;
    // Whether this process may create files in the folder: one is made there and removed.
    virtual bool canCreateFilesIn(const std::string& folder) = 0;

protected:
    ~Folders() = default;
};

// Owners and rights of files and folders, as security descriptor texts (SDDL): what an
// administrator's installer sets.
class FileSecurity {
public:
    virtual bool enablePrivilege(const char* name) = 0;
    // A new folder that has the descriptor's owner and rights from the start.
    virtual bool createSecuredFolder(const std::string& path, const char* sddl) = 0;
    virtual bool setOwner(const std::string& path, const char* sddl) = 0;
    // The descriptor's rights, in place of whatever was set or inherited before.
    virtual bool setProtectedRights(const std::string& path, const char* sddl) = 0;

protected:
    ~FileSecurity() = default;
};

}  // namespace platform
