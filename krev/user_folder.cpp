#include "krev/user_folder.h"

namespace user_folder {

namespace {

constexpr std::size_t kCopyLimit = 64 * 1024;

std::string withoutTrailingSeparator(std::string path) {
    while (path.size() > 3 && path.back() == '\\') path.pop_back();
    return path;
}

char folded(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Windows compares file names without regard to letter case.
bool samePath(const std::string& left, const std::string& right) {
    const std::string a = withoutTrailingSeparator(left);
    const std::string b = withoutTrailingSeparator(right);
    if (a.size() != b.size()) return false;
    for (std::size_t at = 0; at < a.size(); ++at) {
        if (folded(a[at]) != folded(b[at])) return false;
    }
    return true;
}

// From the program folder, which is the administrators'.
void copyWhereMissing(platform::Folders& folders, const std::string& from, platform::HeldFolder& to, const char* as) {
    std::string bytes;
    if (to.entry(as) == platform::Entry::missing && folders.readFile(from, kCopyLimit, bytes)) to.createFile(as, bytes);
}

}  // namespace

std::string path(platform::Folders& folders) {
    const std::string appData = folders.environmentVariable("APPDATA");
    return appData.empty() ? std::string() : withoutTrailingSeparator(appData) + "\\" + kName;
}

bool prepare(platform::Folders& folders, const std::string& programFolder) {
    const std::string folder = path(folders);
    if (folder.empty()) return false;
    platform::Hold hold;
    const auto user = folders.holdFolder(folder, true, hold);
    if (user == nullptr) return false;
    const std::string program = withoutTrailingSeparator(programFolder) + "\\";
    copyWhereMissing(folders, program + kDefaultCheck, *user, kDefaultCheck);
    copyWhereMissing(folders, program + kStartingSettings, *user, kSettings);
    return true;
}

std::string folderToWorkIn(platform::Folders& folders, const std::string& programFolder) {
    return prepare(folders, programFolder) ? path(folders) : programFolder;
}

bool leaveProgramFolder(platform::Folders& folders) {
    const std::string working = folders.workingFolder();
    if (working.empty() || !samePath(working, folders.programFolder())) return false;
    return moveToUsersFolder(folders);
}

bool moveToUsersFolder(platform::Folders& folders) {
    return prepare(folders, folders.programFolder()) && folders.setWorkingFolder(path(folders));
}

}  // namespace user_folder
