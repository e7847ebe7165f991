#include "runlatch/autorun_starter.h"

int runAutorunStarter(platform::ProcessStarter& system) {
    // Relative to the working directory only: an autorun.exe beside Runlatch is not searched.
    system.startProgram(".\\autorun.exe", platform::kShow);
    return 0;
}
