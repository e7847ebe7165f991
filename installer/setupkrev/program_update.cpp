#include "installer/setupkrev/program_update.h"

#include <algorithm>

#include "krev/user_folder.h"
#include "product_config.h"

namespace program_update {

namespace {

constexpr const char* kInstalled[] = {KREV_INSTALLED_FILES};
constexpr const char* kStagingFolders[] = {kStaging, kPrevious, kPending};

std::string in(const std::string& folder, const std::string& name) { return folder + "\\" + name; }

std::vector<std::string> ourNames() {
    std::vector<std::string> names(std::begin(kInstalled), std::end(kInstalled));
    names.push_back(user_folder::kStartingSettings);
    return names;
}

struct Step {
    std::string name;
    bool hadEarlier;
};

// A swap's steps and the way an interruption is made whole.
struct Journal {
    bool forward = false;
    std::vector<Step> steps;
};

std::string journalText(const Journal& journal) {
    std::string text = journal.forward ? "forward\n" : "back\n";
    for (const Step& step : journal.steps) text += step.name + (step.hadEarlier ? "\t1\n" : "\t0\n");
    return text;
}

// Only lines naming files of ours count: whatever else a damaged journal holds is passed over.
bool readJournal(platform::Folders& folders, const std::string& path, Journal& journal) {
    std::string text;
    if (!folders.readFile(path, 64 * 1024, text)) return false;
    const std::vector<std::string> ours = ourNames();
    std::size_t start = 0;
    bool first = true;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (first) {
            journal.forward = line == "forward";
            first = false;
            continue;
        }
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::string name = line.substr(0, tab);
        if (std::find(ours.begin(), ours.end(), name) == ours.end()) continue;
        journal.steps.push_back(Step{name, line.substr(tab + 1) == "1"});
    }
    return !first;
}

bool exists(platform::Folders& folders, const std::string& path) { return folders.pathState(path).exists; }

// Our names in a folder go, and then the folder when it is empty; true when it is gone.
bool removeOurs(platform::Folders& folders, const std::string& folder) {
    if (!exists(folders, folder)) return true;
    for (const std::string& name : ourNames()) folders.removeFile(in(folder, name));
    folders.removeFile(in(folder, kJournal));
    folders.removeFile(in(folder, std::string(kJournal) + ".new"));
    return folders.removeFolder(folder);
}

// Undoes a swap, last step first: each new file back to the staging folder, each earlier one
// back in its place. Returns the names whose earlier version is not back.
std::vector<std::string> runBack(platform::Folders& folders, const std::string& folder, const Journal& journal) {
    const std::string staging = in(folder, kStaging);
    const std::string previous = in(folder, kPrevious);
    std::vector<std::string> lost;
    for (auto step = journal.steps.rbegin(); step != journal.steps.rend(); ++step) {
        const std::string live = in(folder, step->name);
        const bool earlierAside = step->hadEarlier && exists(folders, in(previous, step->name));
        const bool newIsLive = !exists(folders, in(staging, step->name)) && exists(folders, live) &&
                               (!step->hadEarlier || earlierAside);
        if (newIsLive && !folders.moveFile(live, in(staging, step->name))) {
            lost.push_back(step->name);
            continue;
        }
        if (earlierAside && !folders.moveFile(in(previous, step->name), live)) lost.push_back(step->name);
    }
    std::reverse(lost.begin(), lost.end());
    return lost;
}

// Completes a swap: each earlier file aside, each new one in its place. Returns the names whose
// new version is not in place.
std::vector<std::string> runForward(platform::Folders& folders, const std::string& folder, const Journal& journal) {
    const std::string staging = in(folder, kStaging);
    const std::string previous = in(folder, kPrevious);
    std::vector<std::string> lost;
    for (const Step& step : journal.steps) {
        const std::string live = in(folder, step.name);
        const std::string staged = in(staging, step.name);
        if (!exists(folders, staged)) continue;  // in place already
        const bool earlierIsLive = step.hadEarlier && exists(folders, live) && !exists(folders, in(previous, step.name));
        if ((earlierIsLive && !folders.moveFile(live, in(previous, step.name))) || !folders.moveFile(staged, live)) {
            lost.push_back(step.name);
        }
    }
    return lost;
}

// After a swap made whole: the earlier files, the journal and the folders of the swap go.
void finish(platform::Folders& folders, const std::string& folder) {
    removeOurs(folders, in(folder, kPrevious));
    removeOurs(folders, in(folder, kStaging));
}

Result failed(platform::Folders& folders, const std::string& folder, const Journal& journal, const std::string& name) {
    Journal back = journal;
    back.forward = false;
    folders.replaceFile(in(in(folder, kPrevious), kJournal), journalText(back));
    std::vector<std::string> lost = runBack(folders, folder, back);
    if (!lost.empty()) return Result{Outcome::notRestored, lost};  // the journal stays for the next install
    finish(folders, folder);
    return Result{Outcome::rolledBack, {name}};
}

Result swapNow(platform::Folders& folders, const std::string& folder, const std::vector<std::string>& names) {
    const std::string staging = in(folder, kStaging);
    const std::string previous = in(folder, kPrevious);
    const std::string journalPath = in(previous, kJournal);
    Journal journal;
    for (const std::string& name : names) journal.steps.push_back(Step{name, exists(folders, in(folder, name))});
    if (!folders.createPrivateFolder(previous)) return Result{Outcome::rolledBack, {kPrevious}};
    if (!folders.replaceFile(journalPath, journalText(journal))) {
        folders.removeFolder(previous);
        return Result{Outcome::rolledBack, {kPrevious}};
    }
    for (const Step& step : journal.steps) {
        if (step.hadEarlier && !folders.moveFile(in(folder, step.name), in(previous, step.name))) {
            return failed(folders, folder, journal, step.name);
        }
    }
    // From here on no user can stop the swap: every name is empty and only administrators
    // reach the staged files.
    journal.forward = true;
    if (!folders.replaceFile(journalPath, journalText(journal))) return failed(folders, folder, journal, kPrevious);
    for (const Step& step : journal.steps) {
        if (!folders.moveFile(in(staging, step.name), in(folder, step.name))) {
            return failed(folders, folder, journal, step.name);
        }
    }
    finish(folders, folder);
    return Result{Outcome::done, {}};
}

Result swapAtRestart(platform::Folders& folders, const std::string& folder, const std::vector<std::string>& names,
                     const std::vector<std::string>& held) {
    const std::string staging = in(folder, kStaging);
    const std::string pending = in(folder, kPending);
    if (!folders.createPrivateFolder(pending)) return Result{Outcome::rolledBack, {kPending}};
    for (const std::string& name : names) {
        if (!folders.moveFile(in(staging, name), in(pending, name))) {
            removeOurs(folders, pending);
            return Result{Outcome::rolledBack, {name}};
        }
    }
    folders.removeFolder(staging);
    // One ordered list, replacing any that an earlier install left: every earlier file out,
    // then every new one in, then the empty folder.
    bool handed = folders.forgetRenamesAtRestart(folder);
    for (const std::string& name : names) {
        if (handed && exists(folders, in(folder, name))) handed = folders.renameAtRestart(in(folder, name), "");
    }
    for (const std::string& name : names) {
        if (handed) handed = folders.renameAtRestart(in(pending, name), in(folder, name));
    }
    if (handed) handed = folders.renameAtRestart(pending, "");
    if (!handed) {
        folders.forgetRenamesAtRestart(folder);
        removeOurs(folders, pending);
        return Result{Outcome::rolledBack, {kPending}};
    }
    return Result{Outcome::atRestart, held};
}

}  // namespace

int exitCode(Outcome outcome) {
    switch (outcome) {
    case Outcome::done:
        return 0;
    case Outcome::atRestart:
        return 3010;
    case Outcome::rolledBack:
        return 2;
    case Outcome::notRestored:
        return 6;
    }
    return 6;
}

Result prepare(platform::Folders& folders, const std::string& folder) {
    for (const char* name : kStagingFolders) {
        if (exists(folders, in(folder, name)) && !folders.isPrivateFolder(in(folder, name))) {
            return Result{Outcome::rolledBack, {name}};
        }
    }
    const std::string previous = in(folder, kPrevious);
    Journal journal;
    if (readJournal(folders, in(previous, kJournal), journal)) {
        const std::vector<std::string> lost =
            journal.forward ? runForward(folders, folder, journal) : runBack(folders, folder, journal);
        if (!lost.empty()) return Result{Outcome::notRestored, lost};
    }
    // This install replaces a swap that waits for the restart.
    folders.forgetRenamesAtRestart(folder);
    const std::string staging = in(folder, kStaging);
    if (!removeOurs(folders, in(folder, kPending)) || !removeOurs(folders, previous)) {
        return Result{Outcome::rolledBack, {exists(folders, previous) ? kPrevious : kPending}};
    }
    if (!removeOurs(folders, staging) || !folders.createPrivateFolder(staging)) {
        return Result{Outcome::rolledBack, {kStaging}};
    }
    return Result{Outcome::done, {}};
}

Result apply(platform::Folders& folders, const std::string& folder) {
    const std::string staging = in(folder, kStaging);
    if (!folders.isPrivateFolder(staging)) return Result{Outcome::rolledBack, {kStaging}};
    std::vector<std::string> names;
    for (const std::string& name : ourNames()) {
        if (exists(folders, in(staging, name))) names.push_back(name);
    }
    if (names.empty()) return Result{Outcome::rolledBack, {kStaging}};
    std::vector<std::string> held;
    for (const std::string& name : names) {
        if (!folders.isUnused(in(folder, name))) held.push_back(name);
    }
    return held.empty() ? swapNow(folders, folder, names) : swapAtRestart(folders, folder, names, held);
}

std::vector<std::string> removeStaging(platform::Folders& folders, const std::string& folder) {
    folders.forgetRenamesAtRestart(folder);
    std::vector<std::string> left;
    for (const char* name : kStagingFolders) {
        const std::string staging = in(folder, name);
        if (!exists(folders, staging)) continue;
        if (!folders.isPrivateFolder(staging) || !removeOurs(folders, staging)) left.push_back(staging);
    }
    return left;
}

}  // namespace program_update
