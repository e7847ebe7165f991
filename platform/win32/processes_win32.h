// The closer's process calls on Windows, from Windows XP on.
#pragma once
#include "platform/processes.h"

namespace platform::win32 {

class Win32Processes final : public Processes {
public:
    bool enableDebugPrivilege() override;
    bool fileIdentity(const char* path, FileIdentity& identity) override;
    void shortName(const char* path, char* name, unsigned capacity) override;
    ProcessId currentProcess() override;
    ProcessId parentProcess() override;
    void forEachProcess(ProcessVisitor visit, void* context) override;
    bool programFolder(ProcessId id, FileIdentity& folder) override;
    int postCommand(ProcessId id, const char* windowTitle, unsigned command) override;
    void terminate(ProcessId id) override;
    void sleep(unsigned milliseconds) override;
    unsigned long tickCount() override;
};

}  // namespace platform::win32
