#include "krev/user_folder.h"

namespace user_folder {

namespace {

constexpr std::size_t kCopyLimit = 64 * 1024;
constexpr const char* kOurFiles[] = {kSettings, "Ver.chk", "Ver.chk.part", kDefaultCheck};

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
    const std::string program = folders.programFolder();
    if (working.empty() || !samePath(working, program)) return false;
    return prepare(folders, program) && folders.setWorkingFolder(path(folders));
}

std::vector<std::string> remove(platform::Folders& folders) {
    const std::string folder = path(folders);
    platform::Hold hold;
    const auto user = folder.empty() ? nullptr : folders.holdFolder(folder, false, hold);
    if (user == nullptr) return {};
    std::vector<std::string> left;
    for (const char* name : kOurFiles) {
        if (user->entry(name) != platform::Entry::missing && !user->removeFile(name)) left.push_back(folder + "\\" + name);
    }
    user->removeIfEmpty();
    return left;
}

}  // namespace user_folder
