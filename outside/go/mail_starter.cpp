// Go.dll: opens the mail program on the address on its command line ("mailto:..."), through the
// shell's open verb. No window, exit code 0 whatever happens.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "platform/command_line.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const char* address = command_line::tail(GetCommandLineA());
    if (*address == '\0') return 0;
    // The shell's handlers may be COM objects.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    ShellExecuteA(nullptr, "open", address, nullptr, nullptr, SW_SHOWNORMAL);
    CoUninitialize();
    return 0;
}
