#include <windows.h>

#include "farrow/url_launcher.h"
#include "platform/command_line.h"
#include "platform/win32/process_starter_win32.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    platform::win32::Win32ProcessStarter system;
    return runUrlLauncher(system, command_line::tail(GetCommandLineA()));
}
