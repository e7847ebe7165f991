// The closer's process calls on Windows, from Windows XP on. Paths and names are UTF-8.
#pragma once
#include "platform/processes.h"

namespace platform::win32 {

// Enables a privilege that this process's token holds, such as "SeDebugPrivilege", which an
// elevated administrator's token holds disabled.
bool enablePrivilege(const wchar_t* name);

// The full path of the program that the process runs, asked with the least right Windows has
// for it; false when it cannot be asked (the process is gone, another user's, or protected).
bool programOfProcess(unsigned long id, wchar_t* path, unsigned long capacity);

class Win32Processes final : public Processes {
public:
    bool enableDebugPrivilege() override;
    FolderLookup folderIdentity(const char* path, FileIdentity& identity) override;
    void shortPath(const char* path, char* shortened, unsigned capacity) override;
    ProcessId currentProcess() override;
    ProcessId parentProcess() override;
    void forEachProcess(ProcessVisitor visit, void* context) override;
    ProcessHandle openProcess(ProcessId id) override;
    void closeProcess(ProcessHandle process) override;
    bool programPath(ProcessHandle process, char* path, unsigned capacity) override;
    unsigned long long startTime(ProcessHandle process) override;
    int postCommand(ProcessId id, const char* windowTitle, unsigned command) override;
    void terminate(ProcessHandle process) override;
    void sleep(unsigned milliseconds) override;
    unsigned long tickCount() override;
};

}  // namespace platform::win32
