#include "installer/setupkrev/program_update.h"

#include "krev/user_folder.h"
#include "product_config.h"

namespace program_update {

namespace {

constexpr const char* kInstalled[] = {KREV_INSTALLED_FILES};

struct Step {
    std::string name;
    bool hadEarlier;
};

std::string in(const std::string& folder, const std::string& name) { return folder + "\\" + name; }

// Only files of ours are ever staged.
std::vector<std::string> stagedNames(platform::Folders& folders, const std::string& staging) {
    std::vector<std::string> names;
    for (const char* name : kInstalled) {
        if (folders.pathState(in(staging, name)).exists) names.push_back(name);
    }
    if (folders.pathState(in(staging, user_folder::kStartingSettings)).exists) {
        names.push_back(user_folder::kStartingSettings);
    }
    return names;
}

bool emptyFolder(platform::Folders& folders, const std::string& folder) {
    if (!folders.pathState(folder).exists) return true;
    std::vector<std::string> names;
    if (!folders.listFolder(folder, names)) return false;
    for (const std::string& name : names) folders.removeFile(in(folder, name));
    return folders.removeFolder(folder);
}

// Undoes `done`, last first; the names that could not be put back.
std::vector<std::string> putBack(platform::Folders& folders, const std::string& folder, const std::vector<Step>& done) {
    const std::string staging = in(folder, kStaging);
    const std::string previous = in(folder, kPrevious);
    std::vector<std::string> lost;
    for (auto step = done.rbegin(); step != done.rend(); ++step) {
        const std::string live = in(folder, step->name);
        bool back = folders.moveFile(live, in(staging, step->name));
        if (back && step->hadEarlier) back = folders.moveFile(in(previous, step->name), live);
        if (!back) lost.push_back(step->name);
    }
    return lost;
}

}  // namespace

int exitCode(Outcome outcome) {
    switch (outcome) {
    case Outcome::done:
        return 0;
    case Outcome::inUse:
    case Outcome::rolledBack:
        return 2;
    case Outcome::notRestored:
        return 6;
    }
    return 6;
}

Result apply(platform::Folders& folders, const std::string& folder) {
    const std::string staging = in(folder, kStaging);
    const std::string previous = in(folder, kPrevious);
    const std::vector<std::string> names = stagedNames(folders, staging);
    if (names.empty()) return Result{Outcome::rolledBack, {kStaging}};
    std::vector<std::string> held;
    for (const std::string& name : names) {
        if (!folders.isUnused(in(folder, name))) held.push_back(name);
    }
    if (!held.empty()) {
        emptyFolder(folders, staging);
        return Result{Outcome::inUse, held};
    }
    // What an interrupted run left there.
    if (!emptyFolder(folders, previous) || !folders.createFolder(previous)) return Result{Outcome::rolledBack, {kPrevious}};

    std::vector<Step> done;
    for (const std::string& name : names) {
        const std::string live = in(folder, name);
        const Step step{name, folders.pathState(live).exists};
        const bool replaced = (!step.hadEarlier || folders.moveFile(live, in(previous, name))) &&
                              folders.moveFile(in(staging, name), live);
        if (!replaced) {
            // The earlier file may already wait in Previous.
            if (step.hadEarlier && !folders.pathState(live).exists) folders.moveFile(in(previous, name), live);
            std::vector<std::string> lost = putBack(folders, folder, done);
            if (step.hadEarlier && !folders.pathState(live).exists) lost.insert(lost.begin(), name);
            lost.insert(lost.begin(), name);
            if (lost.size() > 1) return Result{Outcome::notRestored, lost};  // what is left waits in Previous
            folders.removeFolder(previous);
            emptyFolder(folders, staging);
            return Result{Outcome::rolledBack, lost};
        }
        done.push_back(step);
    }
    // A file still in use at this point stays in Previous, and the next install removes it.
    emptyFolder(folders, previous);
    emptyFolder(folders, staging);
    return Result{Outcome::done, {}};
}

}  // namespace program_update
