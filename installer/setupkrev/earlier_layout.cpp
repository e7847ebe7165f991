#include "installer/setupkrev/earlier_layout.h"

#include "krev/settings.h"
#include "krev/user_folder.h"
#include "product_config.h"

namespace earlier_layout {

namespace {

constexpr const char* kInstalled[] = {KREV_INSTALLED_FILES};
// Beside the programs, earlier installs kept the shared settings and the version file.
constexpr const char* kEarlierData[] = {user_folder::kStartingSettings, user_folder::kSettings, "Ver.chk",
                                        "Ver.chk.part"};
constexpr std::size_t kSettingsLimit = 64 * 1024;
constexpr unsigned kSettingsCapacity = 255;
constexpr char kCarried[] = "Earlier.ini";

// An existing folder, held.
std::unique_ptr<platform::HeldFolder> hold(platform::Folders& folders, const std::string& path) {
    platform::Hold ignored;
    return folders.holdFolder(path, false, ignored);
}

// The reader and the registration flag of `bytes`, read as a profile file of its own in the
// staging folder, where no user reaches it, become <staging>\StartingReader.ini.
bool writeStartingSettings(platform::Folders& folders, platform::Files& files, const std::string& staging,
                           const std::string& bytes) {
    const auto staged = hold(folders, staging);
    if (staged == nullptr) return false;
    staged->removeFile(kCarried);
    if (!staged->createFile(kCarried, bytes)) return false;
    const std::string from = std::string(".\\") + kCarried;
    const std::string to = std::string(".\\") + user_folder::kStartingSettings;
    const std::string select =
        files.readProfileString(settings::kReaderSection, settings::kSelectKey, "", kSettingsCapacity, from.c_str());
    const std::string check =
        files.readProfileString(settings::kRegisterSection, settings::kCheckKey, "", kSettingsCapacity, from.c_str());
    staged->removeFile(kCarried);
    bool written = true;
    if (!select.empty()) {
        written = files.writeProfileString(settings::kReaderSection, settings::kSelectKey, select.c_str(), to.c_str());
    }
    if (written && !check.empty()) {
        written = files.writeProfileString(settings::kRegisterSection, settings::kCheckKey, check.c_str(), to.c_str());
    }
    return written;
}

}  // namespace

bool carrySettings(platform::Folders& folders, platform::Files& files, const std::string& programFolder,
                   const std::string& staging) {
    if (folders.pathState(programFolder + "\\" + user_folder::kStartingSettings).exists) return true;
    const auto earlier = hold(folders, kFolder);
    // Any user may make C:\KREV: its settings become every user's only when an earlier install,
    // an administrator's, made it.
    if (earlier == nullptr || !folders.ownedByAdministrators(kFolder)) return true;
    std::string bytes;
    if (!earlier->readFile(user_folder::kStartingSettings, kSettingsLimit, bytes) &&
        !earlier->readFile(user_folder::kSettings, kSettingsLimit, bytes)) {
        return true;
    }
    // Profile files are named relative to the working folder; it is left again afterwards, since
    // a folder that is some process's working folder cannot be removed.
    const std::string working = folders.workingFolder();
    if (!folders.setWorkingFolder(staging)) return false;
    const bool written = writeStartingSettings(folders, files, staging, bytes);
    folders.setWorkingFolder(working);
    return written;
}

Tidying keepOnlyData(platform::Folders& folders, const std::string& programFolder) {
    Tidying tidying{false, false, {}};
    platform::Hold outcome;
    const auto earlier = folders.holdFolder(kFolder, true, outcome);
    if (earlier == nullptr) {
        tidying.link = outcome == platform::Hold::notAFolder;
        return tidying;
    }
    if (earlier->entry(user_folder::kDefaultCheck) == platform::Entry::missing) {
        std::string bytes;
        if (folders.readFile(programFolder + "\\" + user_folder::kDefaultCheck, kSettingsLimit, bytes)) {
            earlier->createFile(user_folder::kDefaultCheck, bytes);
        }
    }
    tidying.dataWritten = earlier->entry(user_folder::kDefaultCheck) == platform::Entry::plainFile;
    auto removeOurs = [&](const char* name) {
        if (std::string(name) == user_folder::kDefaultCheck) return;
        if (earlier->entry(name) != platform::Entry::missing && !earlier->removeFile(name)) tidying.left.push_back(name);
    };
    for (const char* name : kInstalled) removeOurs(name);
    for (const char* name : kEarlierData) removeOurs(name);
    return tidying;
}

std::vector<std::string> remove(platform::Folders& folders) {
    const auto earlier = hold(folders, kFolder);
    if (earlier == nullptr) return {};
    std::vector<std::string> left;
    if (earlier->entry(user_folder::kDefaultCheck) != platform::Entry::missing &&
        !earlier->removeFile(user_folder::kDefaultCheck)) {
        left.push_back(std::string(kFolder) + "\\" + user_folder::kDefaultCheck);
    }
    earlier->removeIfEmpty();
    return left;
}

}  // namespace earlier_layout
