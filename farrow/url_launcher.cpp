#include "farrow/url_launcher.h"

#include <cstdlib>

#include "platform/command_line.h"

int runUrlLauncher(platform::ProcessStarter& system, const char* commandTail) {
    char browser[platform::kMaxPath];
    system.findExecutable(".\\DefaultCheck.htm", browser);
    char* command = command_line::build(browser, true, commandTail);
    if (command != nullptr) system.startProgram(command, platform::kShow);
    std::free(command);
    return 0;
}
