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
    char paths[kOurFileCount][kPathCapacity];
    int running;
    int holders;
    HolderReport report;
    void* context;
};

// Started through a short path, a program shows its short name in the process list.
bool namedAsOurs(const Search& search, const char* name) {
    for (int file = 0; file < kOurFileCount; ++file) {
        if (sameName(name, kOurFiles[file]) || sameName(name, search.shortNames[file])) return true;
    }
    return false;
}

// A program of ours by name whose file lies in the folder; `unknown` when the process could not
// be asked where it lies.
bool oursHere(const Search& search, platform::ProcessId id, const char* name, bool& unknown) {
    unknown = false;
    if (!namedAsOurs(search, name)) return false;
    platform::FileIdentity folder;
    switch (search.system->programFolder(id, folder)) {
    case platform::ProgramLookup::processUnknown:
        unknown = true;
        return false;
    case platform::ProgramLookup::folderUnknown:
        // Our folder is one this process opens: a folder it cannot open is another one.
        return false;
    case platform::ProgramLookup::found:
        break;
    }
    return folder == search.folder;
}

void countHolder(void* context, platform::ProcessId id, const char* name) {
    Search& search = *static_cast<Search*>(context);
    bool unknown = false;
    // What will be ended below, and the installer that runs this, hold our files for no longer.
    if (id == search.self || id == search.starter || oursHere(search, id, name, unknown)) return;
    ++search.holders;
    search.report(search.context, name);
}

void endIfOurs(void* context, platform::ProcessId id, const char* name) {
    Search& search = *static_cast<Search*>(context);
    // The installer or uninstaller that started this one may run from the folder itself.
    if (id == search.self || id == search.starter) return;
    bool unknown = false;
    if (!oursHere(search, id, name, unknown)) {
        // Named as ours and not to be asked where it lies: it may be ours, so it counts.
        if (unknown) ++search.running;
        return;
    }
    ++search.running;
    // A Krev whose window this desktop reaches is asked to exit; every other program of ours,
    // and a Krev in another session, is ended where it stands.
    if (sameName(name, "Krev.exe") && search.system->postCommand(id, KREV_ABOUT_CAPTION, ID_EXIT) > 0) return;
    search.system->terminate(id);
}

bool heldByOthers(Search& search) {
    const char* paths[kOurFileCount];
    int count = 0;
    for (int file = 0; file < kOurFileCount; ++file) {
        if (search.paths[file][0] != '\0') paths[count++] = search.paths[file];
    }
    search.holders = 0;
    search.system->forEachHolder(paths, count, countHolder, &search);
    return search.holders > 0;
}

}  // namespace

int endProgramsIn(platform::Processes& system, const char* folder, HolderReport report, void* context) {
    Search search{};
    search.system = &system;
    search.report = report;
    search.context = context;
    // Nothing runs from a folder that is not there, and nothing of ours from the folder that a
    // link or junction there leads to.
    if (system.folderIdentity(folder, search.folder) != platform::FolderLookup::folder) return kNoneRuns;
    // Other users' processes grant an administrator nothing without it.
    system.enableDebugPrivilege();
    search.self = system.currentProcess();
    search.starter = system.parentProcess();
    for (int file = 0; file < kOurFileCount; ++file) {
        char* path = search.paths[file];
        if (std::strlen(folder) + std::strlen(kOurFiles[file]) + 2 > kPathCapacity) continue;
        std::strcpy(path, folder);
        std::strcat(path, "\\");
        std::strcat(path, kOurFiles[file]);
        system.shortName(path, search.shortNames[file], kShortNameCapacity);
    }
    // Whatever can refuse comes before anything is ended.
    if (report != nullptr && heldByOthers(search)) return kHeldByOthers;
    // Looked for again and again, so that a program of ours started meanwhile is ended too.
    const unsigned long started = system.tickCount();
    for (;;) {
        search.running = 0;
        system.forEachProcess(endIfOurs, &search);
        if (search.running == 0) return kNoneRuns;
        if (system.tickCount() - started >= kWaitMs) return kStillRuns;
        system.sleep(kLookAgainMs);
    }
}

}  // namespace installed_closer
