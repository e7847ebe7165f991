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
    // The default browser is the program that opens https, as for Farrow: on Windows 10 and 11 the
    // handler of .htm files may be an editor. Only where https has none (Windows XP without that
    // association) the product folder's DefaultCheck.htm names it.
    system.findProtocolHandler("https", browser);
    if (browser[0] == '\0') {
        system.findExecutable(kLookupPaths[0], browser);
        // The first drive whose lookup yields a program wins; no drive after it is asked.
        for (int drive = 1; drive < 5; ++drive) {
            if (browser[0] == '\0') system.findExecutable(kLookupPaths[drive], browser);
        }
    }
    char* command = command_line::build(browser, true, web_pages::kPortal);
    if (command != nullptr) system.startProgram(command, platform::kShow);
    std::free(command);
    return 0;
}
