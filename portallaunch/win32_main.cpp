#include <windows.h>

#include "platform/win32/process_starter_win32.h"
#include "portallaunch/portal_launcher.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    platform::win32::Win32ProcessStarter system;
    return runPortalLauncher(system);
}
