#include <windows.h>

#include "krev/app.h"
#include "platform/win32/win32_platform.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    platform::win32::Win32Platform platform;
    CKrevSystemTrayApp application(platform);
    application.InitInstance();
    return 0;
}
