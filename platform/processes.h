// Running programs, as the installer's closer asks about them. No C++ library in it: CloseKREV
// is a C-style program.
#pragma once
#include "platform/file_identity.h"

namespace platform {

using ProcessId = unsigned long;
// A process opened once and held open: Windows gives its ID to no other process while a handle
// to it is open, so whatever is asked of it, and its end, concern that very process.
using ProcessHandle = void*;

using ProcessVisitor = void (*)(void* context, ProcessId id, const char* programName);

enum class FolderLookup {
    missing,
    link,  // a junction or a symbolic link: the folder it leads to is not this one
    folder,
};

class Processes {
public:
    // Lets an administrator's process open other users' processes: the debug privilege, which
    // an elevated administrator's token holds but disabled.
    virtual bool enableDebugPrivilege() = 0;
    // The folder at `path` itself, never what a link there leads to.
    virtual FolderLookup folderIdentity(const char* path, FileIdentity& identity) = 0;
    // The path in its short (8.3) form, or empty when it has none or cannot be asked.
    virtual void shortPath(const char* path, char* shortened, unsigned capacity) = 0;
    virtual ProcessId currentProcess() = 0;
    // The process that started this one.
    virtual ProcessId parentProcess() = 0;
    // Calls `visit` for every running process, with its program's file name as the system's
    // process list gives it.
    virtual void forEachProcess(ProcessVisitor visit, void* context) = 0;
    // The process, opened to be asked about and ended; null when it cannot be opened.
    virtual ProcessHandle openProcess(ProcessId id) = 0;
    virtual void closeProcess(ProcessHandle process) = 0;
    // The full path of the file that the process runs, as Windows' kernel names it (never read
    // from the process itself, and nothing is opened by it); false when it cannot be asked.
    virtual bool programPath(ProcessHandle process, char* path, unsigned capacity) = 0;
    // When the process started: with its ID, it tells the process apart from a later one that
    // the same ID is given to.
    virtual unsigned long long startTime(ProcessHandle process) = 0;
    // Posts a command to each top-level window of the process with that title; how many got it.
    virtual int postCommand(ProcessId id, const char* windowTitle, unsigned command) = 0;
    virtual void terminate(ProcessHandle process) = 0;
    virtual void sleep(unsigned milliseconds) = 0;
    virtual unsigned long tickCount() = 0;

protected:
    ~Processes() = default;
};

}  // namespace platform
