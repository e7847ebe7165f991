#include "outside/closekrev/installed_closer.h"

#include <cstring>

#include "krev/res/resource.h"
#include "product_config.h"

namespace installed_closer {

namespace {

constexpr const char* kOurFiles[] = {KREV_INSTALLED_FILES};
constexpr int kOurFileCount = static_cast<int>(sizeof kOurFiles / sizeof kOurFiles[0]);
constexpr unsigned kPathCapacity = 1024;
constexpr int kRememberedCapacity = 256;

char folded(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Letter case aside, as Windows compares names; `length` characters, or to the end.
bool sameText(const char* left, const char* right, std::size_t length = static_cast<std::size_t>(-1)) {
    for (std::size_t at = 0; at < length; ++at) {
        if (folded(left[at]) != folded(right[at])) return false;
        if (left[at] == '\0') return true;
    }
    return true;
}

const char* lastPart(const char* path) {
    const char* name = path;
    for (const char* at = path; *at != '\0'; ++at) {
        if (*at == '\\') name = at + 1;
    }
    return name;
}

// A process known by its ID and its start: the ID alone may pass to a new process.
struct Asked {
    platform::ProcessId id;
    unsigned long long started;
};

struct Search {
    platform::Processes* system;
    // The program folder as the package names it, and its short form: a program started by its
    // short path shows that in its image's path.
    char folder[kPathCapacity];
    char shortFolder[kPathCapacity];
    char shortNames[kOurFileCount][kPathCapacity];
    platform::ProcessId self;
    platform::ProcessId starter;
    // The processes already ended or asked to exit; one of them seen again has not ended.
    Asked asked[kRememberedCapacity];
    int askedCount;
    int survivors;  // asked before and still running
    int newlyEnded;
};

// Started through a short path, a program shows its short name in the process list.
bool namedAsOurs(const Search& search, const char* name) {
    for (int file = 0; file < kOurFileCount; ++file) {
        if (sameText(name, kOurFiles[file]) || sameText(name, search.shortNames[file])) return true;
    }
    return false;
}

// `path` is <folder>\<one of our names>, the folder compared as text, in either of its forms: no
// folder is opened to tell, so a path that a user named (a share, WebDAV) is never reached.
bool inTheProgramFolder(const Search& search, const char* path) {
    const char* name = lastPart(path);
    if (name == path || !namedAsOurs(search, name)) return false;
    const std::size_t folderLength = static_cast<std::size_t>(name - 1 - path);
    const char* const forms[] = {search.folder, search.shortFolder};
    for (const char* folder : forms) {
        if (folder[0] != '\0' && std::strlen(folder) == folderLength && sameText(path, folder, folderLength)) return true;
    }
    return false;
}

bool askedBefore(const Search& search, const Asked& process) {
    for (int at = 0; at < search.askedCount; ++at) {
        if (search.asked[at].id == process.id && search.asked[at].started == process.started) return true;
    }
    return false;
}

void endIfOurs(void* context, platform::ProcessId id, const char* name) {
    Search& search = *static_cast<Search*>(context);
    // The installer or uninstaller that started this one may run from the folder itself.
    if (id == search.self || id == search.starter || !namedAsOurs(search, name)) return;
    // One handle from the check to the end: the ID cannot pass to another process meanwhile. A
    // process that is gone by now, or that cannot be opened or asked where its program lies, is
    // none of ours to wait for.
    const platform::ProcessHandle process = search.system->openProcess(id);
    if (process == nullptr) return;
    char path[kPathCapacity];
    if (search.system->programPath(process, path, kPathCapacity) && inTheProgramFolder(search, path)) {
        const Asked seen{id, search.system->startTime(process)};
        if (askedBefore(search, seen)) {
            ++search.survivors;
        } else {
            ++search.newlyEnded;
            if (search.askedCount < kRememberedCapacity) search.asked[search.askedCount++] = seen;
            // A Krev whose window this desktop reaches is asked to exit; every other program of
            // ours, and a Krev in another session, is ended where it stands.
            if (!sameText(lastPart(path), "Krev.exe") || search.system->postCommand(id, KREV_ABOUT_CAPTION, ID_EXIT) == 0) {
                search.system->terminate(process);
            }
        }
    }
    search.system->closeProcess(process);
}

bool copied(char (&to)[kPathCapacity], const char* from) {
    if (std::strlen(from) >= kPathCapacity) return false;
    std::strcpy(to, from);
    return true;
}

}  // namespace

int endProgramsIn(platform::Processes& system, const char* folder) {
    Search search{};
    search.system = &system;
    // A share's folder is never reached from here (the system account would authenticate to its
    // server), and no program of ours runs from a folder that is not there, or from the folder
    // that a link or junction there leads to.
    platform::FileIdentity identity{};
    if ((folder[0] == '\\' && folder[1] == '\\') || !copied(search.folder, folder) ||
        system.folderIdentity(folder, identity) != platform::FolderLookup::folder) {
        return kNoneRuns;
    }
    // Other users' processes grant an administrator nothing without it.
    system.enableDebugPrivilege();
    search.self = system.currentProcess();
    search.starter = system.parentProcess();
    system.shortPath(folder, search.shortFolder, kPathCapacity);
    char path[kPathCapacity];
    for (int file = 0; file < kOurFileCount; ++file) {
        if (std::strlen(folder) + std::strlen(kOurFiles[file]) + 2 > kPathCapacity) continue;
        std::strcpy(path, folder);
        std::strcat(path, "\\");
        std::strcat(path, kOurFiles[file]);
        char shortened[kPathCapacity];
        system.shortPath(path, shortened, kPathCapacity);
        copied(search.shortNames[file], lastPart(shortened));
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
