#include "krev/user_folder.h"

namespace user_folder {

namespace {

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

}  // namespace

std::string path(platform::Folders& folders) {
    const std::string appData = folders.environmentVariable("APPDATA");
    return appData.empty() ? std::string() : withoutTrailingSeparator(appData) + "\\" + kName;
}

bool prepare(platform::Folders& folders, const std::string& programFolder) {
    const std::string folder = path(folders);
    if (folder.empty()) return false;
    const platform::PathState state = folders.pathState(folder);
    if (state.exists && !state.folder) return false;
    if (!state.exists && !folders.createFolder(folder)) return false;
    const std::string from = withoutTrailingSeparator(programFolder) + "\\";
    folders.copyNewFile(from + kDefaultCheck, folder + "\\" + kDefaultCheck);
    folders.copyNewFile(from + kStartingSettings, folder + "\\" + kSettings);
    return true;
}

std::string folderToWorkIn(platform::Folders& folders, const std::string& programFolder) {
    return prepare(folders, programFolder) ? path(folders) : programFolder;
}

bool leaveReadOnlyProgramFolder(platform::Folders& folders) {
    const std::string working = folders.workingFolder();
    const std::string program = folders.programFolder();
    if (working.empty() || !samePath(working, program) || folders.canCreateFilesIn(working)) return false;
    return prepare(folders, program) && folders.setWorkingFolder(path(folders));
}

}  // namespace user_folder
