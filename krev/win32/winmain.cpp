#include <windows.h>
#include <commctrl.h>

#include "krev/app.h"
#include "platform/win32/win32_platform.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // The manifest asks for the common controls 6: loaded before the first dialog, as Windows XP
    // needs.
    InitCommonControls();
    platform::win32::Win32Platform platform;
    CKrevSystemTrayApp application(platform);
    application.InitInstance();
    return 0;
}
