// Running programs for the closer's tests: each with the folder its program lies in, whether
// this process may ask about it, and whether it answers Exit. Every path that the closer hands
// to the system to look at is noted.
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
    std::string folder;   // where its program lies, as the kernel names its image's path with
                          // the name above
    bool otherUser;       // asked about only with the debug privilege
    bool hasAboutWindow;  // a Krev whose window this desktop reaches
    bool endsOnExit;      // false: Exit waits for a message box
    bool unopenable = false;  // not to be opened even with the debug privilege
    bool goneBeforeOpen = false;  // listed, and ended by the time it is opened
    unsigned long long started = 0;  // given when the test runs it: each start is another
    // What happened to it.
    int exitsPosted = 0;
    bool terminated = false;
    bool running = true;
};

class SimProcesses final : public Processes {
public:
    std::vector<SimProcess> processes;
    std::map<std::string, unsigned long> folders;      // path -> index: the folders that exist
    std::map<std::string, std::string> shortPaths;     // path -> its short form
    std::set<std::string> links;                       // paths that are links or junctions
    std::vector<std::string> pathsLookedAt;            // every path given to folderIdentity or shortPath
    int endedOrAsked = 0;                              // Exit posts and terminations, in all
    bool debugPrivilege = false;
    unsigned long now = 0;
    int openHandles = 0;                               // opened and not yet closed
    // What happens on the machine once the closer has opened a process (its ID cannot be reused
    // while the handle is open; the test may try).
    std::function<void(ProcessId)> afterOpen;
    unsigned long long nextStart = 1000;

    SimProcess& process(ProcessId id);
    // Runs a program: its start is later than any before.
    void run(SimProcess process);

    bool enableDebugPrivilege() override;
    FolderLookup folderIdentity(const char* path, FileIdentity& identity) override;
    void shortPath(const char* path, char* shortened, unsigned capacity) override;
    ProcessId currentProcess() override { return 1; }
    ProcessId parentProcess() override { return 2; }
    void forEachProcess(ProcessVisitor visit, void* context) override;
    ProcessHandle openProcess(ProcessId id) override;
    void closeProcess(ProcessHandle process) override;
    bool programPath(ProcessHandle process, char* path, unsigned capacity) override;
    unsigned long long startTime(ProcessHandle process) override;
    int postCommand(ProcessId id, const char* windowTitle, unsigned command) override;
    void terminate(ProcessHandle process) override;
    void sleep(unsigned milliseconds) override { now += milliseconds; }
    unsigned long tickCount() override { return now; }
};

}  // namespace platform::sim
