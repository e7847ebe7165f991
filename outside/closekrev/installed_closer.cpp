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
    bool holdersAsked;  // the Restart Manager answered
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

// A program of ours by name whose file lies in the folder, asked through the handle that also
// ends it; `unknown` when the process could not be opened or asked where it lies.
bool oursHere(const Search& search, platform::ProcessHandle process, const char* name, bool& unknown) {
    unknown = process == nullptr;
    if (!namedAsOurs(search, name) || process == nullptr) return false;
    platform::FileIdentity folder;
    switch (search.system->programFolder(process, folder)) {
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
    // The installer that runs this holds our files for no longer.
    if (id == search.self || id == search.starter) return;
    // Nor does what will be ended below.
    const platform::ProcessHandle process = namedAsOurs(search, name) ? search.system->openProcess(id) : nullptr;
    bool unknown = false;
    const bool ours = oursHere(search, process, name, unknown);
    if (process != nullptr) search.system->closeProcess(process);
    if (ours) return;
    ++search.holders;
    search.report(search.context, name);
}

void endIfOurs(void* context, platform::ProcessId id, const char* name) {
    Search& search = *static_cast<Search*>(context);
    // The installer or uninstaller that started this one may run from the folder itself.
    if (id == search.self || id == search.starter || !namedAsOurs(search, name)) return;
    // One handle from the check to the end: the ID cannot pass to another process meanwhile.
    const platform::ProcessHandle process = search.system->openProcess(id);
    bool unknown = false;
    if (oursHere(search, process, name, unknown)) {
        ++search.running;
        // A Krev whose window this desktop reaches is asked to exit; every other program of
        // ours, and a Krev in another session, is ended where it stands.
        if (!sameName(name, "Krev.exe") || search.system->postCommand(id, KREV_ABOUT_CAPTION, ID_EXIT) == 0) {
            search.system->terminate(process);
        }
    } else if (unknown) {
        // Named as ours and not to be asked where it lies: it may be ours, so it counts.
        ++search.running;
    }
    if (process != nullptr) search.system->closeProcess(process);
}

bool heldByOthers(Search& search) {
    const char* paths[kOurFileCount];
    int count = 0;
    for (int file = 0; file < kOurFileCount; ++file) {
        if (search.paths[file][0] != '\0') paths[count++] = search.paths[file];
    }
    search.holders = 0;
    search.holdersAsked = search.system->forEachHolder(paths, count, countHolder, &search);
    return search.holders > 0;
}

// Without the Restart Manager's answer (Windows XP, more holders than it lists): once ours have
// ended, a file of ours that still does not open without sharing is held by another program.
// The uninstaller, which may run from the folder itself, holds its own file.
bool filesStillHeld(Search& search) {
    for (int file = 0; file < kOurFileCount; ++file) {
        if (search.paths[file][0] == '\0' || sameName(kOurFiles[file], "Uninstall.exe")) continue;
        if (!search.system->inUse(search.paths[file])) continue;
        ++search.holders;
        search.report(search.context, kOurFiles[file]);
    }
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
        if (search.running == 0) {
            return report != nullptr && !search.holdersAsked && filesStillHeld(search) ? kHeldByOthers : kNoneRuns;
        }
        if (system.tickCount() - started >= kWaitMs) return kStillRuns;
        system.sleep(kLookAgainMs);
    }
}

}  // namespace installed_closer
