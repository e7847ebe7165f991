#include "outside/autorun/package_opener.h"

#include <cstring>

int openPackage(platform::ProcessStarter& system, const char* programFolder) {
    // Beside the program, whatever the working directory: the CD's root, as autorun.inf has it.
    char package[platform::kMaxPath];
    const std::size_t folderLength = std::strlen(programFolder);
    if (folderLength + 1 + sizeof kPackageName > sizeof package) return 0;
    std::memcpy(package, programFolder, folderLength);
    package[folderLength] = '\\';
    std::memcpy(package + folderLength + 1, kPackageName, sizeof kPackageName);
    system.openWithShell(package, platform::kShowNormal);
    return 0;
}
