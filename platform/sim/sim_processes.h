// Running programs for the closer's tests: each with the folder its program lies in, whether
// this process may ask about it, and whether it answers Exit.
#pragma once
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/processes.h"

namespace platform::sim {

struct SimProcess {
    ProcessId id;
    std::string name;     // as the process list shows it (a short name when started so)
    std::string folder;   // where its program lies, in any spelling that folders maps; a folder
                          // not mapped is one that this process cannot open
    bool otherUser;       // asked about only with the debug privilege
    bool hasAboutWindow;  // a Krev whose window this desktop reaches
    bool endsOnExit;      // false: Exit waits for a message box
    bool unopenable = false;  // not to be opened even with the debug privilege
    // What happened to it.
    int exitsPosted = 0;
    bool terminated = false;
    bool running = true;
};

class SimProcesses final : public Processes {
public:
    std::vector<SimProcess> processes;
    std::map<std::string, unsigned long> folders;      // path -> index: two spellings, one folder
    std::map<std::string, std::string> shortNames;     // path -> short name
    std::set<std::string> links;                       // paths that are links or junctions
    int endedOrAsked = 0;                              // Exit posts and terminations, in all
    bool debugPrivilege = false;
    unsigned long now = 0;
    int openHandles = 0;                               // opened and not yet closed
    // What happens on the machine once the closer has opened a process (its ID cannot be reused
    // while the handle is open; the test may try).
    std::function<void(ProcessId)> afterOpen;

    SimProcess& process(ProcessId id);

    bool enableDebugPrivilege() override;
    FolderLookup folderIdentity(const char* path, FileIdentity& identity) override;
    void shortName(const char* path, char* name, unsigned capacity) override;
    ProcessId currentProcess() override { return 1; }
    ProcessId parentProcess() override { return 2; }
    void forEachProcess(ProcessVisitor visit, void* context) override;
    ProcessHandle openProcess(ProcessId id) override;
    void closeProcess(ProcessHandle process) override;
    ProgramLookup programFolder(ProcessHandle process, FileIdentity& folder) override;
    int postCommand(ProcessId id, const char* windowTitle, unsigned command) override;
    void terminate(ProcessHandle process) override;
    void sleep(unsigned milliseconds) override { now += milliseconds; }
    unsigned long tickCount() override { return now; }
};

}  // namespace platform::sim
