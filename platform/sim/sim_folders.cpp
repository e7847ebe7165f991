// The simulation's folders: real ones below its temporary root. A symbolic link stands for a
// junction or a Windows link; files in use and renames that fail are set by the tests.
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/cp950.h"
#include "platform/sim/sim_platform.h"

namespace platform::sim {

namespace fs = std::filesystem;

namespace {

// A held folder: the names below it, seen without following links. (The host cannot stop a
// rename of the folder as Windows does; the tests do not rename it.)
class SimHeldFolder final : public HeldFolder {
public:
    explicit SimHeldFolder(std::string host) : host_(std::move(host)) {}
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
        if (entry(name) != Entry::plainFile || fs::file_size(at(name)) > limit) return false;
        std::ifstream file(at(name), std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        return true;
    }
    bool removeFile(const char* name) override {
        struct stat entry;
        if (lstat(at(name).c_str(), &entry) != 0 || S_ISDIR(entry.st_mode)) return false;
        return std::remove(at(name).c_str()) == 0;
    }
    bool removeIfEmpty() override {
        removeWhenLetGo_ = true;
        return true;
    }

private:
    std::string at(const char* name) const { return host_ + "/" + name; }
    std::string host_;
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
    return std::make_unique<SimHeldFolder>(pathOf(path));
}

bool SimPlatform::readFile(const std::string& path, std::size_t limit, std::string& bytes) {
    std::error_code failed;
    if (!fs::is_regular_file(pathOf(path)) || fs::file_size(pathOf(path), failed) > limit || failed) return false;
    bytes = readFile(path);
    return true;
}

bool SimPlatform::listFolder(const std::string& folder, std::vector<std::string>& names) {
    names.clear();
    std::error_code failed;
    for (const auto& entry : fs::directory_iterator(pathOf(folder), failed)) names.push_back(entry.path().filename());
    return !failed;
}

bool SimPlatform::createFolder(const std::string& path) {
    std::error_code failed;
    fs::create_directory(pathOf(path), failed);
    return !failed && fs::is_directory(pathOf(path));
}

bool SimPlatform::removeFolder(const std::string& path) {
    // Windows removes no folder that is a process's working folder.
    if (cp950::equalsIgnoreCase(fullPath(path).c_str(), fullPath(workingFolder_).c_str())) return false;
    std::error_code failed;
    const bool removed = fs::is_directory(pathOf(path)) && fs::remove(pathOf(path), failed) && !failed;
    if (removed) privateFolders.erase(path);
    return removed;
}

bool SimPlatform::removeFile(const std::string& path) {
    if (filesInUse.count(path) != 0) return false;
    return std::remove(pathOf(path).c_str()) == 0;
}

bool SimPlatform::moveFile(const std::string& from, const std::string& to) {
    if (renamesUntilKilled == 0) throw ProcessKilled{};
    if (renamesUntilKilled > 0) --renamesUntilKilled;
    moves.push_back(from + " -> " + to);
    if (failMovesOf.count(from) != 0 || filesInUse.count(from) != 0 || pathState(to).exists ||
        !pathState(from).exists) {
        return false;
    }
    std::error_code failed;
    fs::rename(pathOf(from), pathOf(to), failed);
    if (!failed && afterMove) afterMove(to);
    return !failed;
}

bool SimPlatform::isUnused(const std::string& path) { return filesInUse.count(path) == 0; }

std::string SimPlatform::environmentVariable(const char* name) {
    auto found = environment.find(name);
    return found == environment.end() ? std::string() : found->second;
}

bool SimPlatform::setWorkingFolder(const std::string& path) {
    if (!fs::is_directory(pathOf(path))) return false;
    workingFolder_ = path;
    return true;
}

// Relative to the working folder, "." and ".." resolved, a known short spelling made long.
std::string SimPlatform::fullPath(const std::string& path) {
    if (path.empty()) return std::string();
    std::string full = path.size() >= 2 && path[1] == ':' ? path : workingFolder_ + "\\" + path;
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end = 0; end <= full.size(); ++end) {
        if (end != full.size() && full[end] != '\\' && full[end] != '/') continue;
        const std::string part = full.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (parts.size() > 1) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string resolved;
    for (const std::string& part : parts) {
        resolved += resolved.empty() ? part : "\\" + part;
        for (const auto& [shortPath, longPath] : longNames) {
            if (cp950::equalsIgnoreCase(shortPath.c_str(), resolved.c_str())) resolved = longPath;
        }
    }
    return parts.size() == 1 ? resolved + "\\" : resolved;
}

}  // namespace platform::sim

namespace platform::sim {

namespace {

// Whether `path` is `folder` or lies below it, letter case aside.
bool below(const std::string& path, const std::string& folder) {
    if (path.size() < folder.size()) return false;
    if (!cp950::equalsIgnoreCase(path.substr(0, folder.size()).c_str(), folder.c_str())) return false;
    return path.size() == folder.size() || path[folder.size()] == '\\';
}

}  // namespace

bool SimPlatform::createPrivateFolder(const std::string& path) {
    if (pathState(path).exists) return false;
    std::error_code failed;
    if (!fs::create_directory(pathOf(path), failed) || failed) return false;
    privateFolders.insert(path);
    return true;
}

bool SimPlatform::isPrivateFolder(const std::string& path) {
    const PathState state = pathState(path);
    return state.exists && state.folder && !state.reparsePoint && privateFolders.count(path) != 0;
}

bool SimPlatform::ownedByAdministrators(const std::string& path) {
    return pathState(path).exists && userOwned.count(path) == 0;
}

bool SimPlatform::replaceFile(const std::string& path, const std::string& bytes) {
    std::ofstream file(pathOf(path), std::ios::binary | std::ios::trunc);
    file << bytes;
    return static_cast<bool>(file);
}

bool SimPlatform::renameAtRestart(const std::string& from, const std::string& to) {
    if (restartRenamesRefused) return false;
    renamesAtRestart.emplace_back(from, to);
    return true;
}

bool SimPlatform::forgetRenamesAtRestart(const std::string& folder) {
    std::vector<std::pair<std::string, std::string>> kept;
    for (const auto& rename : renamesAtRestart) {
        if (!below(rename.first, folder) && !(below(rename.second, folder))) kept.push_back(rename);
    }
    renamesAtRestart = kept;
    return true;
}

void SimPlatform::restart() {
    filesInUse.clear();
    for (const auto& [from, to] : renamesAtRestart) {
        std::error_code failed;
        if (to.empty()) {
            fs::remove(pathOf(from), failed);
        } else {
            fs::remove(pathOf(to), failed);
            fs::rename(pathOf(from), pathOf(to), failed);
        }
    }
    renamesAtRestart.clear();
}

}  // namespace platform::sim
