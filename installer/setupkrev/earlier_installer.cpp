#include "installer/setupkrev/earlier_installer.h"

#include "installer/setupkrev/earlier_layout.h"
#include "krev/user_folder.h"
#include "platform/cp950.h"
#include "product_config.h"

namespace earlier_installer {

namespace {

constexpr const char* kInstalled[] = {KREV_INSTALLED_FILES};
// Where the earlier installer staged an upgrade and set the earlier version aside, with the
// journal of its swap.
constexpr const char* kStagingFolders[] = {"Update", "Previous"};
constexpr const char* kJournals[] = {"swap.txt", "swap.txt.new"};
constexpr char kUninstaller[] = "Uninstall.exe";

std::unique_ptr<platform::HeldFolder> hold(platform::Folders& folders, const std::string& path) {
    platform::Hold ignored;
    return folders.holdFolder(path, false, ignored);
}

void removeOurs(platform::HeldFolder& folder, const std::string& path, const char* name,
                std::vector<std::string>& left) {
    if (folder.entry(name) != platform::Entry::missing && !folder.removeFile(name)) left.push_back(path + "\\" + name);
}

void removeStaging(platform::Folders& folders, const std::string& earlier, std::vector<std::string>& left) {
    for (const char* name : kStagingFolders) {
        const std::string path = earlier + "\\" + name;
        const auto staging = hold(folders, path);
        if (staging == nullptr) continue;
        for (const char* file : kInstalled) removeOurs(*staging, path, file, left);
        for (const char* file : kJournals) removeOurs(*staging, path, file, left);
        staging->removeIfEmpty();
    }
}

std::string withoutTrailingSeparator(std::string path) {
    while (path.size() > 3 && path.back() == '\\') path.pop_back();
    return path;
}

}  // namespace

std::vector<std::string> takeOver(platform::Folders& folders, Entry& entry, const std::string& programFolder) {
    std::string named;
    if (!entry.folder(named)) return {};
    const std::string earlier = withoutTrailingSeparator(named);
    std::vector<std::string> left;
    // The earliest layout's C:\KREV is the earlier layout's to tidy (earlier_layout.h).
    const auto folder = cp950::equalsIgnoreCase(earlier.c_str(), earlier_layout::kFolder) ? nullptr
                                                                                          : hold(folders, earlier);
    if (folder != nullptr) {
        const auto program = hold(folders, programFolder);
        platform::FileIdentity programIdentity{};
        platform::FileIdentity earlierIdentity{};
        // A folder that cannot be told apart from the program folder counts as it: only the
        // uninstaller goes there, never a program.
        const bool another = program != nullptr && program->identity(programIdentity) &&
                             folder->identity(earlierIdentity) && !(programIdentity == earlierIdentity);
        removeStaging(folders, earlier, left);
        if (another) {
            for (const char* name : kInstalled) removeOurs(*folder, earlier, name, left);
            removeOurs(*folder, earlier, user_folder::kStartingSettings, left);
            folder->removeIfEmpty();
        } else {
            removeOurs(*folder, earlier, kUninstaller, left);
        }
    }
    // Its uninstaller would remove the package's files by their names: the entry goes in any case.
    if (!entry.remove()) left.push_back("Uninstall\\Vyx");
    return left;
}

}  // namespace earlier_installer
