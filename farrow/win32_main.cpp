#include <windows.h>

#include "farrow/url_launcher.h"
#include "platform/command_line.h"
#include "platform/win32/process_starter_win32.h"

// The command line in UTF-16, as Windows keeps it: the tail reaches the browser unchanged, also
// where it holds characters that the ANSI code page lacks.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    platform::win32::Win32ProcessStarter system;
    return runUrlLauncher(system, command_line::tail(GetCommandLineW()));
}
