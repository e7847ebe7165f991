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

bool SimProcesses::enableDebugPrivilege() {
    debugPrivilege = true;
    return true;
}

bool SimProcesses::fileIdentity(const char* path, FileIdentity& identity) {
    auto found = folders.find(path);
    if (found == folders.end()) return false;
    identity = FileIdentity{0x1234, 0, found->second};
    return true;
}

void SimProcesses::shortName(const char* path, char* name, unsigned capacity) {
    auto found = shortNames.find(path);
    const std::string shortened = found == shortNames.end() ? std::string() : found->second;
    std::strncpy(name, shortened.c_str(), capacity - 1);
    name[capacity - 1] = '\0';
}

void SimProcesses::forEachProcess(ProcessVisitor visit, void* context) {
    const std::vector<SimProcess> running = processes;  // a visit may end one
    for (const SimProcess& listed : running) {
        if (listed.running) visit(context, listed.id, listed.name.c_str());
    }
}

bool SimProcesses::programFolder(ProcessId id, FileIdentity& folder) {
    const SimProcess& asked = process(id);
    if (asked.otherUser && !debugPrivilege) return false;
    return fileIdentity(asked.folder.c_str(), folder);
}

int SimProcesses::postCommand(ProcessId id, const char* windowTitle, unsigned) {
    SimProcess& target = process(id);
    if (!target.hasAboutWindow || std::strcmp(windowTitle, "About Vyx") != 0) return 0;
    ++target.exitsPosted;
    if (target.endsOnExit) target.running = false;
    return 1;
}

void SimProcesses::terminate(ProcessId id) {
    SimProcess& target = process(id);
    target.terminated = true;
    target.running = false;
}

}  // namespace platform::sim
