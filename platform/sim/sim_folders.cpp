// The simulation's folders: real ones below its temporary root. A symbolic link stands for a
// junction or a Windows link; which files only administrators can have written is set by the
// tests.
#include <sys/stat.h>

#include <cstdio>
#include <set>
#include <filesystem>
#include <fstream>

#include "platform/sim/sim_platform.h"

namespace platform::sim {

namespace fs = std::filesystem;

namespace {

// A held folder: the names below it, seen without following links. (The host cannot stop a
// rename of the folder as Windows does; the tests do not rename it.)
class SimHeldFolder final : public HeldFolder {
public:
    SimHeldFolder(std::string host, std::string path, const std::set<std::string>& administratorsFiles,
                  const std::set<std::string>& oplockedFiles)
        : host_(std::move(host)),
          path_(std::move(path)),
          administratorsFiles_(administratorsFiles),
          oplockedFiles_(oplockedFiles) {}
    ~SimHeldFolder() override {
        std::error_code ignored;
        if (removeWhenLetGo_) fs::remove(host_, ignored);  // only an empty one
    }

    Entry entry(const char* name) override {
        struct stat entry;
        if (lstat(at(name).c_str(), &entry) != 0) return Entry::missing;
        return S_ISREG(entry.st_mode) && entry.st_nlink == 1 ? Entry::plainFile : Entry::other;
    }
    bool createFile(const char* name, const std::string& bytes) override {
        if (entry(name) != Entry::missing) return false;
        std::ofstream(at(name), std::ios::binary) << bytes;
        return entry(name) == Entry::plainFile;
    }
    bool readFile(const char* name, std::size_t limit, std::string& bytes) override {
        if (oplocked(name) || entry(name) != Entry::plainFile || fs::file_size(at(name)) > limit) return false;
        std::ifstream file(at(name), std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        return true;
    }
    bool readAdministratorsFile(const char* name, std::size_t limit, std::string& bytes) override {
        return administratorsFiles_.count(path_ + "\\" + name) != 0 && readFile(name, limit, bytes);
    }
    bool removeFile(const char* name) override {
        if (oplocked(name)) return false;
        struct stat entry;
        if (lstat(at(name).c_str(), &entry) != 0 || S_ISDIR(entry.st_mode)) return false;
        return std::remove(at(name).c_str()) == 0;
    }
    bool removeIfEmpty() override {
        removeWhenLetGo_ = true;
        return true;
    }
    bool identity(FileIdentity& identity) override {
        struct stat folder;
        if (stat(host_.c_str(), &folder) != 0) return false;
        identity = FileIdentity{static_cast<unsigned long>(folder.st_dev), 0, static_cast<unsigned long>(folder.st_ino)};
        return true;
    }

private:
    std::string at(const char* name) const { return host_ + "/" + name; }
    bool oplocked(const char* name) const { return oplockedFiles_.count(path_ + "\\" + name) != 0; }
    std::string host_;
    std::string path_;
    const std::set<std::string>& administratorsFiles_;
    const std::set<std::string>& oplockedFiles_;
    bool removeWhenLetGo_ = false;
};

}  // namespace

PathState SimPlatform::pathState(const std::string& path) {
    struct stat link;
    if (lstat(pathOf(path).c_str(), &link) != 0) return PathState{false, false, false, false};
    if (S_ISLNK(link.st_mode)) return PathState{true, fs::is_directory(pathOf(path)), true, false};
    const bool folder = S_ISDIR(link.st_mode);
    return PathState{true, folder, false, !folder && link.st_nlink != 1};
}

std::unique_ptr<HeldFolder> SimPlatform::holdFolder(const std::string& path, bool create, Hold& hold) {
    PathState state = pathState(path);
    if (!state.exists && create) {
        std::error_code failed;
        fs::create_directory(pathOf(path), failed);
        state = pathState(path);
    }
    if (!state.exists) {
        hold = Hold::missing;
        return nullptr;
    }
    if (!state.folder || state.reparsePoint) {
        hold = Hold::notAFolder;
        return nullptr;
    }
    hold = Hold::held;
    return std::make_unique<SimHeldFolder>(pathOf(path), path, administratorsFiles, oplockedFiles);
}

bool SimPlatform::readFile(const std::string& path, std::size_t limit, std::string& bytes) {
    std::error_code failed;
    if (!fs::is_regular_file(pathOf(path)) || fs::file_size(pathOf(path), failed) > limit || failed) return false;
    bytes = readFile(path);
    return true;
}

std::string SimPlatform::environmentVariable(const char* name) {
    auto found = environment.find(name);
    return found == environment.end() ? std::string() : found->second;
}

bool SimPlatform::setWorkingFolder(const std::string& path) {
    if (!fs::is_directory(pathOf(path))) return false;
    workingFolder_ = path;
    return true;
}

}  // namespace platform::sim
