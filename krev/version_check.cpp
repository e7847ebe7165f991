#include "krev/version_check.h"

#include <cstring>

#include "krev/version_record.h"
#include "krev/web_pages.h"
#include "platform/command_line.h"

#include <cstdlib>

namespace {

constexpr char kVersionFile[] = ".\\Ver.chk";
constexpr const char* kOwnGroups[4] = {"003", "002", "000", "001"};
constexpr unsigned kStartPauseMs = 100;
constexpr int kOpenRetries = 10;
constexpr unsigned kRetryPauseMs = 1000;
constexpr unsigned kLinePauseMs = 50;
constexpr int kLineBufferSize = 512;
constexpr char kDamagedFilesMessage[] =
    "Vyx程式可能缺少完整檔案或是發生檔案損毀，請先移除後再重新完整安裝。";

// False when memory for the command could not be had: nothing was started.
bool startFetcher(platform::Platform& platform) {
    char* command = command_line::build("Pellit.dll", false, web_pages::kVersionCheck);
    if (command == nullptr) return false;
    platform.startProgram(command, platform::kShowHide);
    std::free(command);
    return true;
}

std::unique_ptr<platform::TextFile> waitForVersionFile(platform::Platform& platform) {
    platform.sleep(kStartPauseMs);
    for (int retries = kOpenRetries;; --retries) {
        std::unique_ptr<platform::TextFile> file = platform.openTextFile(kVersionFile);
        if (file != nullptr || retries == 0) return file;
        platform.sleep(kRetryPauseMs);
    }
}

}  // namespace

void readVersionRecord(const char* line, PublishedVersion& version) {
    version_record::Groups groups;
    if (!version_record::cutGroups(line, groups)) return;
    for (int group = 0; group < version_record::kGroupCount; ++group) version.groups[group] = groups[group];
}

int isNewerVersion(const PublishedVersion& version) {
    for (int group = 0; group < 4; ++group) {
        const int order = version.groups[group].compare(kOwnGroups[group]);
        if (order != 0) return order > 0 ? 1 : 0;
    }
    return 0;
}

int CheckVersion(platform::Platform& platform, platform::WindowHandle owner) {
    if (platform.fileExists(kVersionFile) && !platform.deleteFile(kVersionFile)) return 0;
    if (!startFetcher(platform)) return 0;
    std::unique_ptr<platform::TextFile> file = waitForVersionFile(platform);
    if (file == nullptr) {
        platform.messageBox(owner, kDamagedFilesMessage, platform.applicationName().c_str());
        return 0;
    }
    PublishedVersion version;
    char line[kLineBufferSize];
    while (!file->atEnd()) {
        std::memset(line, 0, sizeof line);
        platform.sleep(kLinePauseMs);
        // A read that fails before the end (a stream error) ends the file too: it would fail
        // again at every pass, on the user-interface thread.
        if (!file->readLine(line, sizeof line)) break;
        readVersionRecord(line, version);
    }
    file.reset();
    return isNewerVersion(version);
}
