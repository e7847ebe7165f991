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

constexpr int kRememberedCapacity = 256;

struct Search {
    platform::Processes* system;
    platform::FileIdentity folder;
    platform::ProcessId self;
    platform::ProcessId starter;
    char shortNames[kOurFileCount][kShortNameCapacity];
    // The processes already ended or asked to exit; one of them seen again has not ended.
    platform::ProcessId asked[kRememberedCapacity];
    int askedCount;
    int survivors;  // asked before and still running, or named as ours and not to be asked
    int newlyEnded;
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

bool askedBefore(const Search& search, platform::ProcessId id) {
    for (int at = 0; at < search.askedCount; ++at) {
        if (search.asked[at] == id) return true;
    }
    return false;
}

void endIfOurs(void* context, platform::ProcessId id, const char* name) {
    Search& search = *static_cast<Search*>(context);
    // The installer or uninstaller that started this one may run from the folder itself.
    if (id == search.self || id == search.starter || !namedAsOurs(search, name)) return;
    // One handle from the check to the end: the ID cannot pass to another process meanwhile.
    const platform::ProcessHandle process = search.system->openProcess(id);
    bool unknown = false;
    if (oursHere(search, process, name, unknown)) {
        if (askedBefore(search, id)) {
            ++search.survivors;
        } else {
            ++search.newlyEnded;
            if (search.askedCount < kRememberedCapacity) search.asked[search.askedCount++] = id;
            // A Krev whose window this desktop reaches is asked to exit; every other program of
            // ours, and a Krev in another session, is ended where it stands.
            if (!sameName(name, "Krev.exe") || search.system->postCommand(id, KREV_ABOUT_CAPTION, ID_EXIT) == 0) {
                search.system->terminate(process);
            }
        }
    } else if (unknown) {
        // Named as ours and not to be asked where it lies: it may be ours, so it counts.
        ++search.survivors;
    }
    if (process != nullptr) search.system->closeProcess(process);
}

}  // namespace

int endProgramsIn(platform::Processes& system, const char* folder) {
    Search search{};
    search.system = &system;
    // Nothing runs from a folder that is not there, and nothing of ours from the folder that a
    // link or junction there leads to.
    if (system.folderIdentity(folder, search.folder) != platform::FolderLookup::folder) return kNoneRuns;
    // Other users' processes grant an administrator nothing without it.
    system.enableDebugPrivilege();
    search.self = system.currentProcess();
    search.starter = system.parentProcess();
    char path[kPathCapacity];
    for (int file = 0; file < kOurFileCount; ++file) {
        if (std::strlen(folder) + std::strlen(kOurFiles[file]) + 2 > kPathCapacity) continue;
        std::strcpy(path, folder);
        std::strcat(path, "\\");
        std::strcat(path, kOurFiles[file]);
        system.shortName(path, search.shortNames[file], kShortNameCapacity);
    }
    // Looked for again and again: a program of ours started meanwhile is ended too, and one that
    // was ended or asked to exit must be gone. Only such a survivor fails the install; programs
    // that keep being started anew hold files that Windows Installer replaces at the restart.
    const unsigned long started = system.tickCount();
    for (;;) {
        search.survivors = 0;
        search.newlyEnded = 0;
        system.forEachProcess(endIfOurs, &search);
        if (search.survivors == 0 && search.newlyEnded == 0) return kNoneRuns;
        if (system.tickCount() - started >= kWaitMs) return search.survivors > 0 ? kStillRuns : kNoneRuns;
        system.sleep(kLookAgainMs);
    }
}

}  // namespace installed_closer
