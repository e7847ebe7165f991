// Files and folders, apart from the rest of the platform so that the installer's helper uses
// them without the windows and the card library.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_identity.h"

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

// What a held folder holds under one name.
enum class Entry {
    missing,
    plainFile,  // a file of its own: no link, one name
    other,      // a folder, a link or junction, a file with other names, or what could not be told
};

// A folder held open from the moment it was checked to its last change: it was no link or
// junction then, and while it is held nobody can rename, move or replace it, so every name
// below is looked up in that very folder, and no link in it is followed.
class HeldFolder {
public:
    virtual ~HeldFolder() = default;
    virtual Entry entry(const char* name) = 0;
    // A new file with these bytes, only where nothing has the name yet.
    virtual bool createFile(const char* name, const std::string& bytes) = 0;
    // The bytes of a plain file, when it holds at most `limit` of them.
    virtual bool readFile(const char* name, std::size_t limit, std::string& bytes) = 0;
    // The same, only of a file that no user can have written, as read through the handle that
    // reads it: its owner is Administrators or SYSTEM and its rights let nobody else write it,
    // change its rights or its owner, or delete it. False for any other file, and on a volume
    // that keeps no rights (FAT), where any user may change any file.
    virtual bool readAdministratorsFile(const char* name, std::size_t limit, std::string& bytes) = 0;
    // Removes the name of a file, or of a link itself; never a folder, never what a link leads to.
    virtual bool removeFile(const char* name) = 0;
    // Removes the folder itself when it is empty (when it is let go).
    virtual bool removeIfEmpty() = 0;
    // The folder itself, whatever path named it; false when the file system does not say.
    virtual bool identity(FileIdentity& identity) = 0;
};

enum class Hold {
    held,
    missing,
    notAFolder,  // a file, or a link or junction, which leads elsewhere
    failed,      // there, but it could not be opened or made
};

// Folders and files by full path, in UTF-8: a user's profile may be named in characters that
// the ANSI code page lacks.
class Folders {
public:
    virtual PathState pathState(const std::string& path) = 0;
    // Holds the folder at `path`, made first when `create` and it is missing; `hold` says why
    // there is none.
    virtual std::unique_ptr<HeldFolder> holdFolder(const std::string& path, bool create, Hold& hold) = 0;
    // The bytes of a file of ours, by its path, when it holds at most `limit` of them.
    virtual bool readFile(const std::string& path, std::size_t limit, std::string& bytes) = 0;
    // Empty when the variable is not set.
    virtual std::string environmentVariable(const char* name) = 0;
    // The folder of the running program's file.
    virtual std::string programFolder() = 0;
    virtual std::string workingFolder() = 0;
    virtual bool setWorkingFolder(const std::string& path) = 0;

protected:
    ~Folders() = default;
};

}  // namespace platform
