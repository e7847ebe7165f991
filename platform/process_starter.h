// The two operating-system calls a launcher needs. Kept apart from Platform so that the
// launchers link nothing else and stay small.
#pragma once

namespace platform {

constexpr int kMaxPath = 260;

// Show states, with the values of the Windows SW_ constants.
enum ShowState : int { kShowHide = 0, kShowNormal = 1, kShow = 5 };

enum class StartOutcome {
    started,
    needsElevation,  // the program asks for an administrator: Windows starts it only through the shell
    failed,
};

// Paths and command lines for a browser are UTF-16: a browser under a profile folder named in
// characters that the ANSI code page lacks must still start.
class ProcessStarter {
public:
    // Fills `result` with the full path of the program that opens `file`, or leaves it empty.
    virtual void findExecutable(const wchar_t* file, wchar_t (&result)[kMaxPath]) = 0;
    // Fills `result` with the full path of the program that Windows opens for the protocol for
    // this user ("https": the default browser), or leaves it empty when there is none.
    virtual void findProtocolHandler(const wchar_t* protocol, wchar_t (&result)[kMaxPath]) = 0;
    // Starts `commandLine` without waiting (WinExec). Most callers leave the outcome unexamined.
    virtual StartOutcome startProgram(const char* commandLine, int showState) = 0;
    // The same for a UTF-16 command line.
    virtual StartOutcome startProgram(const wchar_t* commandLine, int showState) = 0;
    // Opens `file` as Explorer would, through the shell's open verb: for a program that asks for
    // an administrator, Windows asks the user for consent first. No message when it fails.
    virtual void openWithShell(const char* file, int showState) = 0;
    // Opens a web address as the shell does, in whatever browser the user chose (one that starts
    // through the shell alone, a packaged one say, too). No message when it fails.
    virtual void openAddress(const wchar_t* address, int showState) = 0;

protected:
    ~ProcessStarter() = default;
};

}  // namespace platform
