#include "runlatch/autorun_starter.h"

namespace {

// Relative to the working directory only: an autorun.exe beside Runlatch is not searched.
constexpr char kAutorun[] = ".\\autorun.exe";

}  // namespace

int runAutorunStarter(platform::ProcessStarter& system) {
    // The installer asks for an administrator. Windows Vista and later start such a program only
    // through the shell, which asks the user for consent first.
    if (system.startProgram(kAutorun, platform::kShow) == platform::StartOutcome::needsElevation) {
        system.openWithShell(kAutorun, platform::kShow);
    }
    return 0;
}
