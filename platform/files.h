// Files and folders, apart from the rest of the platform so that the installer's helper uses
// them without the windows and the card library.
#pragma once
#include <cstddef>
#include <memory>
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
    // Removes the name of a file, or of a link itself; never a folder, never what a link leads to.
    virtual bool removeFile(const char* name) = 0;
    // Removes the folder itself when it is empty (when it is let go).
    virtual bool removeIfEmpty() = 0;
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
    // The names in a folder, without "." and ".."; false when it cannot be listed.
    virtual bool listFolder(const std::string& folder, std::vector<std::string>& names) = 0;
    virtual bool createFolder(const std::string& path) = 0;
    // An empty folder.
    virtual bool removeFolder(const std::string& path) = 0;
    virtual bool removeFile(const std::string& path) = 0;
    // Renames a file on its volume; false when `to` exists or the file is in use.
    virtual bool moveFile(const std::string& from, const std::string& to) = 0;
    // True when no process has the file open or loaded (it opens with no sharing at all), or
    // when it is not there.
    virtual bool isUnused(const std::string& path) = 0;
    // Empty when the variable is not set.
    virtual std::string environmentVariable(const char* name) = 0;
    // The folder of the running program's file.
    virtual std::string programFolder() = 0;
    virtual std::string workingFolder() = 0;
    virtual bool setWorkingFolder(const std::string& path) = 0;
    // The machine's program-files folders, as Windows records them.
    virtual std::vector<std::string> programFilesFolders() = 0;
    // The path made absolute, "." and ".." resolved, short (8.3) names of what exists made
    // long; empty when it cannot be.
    virtual std::string fullPath(const std::string& path) = 0;

    // A new folder whose rights are for Administrators and SYSTEM alone, none inherited, owned
    // by Administrators: no user can open, add or change anything in it. False when something
    // has the name already (never made through a link).
    virtual bool createPrivateFolder(const std::string& path) = 0;
    // A folder that is no link or junction, owned by Administrators or SYSTEM, whose rights
    // are for those two alone and not inherited: one that createPrivateFolder made. On a volume
    // that keeps no rights (FAT), where every user may change everything, any plain folder.
    virtual bool isPrivateFolder(const std::string& path) = 0;
    // Owned by Administrators or SYSTEM: an administrator's program made it, not a user. On a
    // volume that keeps no owners, any plain folder.
    virtual bool ownedByAdministrators(const std::string& path) = 0;
    // A file with these bytes in place of any earlier one, all or nothing, on the disk when
    // this returns.
    virtual bool replaceFile(const std::string& path, const std::string& bytes) = 0;
    // Hands Windows a rename (or, when `to` is empty, a removal) for the next restart: the
    // session manager carries them out in the order given, before any process runs.
    virtual bool renameAtRestart(const std::string& from, const std::string& to) = 0;
    // Drops the renames at restart whose source or target lies below `folder`; every other one
    // stays as it was.
    virtual bool forgetRenamesAtRestart(const std::string& folder) = 0;

protected:
    ~Folders() = default;
};

}  // namespace platform
