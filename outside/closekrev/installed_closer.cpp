#include "outside/closekrev/installed_closer.h"

#include <cstring>

#include "krev/res/resource.h"
#include "product_config.h"

namespace installed_closer {

namespace {

constexpr const char* kOurFiles[] = {KREV_INSTALLED_FILES};
constexpr int kOurFileCount = static_cast<int>(sizeof kOurFiles / sizeof kOurFiles[0]);
constexpr unsigned kShortNameCapacity = 16;
constexpr unsigned kPathCapacity = 1024;

bool sameName(const char* left, const char* right) {
    for (;; ++left, ++right) {
        const char l = (*left >= 'a' && *left <= 'z') ? static_cast<char>(*left - 'a' + 'A') : *left;
        const char r = (*right >= 'a' && *right <= 'z') ? static_cast<char>(*right - 'a' + 'A') : *right;
        if (l != r) return false;
        if (l == '\0') return true;
    }
}

struct Search {
    platform::Processes* system;
    platform::FileIdentity folder;
    platform::ProcessId self;
    platform::ProcessId starter;
    char shortNames[kOurFileCount][kShortNameCapacity];
    int running;
};

// Started through a short path, a program shows its short name in the process list.
bool namedAsOurs(const Search& search, const char* name) {
    for (int file = 0; file < kOurFileCount; ++file) {
        if (sameName(name, kOurFiles[file]) || sameName(name, search.shortNames[file])) return true;
    }
    return false;
}

void endIfOurs(void* context, platform::ProcessId id, const char* name) {
    Search& search = *static_cast<Search*>(context);
    // The installer or uninstaller that started this one may run from the folder itself.
    if (id == search.self || id == search.starter) return;
    platform::FileIdentity folder;
    if (!search.system->programFolder(id, folder)) {
        // Not to be asked where it lies: named as ours, it may be ours, so it counts as running.
        if (namedAsOurs(search, name)) ++search.running;
        return;
    }
    if (!(folder == search.folder)) return;
    ++search.running;
    // A Krev whose window this desktop reaches is asked to exit; every other program of ours,
    // and a Krev in another session, is ended where it stands.
    if (sameName(name, "Krev.exe") && search.system->postCommand(id, KREV_ABOUT_CAPTION, ID_EXIT) > 0) return;
    search.system->terminate(id);
}

}  // namespace

int endProgramsIn(platform::Processes& system, const char* folder) {
    Search search{};
    search.system = &system;
    // Nothing runs from a folder that is not there.
    if (!system.fileIdentity(folder, search.folder)) return 0;
    system.enableDebugPrivilege();
    search.self = system.currentProcess();
    search.starter = system.parentProcess();
    for (int file = 0; file < kOurFileCount; ++file) {
        char path[kPathCapacity];
        if (std::strlen(folder) + std::strlen(kOurFiles[file]) + 2 > sizeof path) continue;
        std::strcpy(path, folder);
        std::strcat(path, "\\");
        std::strcat(path, kOurFiles[file]);
        system.shortName(path, search.shortNames[file], kShortNameCapacity);
    }
    // Looked for again and again, so that a program of ours started meanwhile is ended too.
    const unsigned long started = system.tickCount();
    for (;;) {
        search.running = 0;
        system.forEachProcess(endIfOurs, &search);
        if (search.running == 0) return 0;
        if (system.tickCount() - started >= kWaitMs) return 1;
        system.sleep(kLookAgainMs);
    }
}

}  // namespace installed_closer
