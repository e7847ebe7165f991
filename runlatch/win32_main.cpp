#include <windows.h>

#include "platform/win32/process_starter_win32.h"
#include "runlatch/autorun_starter.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    platform::win32::Win32ProcessStarter system;
    return runAutorunStarter(system);
}
