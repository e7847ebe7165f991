#pragma once
#include "platform/process_starter.h"

namespace platform::win32 {

void findExecutable(const char* file, char (&result)[kMaxPath]);
void startProgram(const char* commandLine, int showState);

class Win32ProcessStarter final : public ProcessStarter {
public:
    void findExecutable(const char* file, char (&result)[kMaxPath]) override { win32::findExecutable(file, result); }
    void startProgram(const char* commandLine, int showState) override { win32::startProgram(commandLine, showState); }
};

}  // namespace platform::win32
