// The simulation's folders: real ones below its temporary root, and the owners and rights that
// an installer sets, recorded (the host keeps no Windows rights).
#include <sys/stat.h>

#include <filesystem>

#include "platform/cp950.h"
#include "platform/sim/sim_platform.h"

namespace platform::sim {

namespace fs = std::filesystem;

PathState SimPlatform::pathState(const std::string& path) {
    struct stat link;
    if (lstat(pathOf(path).c_str(), &link) != 0) return PathState{false, false, false, false};
    // A symbolic link stands for a junction: it leads elsewhere.
    if (S_ISLNK(link.st_mode)) return PathState{true, fs::is_directory(pathOf(path)), true, false};
    const bool folder = S_ISDIR(link.st_mode);
    return PathState{true, folder, false, !folder && link.st_nlink != 1};
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

bool SimPlatform::copyNewFile(const std::string& from, const std::string& to) {
    std::error_code failed;
    if (fs::exists(pathOf(to)) || !fs::is_regular_file(pathOf(from))) return false;
    return fs::copy_file(pathOf(from), pathOf(to), failed) && !failed;
}

bool SimPlatform::removeFile(const std::string& path) { return std::remove(pathOf(path).c_str()) == 0; }

std::string SimPlatform::environmentVariable(const char* name) {
    auto found = environment.find(name);
    return found == environment.end() ? std::string() : found->second;
}

bool SimPlatform::setWorkingFolder(const std::string& path) {
    if (!fs::is_directory(pathOf(path))) return false;
    workingFolder_ = path;
    return true;
}

bool SimPlatform::canCreateFilesIn(const std::string& folder) {
    for (const std::string& readOnly : readOnlyFolders) {
        if (cp950::equalsIgnoreCase(readOnly.c_str(), folder.c_str())) return false;
    }
    return fs::is_directory(pathOf(folder));
}

bool SimPlatform::recordSecurityCall(const char* call, const std::string& path, const char* sddl) {
    securityCalls.push_back(SecurityCall{call, path, sddl});
    return failSecurityOn.count(path) == 0;
}

bool SimPlatform::enablePrivilege(const char* name) { return recordSecurityCall("privilege", "", name); }

bool SimPlatform::createSecuredFolder(const std::string& path, const char* sddl) {
    if (!recordSecurityCall("create", path, sddl)) return false;
    std::error_code failed;
    return fs::create_directory(pathOf(path), failed) && !failed;
}

bool SimPlatform::setOwner(const std::string& path, const char* sddl) {
    return fs::exists(pathOf(path)) && recordSecurityCall("owner", path, sddl);
}

bool SimPlatform::setProtectedRights(const std::string& path, const char* sddl) {
    return fs::exists(pathOf(path)) && recordSecurityCall("rights", path, sddl);
}

}  // namespace platform::sim
