#include "installer/setupkrev/earlier_layout.h"

#include "krev/settings.h"
#include "krev/user_folder.h"
#include "platform/profile_text.h"
#include "product_config.h"

namespace earlier_layout {

namespace {

constexpr const char* kInstalled[] = {KREV_INSTALLED_FILES};
// Beside the programs, earlier installs kept the shared settings and the version file.
constexpr const char* kEarlierData[] = {user_folder::kStartingSettings, user_folder::kSettings, "Ver.chk",
                                        "Ver.chk.part"};
constexpr std::size_t kSettingsLimit = 64 * 1024;
constexpr unsigned kSettingsCapacity = 255;

// An existing folder, held.
std::unique_ptr<platform::HeldFolder> hold(platform::Folders& folders, const std::string& path) {
    platform::Hold ignored;
    return folders.holdFolder(path, false, ignored);
}

}  // namespace

bool carrySettings(platform::Folders& folders, const std::string& programFolder) {
    const auto program = hold(folders, programFolder);
    if (program == nullptr) return false;
    if (program->entry(user_folder::kStartingSettings) != platform::Entry::missing) return true;
    const auto earlier = hold(folders, kFolder);
    std::string bytes;
    if (earlier == nullptr ||
        (!earlier->readAdministratorsFile(user_folder::kStartingSettings, kSettingsLimit, bytes) &&
         !earlier->readAdministratorsFile(user_folder::kSettings, kSettingsLimit, bytes))) {
        return true;
    }
    const std::string select =
        profile_text::read(bytes, settings::kReaderSection, settings::kSelectKey, "", kSettingsCapacity);
    const std::string check =
        profile_text::read(bytes, settings::kRegisterSection, settings::kCheckKey, "", kSettingsCapacity);
    std::string starting;
    if (!select.empty()) starting = profile_text::write(starting, settings::kReaderSection, settings::kSelectKey, select.c_str());
    if (!check.empty()) starting = profile_text::write(starting, settings::kRegisterSection, settings::kCheckKey, check.c_str());
    return starting.empty() || program->createFile(user_folder::kStartingSettings, starting);
}

Tidying keepOnlyData(platform::Folders& folders, const std::string& defaultCheck) {
    Tidying tidying{false, false, {}};
    platform::Hold outcome;
    const auto earlier = folders.holdFolder(kFolder, true, outcome);
    if (earlier == nullptr) {
        tidying.link = outcome == platform::Hold::notAFolder;
        return tidying;
    }
    if (earlier->entry(user_folder::kDefaultCheck) == platform::Entry::missing) {
        earlier->createFile(user_folder::kDefaultCheck, defaultCheck);
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
