#pragma once
#include "platform/process_starter.h"

namespace platform::win32 {

void findExecutable(const char* file, char (&result)[kMaxPath]);
void findExecutable(const wchar_t* file, wchar_t (&result)[kMaxPath]);
void findProtocolHandler(const wchar_t* protocol, wchar_t (&result)[kMaxPath]);
StartOutcome startProgram(const char* commandLine, int showState);
// As startProgram, but the program gets Windows' default error mode, not this process's.
StartOutcome startProgramWithDefaultErrorMode(const char* commandLine, int showState);
StartOutcome startProgram(const wchar_t* commandLine, int showState, bool defaultErrorMode);
void openWithShell(const char* file, int showState);
void openAddress(const wchar_t* address, int showState);

class Win32ProcessStarter final : public ProcessStarter {
public:
    // `defaultErrorMode`: started programs do not inherit the error mode that this one set.
    explicit Win32ProcessStarter(bool defaultErrorMode = false) : defaultErrorMode_(defaultErrorMode) {}
    void findExecutable(const wchar_t* file, wchar_t (&result)[kMaxPath]) override { win32::findExecutable(file, result); }
    void findProtocolHandler(const wchar_t* protocol, wchar_t (&result)[kMaxPath]) override {
        win32::findProtocolHandler(protocol, result);
    }
    StartOutcome startProgram(const char* commandLine, int showState) override {
        return defaultErrorMode_ ? startProgramWithDefaultErrorMode(commandLine, showState)
                                 : win32::startProgram(commandLine, showState);
    }
    StartOutcome startProgram(const wchar_t* commandLine, int showState) override {
        return win32::startProgram(commandLine, showState, defaultErrorMode_);
    }
    void openWithShell(const char* file, int showState) override { win32::openWithShell(file, showState); }
    void openAddress(const wchar_t* address, int showState) override { win32::openAddress(address, showState); }

private:
    bool defaultErrorMode_;
};

}  // namespace platform::win32
