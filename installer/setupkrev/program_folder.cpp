#include "installer/setupkrev/program_folder.h"

#include <cstring>

#include "krev/settings.h"
#include "krev/user_folder.h"
#include "product_config.h"

namespace program_folder {

namespace {

// What an earlier install of ours left beside its programs.
constexpr const char* kEarlierLayout[] = {"Reader.ini", "Ver.chk", "Ver.chk.part"};
constexpr const char* kInstalled[] = {KREV_INSTALLED_FILES};
constexpr unsigned kSettingsCapacity = 255;

char folded(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool sameName(const char* left, const std::string& right) {
    const std::size_t length = std::strlen(left);
    if (length != right.size()) return false;
    for (std::size_t at = 0; at < length; ++at) {
        if (folded(left[at]) != folded(right[at])) return false;
    }
    return true;
}

bool ours(const std::string& name) {
    for (const char* installed : kInstalled) {
        if (sameName(installed, name)) return true;
    }
    for (const char* earlier : kEarlierLayout) {
        if (sameName(earlier, name)) return true;
    }
    return sameName(user_folder::kStartingSettings, name);
}

// The entries that are not ours, or not plain files of their own (a hard link named as one of
// ours is another file, which securing and replacing it would change); false when the folder
// cannot be listed.
bool foreignEntries(platform::Folders& folders, const std::string& folder, std::vector<std::string>& entries,
                    std::vector<std::string>& foreign) {
    if (!folders.listFolder(folder, entries)) return false;
    for (const std::string& name : entries) {
        const platform::PathState state = folders.pathState(folder + "\\" + name);
        if (!ours(name) || state.folder || state.reparsePoint || state.otherNames) foreign.push_back(name);
    }
    return true;
}

bool isUsableFolder(const platform::PathState& state) { return state.exists && state.folder && !state.reparsePoint; }

// Owner first: once Administrators own it, they may set its rights whatever it granted before.
bool take(platform::FileSecurity& security, const std::string& path, const char* descriptor) {
    return security.setOwner(path, descriptor) && security.setProtectedRights(path, descriptor);
}

// The earlier, shared Reader.ini: its two settings start every user's own file. Read and written
// by name in the program folder, the working directory here.
bool keepEarlierSettings(platform::Files& files, platform::FileSecurity& security, const std::string& folder) {
    const char* const kEarlier = settings::kFile;
    if (!files.fileExists(kEarlier)) return true;
    const std::string starting = std::string(".\\") + user_folder::kStartingSettings;
    const std::string select =
        files.readProfileString(settings::kReaderSection, settings::kSelectKey, "", kSettingsCapacity, kEarlier);
    const std::string check =
        files.readProfileString(settings::kRegisterSection, settings::kCheckKey, "", kSettingsCapacity, kEarlier);
    files.deleteFile(starting.c_str());
    bool kept = true;
    if (!select.empty()) {
        kept = files.writeProfileString(settings::kReaderSection, settings::kSelectKey, select.c_str(), starting.c_str());
    }
    if (kept && !check.empty()) {
        kept = files.writeProfileString(settings::kRegisterSection, settings::kCheckKey, check.c_str(), starting.c_str());
    }
    if (!kept) return false;
    if (files.fileExists(starting.c_str()) &&
        !take(security, folder + "\\" + user_folder::kStartingSettings, kFileSecurity)) {
        return false;
    }
    return files.deleteFile(kEarlier);
}

Result failed(Outcome outcome, std::vector<std::string> names) { return Result{outcome, std::move(names)}; }

}  // namespace

int exitCode(Outcome outcome) {
    switch (outcome) {
    case Outcome::ready:
        return 0;
    case Outcome::notAFolder:
        return 4;
    case Outcome::foreignEntries:
        return 5;
    case Outcome::changeFailed:
        return 6;
    }
    return 6;
}

Result secure(platform::Folders& folders, platform::FileSecurity& security, platform::Files& files,
              const std::string& folder) {
    const platform::PathState state = folders.pathState(folder);
    if (state.exists && !isUsableFolder(state)) return failed(Outcome::notAFolder, {folder});
    std::vector<std::string> entries;
    std::vector<std::string> foreign;
    if (state.exists) {
        if (!foreignEntries(folders, folder, entries, foreign)) return failed(Outcome::changeFailed, {folder});
        if (!foreign.empty()) return failed(Outcome::foreignEntries, foreign);
    }
    // An administrator may take what another user owns and denies everyone else.
    security.enablePrivilege("SeTakeOwnershipPrivilege");
    security.enablePrivilege("SeRestorePrivilege");
    if (!state.exists && !security.createSecuredFolder(folder, kFolderSecurity)) {
        return failed(Outcome::changeFailed, {folder});
    }
    if (!take(security, folder, kFolderSecurity)) return failed(Outcome::changeFailed, {folder});
    // No user may change the folder now: what it holds is what it keeps holding.
    if (!isUsableFolder(folders.pathState(folder))) return failed(Outcome::notAFolder, {folder});
    if (!foreignEntries(folders, folder, entries, foreign)) return failed(Outcome::changeFailed, {folder});
    if (!foreign.empty()) return failed(Outcome::foreignEntries, foreign);
    for (const std::string& name : entries) {
        if (!take(security, folder + "\\" + name, kFileSecurity)) return failed(Outcome::changeFailed, {name});
    }
    if (!folders.setWorkingFolder(folder)) return failed(Outcome::changeFailed, {folder});
    if (!keepEarlierSettings(files, security, folder)) return failed(Outcome::changeFailed, {"Reader.ini"});
    for (const char* leftover : {".\\Ver.chk", ".\\Ver.chk.part"}) {
        if (files.fileExists(leftover) && !files.deleteFile(leftover)) return failed(Outcome::changeFailed, {leftover + 2});
    }
    return Result{Outcome::ready, {}};
}

}  // namespace program_folder
