#include "portallaunch/portal_launcher.h"

#include <cstdlib>

#include "krev/web_pages.h"
#include "platform/command_line.h"

namespace {
constexpr const char* kLookupPaths[] = {
    "C:\\KREV\\DefaultCheck.htm", "D:\\KREV\\DefaultCheck.htm", "E:\\KREV\\DefaultCheck.htm",
    "F:\\KREV\\DefaultCheck.htm", "G:\\KREV\\DefaultCheck.htm",
};
}  // namespace

int runPortalLauncher(platform::ProcessStarter& system) {
    char browser[platform::kMaxPath];
    system.findExecutable(kLookupPaths[0], browser);
    // The first drive whose lookup yields a program wins; no drive after it is asked.
    for (int drive = 1; drive < 5; ++drive) {
        if (browser[0] == '\0') system.findExecutable(kLookupPaths[drive], browser);
    }
    char* command = command_line::build(browser, true, web_pages::kPortal);
    if (command != nullptr) system.startProgram(command, platform::kShow);
    std::free(command);
    return 0;
}
