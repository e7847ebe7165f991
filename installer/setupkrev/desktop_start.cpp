#include "installer/setupkrev/desktop_start.h"

namespace desktop_start {

bool start(Starter& starter) {
    if (starter.takeShellToken() && starter.startWithShellToken()) return true;
    // No shell token to start with (Windows XP, the Secondary Logon service disabled): only as
    // the desktop's own user, and never with more rights than that user's shell.
    if (starter.shellUser() != ShellUser::installersOwn || starter.elevatedAboveTheShell()) return false;
    return starter.startWithOwnToken();
}

}  // namespace desktop_start
