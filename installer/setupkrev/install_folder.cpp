#include "installer/setupkrev/install_folder.h"

#include <cstring>
#include <vector>

#include "installer/setupkrev/program_update.h"
#include "krev/user_folder.h"
#include "product_config.h"

namespace install_folder {

namespace {

char folded(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Windows compares file names without regard to letter case (the program-files folders are
// named in ASCII letters on every Windows).
bool samePath(const std::string& left, const std::string& right) {
    if (left.size() != right.size()) return false;
    for (std::size_t at = 0; at < left.size(); ++at) {
        if (folded(left[at]) != folded(right[at])) return false;
    }
    return true;
}

// One name that means itself: no separator, stream (':'), wildcard or device-looking trail.
bool plainName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 128) return false;
    if (name.back() == '.' || name.back() == ' ') return false;
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 32 || std::strchr("\\/:*?\"<>|", c) != nullptr) return false;
    }
    return true;
}

constexpr const char* kOurNames[] = {KREV_INSTALLED_FILES, user_folder::kStartingSettings, program_update::kStaging,
                                     program_update::kPrevious, program_update::kPending};

bool onlyOurNames(platform::Folders& folders, const std::string& folder, bool& empty) {
    std::vector<std::string> names;
    if (!folders.listFolder(folder, names)) return false;
    empty = names.empty();
    for (const std::string& name : names) {
        bool ours = false;
        for (const char* our : kOurNames) ours = ours || samePath(name, our);
        if (!ours) return false;
    }
    return true;
}

}  // namespace

bool acceptable(platform::Folders& folders, const std::string& named, const std::string& entryFolder) {
    const std::string full = folders.fullPath(named);
    const std::size_t separator = full.rfind('\\');
    if (full.empty() || separator == std::string::npos) return false;
    const std::string parent = full.substr(0, separator);
    if (!plainName(full.substr(separator + 1))) return false;
    bool inProgramFiles = false;
    for (const std::string& programFiles : folders.programFilesFolders()) {
        const std::string resolved = folders.fullPath(programFiles);
        if (!resolved.empty() && samePath(resolved, parent)) inProgramFiles = true;
    }
    if (!inProgramFiles || folders.pathState(parent).reparsePoint) return false;
    const platform::PathState state = folders.pathState(full);
    if (!state.exists) return true;
    if (!state.folder || state.reparsePoint) return false;
    bool empty = false;
    if (!onlyOurNames(folders, full, empty)) return false;
    const std::string entry = entryFolder.empty() ? std::string() : folders.fullPath(entryFolder);
    return empty || (!entry.empty() && samePath(entry, full));
}

}  // namespace install_folder
