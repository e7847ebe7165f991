#include "platform/sim/sim_processes.h"

#include <cstring>
#include <stdexcept>

namespace platform::sim {

SimProcess& SimProcesses::process(ProcessId id) {
    for (SimProcess& candidate : processes) {
        if (candidate.id == id) return candidate;
    }
    throw std::out_of_range("no such process");
}

void SimProcesses::run(SimProcess process) {
    process.started = ++nextStart;
    processes.push_back(process);
}

bool SimProcesses::enableDebugPrivilege() {
    debugPrivilege = true;
    return true;
}

FolderLookup SimProcesses::folderIdentity(const char* path, FileIdentity& identity) {
    pathsLookedAt.emplace_back(path);
    if (links.count(path) != 0) return FolderLookup::link;
    auto found = folders.find(path);
    if (found == folders.end()) return FolderLookup::missing;
    identity = FileIdentity{0x1234, 0, found->second};
    return FolderLookup::folder;
}

void SimProcesses::shortPath(const char* path, char* shortened, unsigned capacity) {
    pathsLookedAt.emplace_back(path);
    auto found = shortPaths.find(path);
    const std::string form = found == shortPaths.end() ? std::string() : found->second;
    std::strncpy(shortened, form.c_str(), capacity - 1);
    shortened[capacity - 1] = '\0';
}

void SimProcesses::forEachProcess(ProcessVisitor visit, void* context) {
    const std::vector<SimProcess> running = processes;  // a visit may end one
    for (const SimProcess& listed : running) {
        if (listed.running) visit(context, listed.id, listed.name.c_str());
    }
}

// A handle is the place of the process in the list: the very process that was opened.
ProcessHandle SimProcesses::openProcess(ProcessId id) {
    for (std::size_t at = processes.size(); at-- > 0;) {
        SimProcess& candidate = processes[at];
        if (candidate.id != id || !candidate.running) continue;
        if (candidate.goneBeforeOpen) candidate.running = false;
        if (!candidate.running || candidate.unopenable || (candidate.otherUser && !debugPrivilege)) return nullptr;
        ++openHandles;
        if (afterOpen) afterOpen(id);
        return reinterpret_cast<ProcessHandle>(at + 1);
    }
    return nullptr;
}

void SimProcesses::closeProcess(ProcessHandle process) {
    if (process != nullptr) --openHandles;
}

bool SimProcesses::programPath(ProcessHandle process, char* path, unsigned capacity) {
    const SimProcess& asked = processes.at(reinterpret_cast<std::size_t>(process) - 1);
    const std::string image = asked.folder + "\\" + asked.name;
    if (image.size() >= capacity) return false;
    std::strcpy(path, image.c_str());
    return true;
}

unsigned long long SimProcesses::startTime(ProcessHandle process) {
    return processes.at(reinterpret_cast<std::size_t>(process) - 1).started;
}

int SimProcesses::postCommand(ProcessId id, const char* windowTitle, unsigned) {
    SimProcess& target = process(id);
    if (!target.hasAboutWindow || std::strcmp(windowTitle, "About Vyx") != 0) return 0;
    ++target.exitsPosted;
    ++endedOrAsked;
    if (target.endsOnExit) target.running = false;
    return 1;
}

void SimProcesses::terminate(ProcessHandle process) {
    SimProcess& target = processes.at(reinterpret_cast<std::size_t>(process) - 1);
    if (!target.running) return;
    target.terminated = true;
    ++endedOrAsked;
    target.running = false;
}

}  // namespace platform::sim
