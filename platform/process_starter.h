// The two operating-system calls a launcher needs. Kept apart from Platform so that the
// launchers link nothing else and stay small.
#pragma once

namespace platform {

constexpr int kMaxPath = 260;

// Show states, with the values of the Windows SW_ constants.
enum ShowState : int { kShowHide = 0, kShowNormal = 1, kShow = 5 };

class ProcessStarter {
public:
    // Fills `result` with the full path of the program that opens `file`, or leaves it empty.
    virtual void findExecutable(const char* file, char (&result)[kMaxPath]) = 0;
    // Starts `commandLine` without waiting (WinExec). The outcome is not reported.
    virtual void startProgram(const char* commandLine, int showState) = 0;

protected:
    ~ProcessStarter() = default;
};

}  // namespace platform
