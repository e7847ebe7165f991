#include "farrow/url_launcher.h"

#include <cstdlib>

#include "platform/command_line.h"

int runUrlLauncher(platform::ProcessStarter& system, const char* commandTail) {
    char browser[platform::kMaxPath];
    // The default browser is the program that opens https: on Windows 10 and 11 the handler of
    // .htm files is a default of its own, which feature updates reset and editors claim. Only
    // where https has none (Windows XP without that association) the program that opens
    // DefaultCheck.htm starts.
    system.findProtocolHandler("https", browser);
    if (browser[0] == '\0') system.findExecutable(".\\DefaultCheck.htm", browser);
    char* command = command_line::build(browser, true, commandTail);
    if (command != nullptr) system.startProgram(command, platform::kShow);
    std::free(command);
    return 0;
}
