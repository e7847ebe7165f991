#pragma once
#include "platform/process_starter.h"

namespace platform::win32 {

void findExecutable(const char* file, char (&result)[kMaxPath]);
void findProtocolHandler(const char* protocol, char (&result)[kMaxPath]);
StartOutcome startProgram(const char* commandLine, int showState);
// As startProgram, but the program gets Windows' default error mode, not this process's.
StartOutcome startProgramWithDefaultErrorMode(const char* commandLine, int showState);
void openWithShell(const char* file, int showState);

class Win32ProcessStarter final : public ProcessStarter {
public:
    // `defaultErrorMode`: started programs do not inherit the error mode that this one set.
    explicit Win32ProcessStarter(bool defaultErrorMode = false) : defaultErrorMode_(defaultErrorMode) {}
    void findExecutable(const char* file, char (&result)[kMaxPath]) override { win32::findExecutable(file, result); }
    void findProtocolHandler(const char* protocol, char (&result)[kMaxPath]) override {
        win32::findProtocolHandler(protocol, result);
    }
    StartOutcome startProgram(const char* commandLine, int showState) override {
        return defaultErrorMode_ ? startProgramWithDefaultErrorMode(commandLine, showState)
                                 : win32::startProgram(commandLine, showState);
    }
    void openWithShell(const char* file, int showState) override { win32::openWithShell(file, showState); }

private:
    bool defaultErrorMode_;
};

}  // namespace platform::win32
