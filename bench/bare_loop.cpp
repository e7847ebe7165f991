// The idle cost to compare Krev with: a hidden window, a 500 ms timer and a message loop that
// does nothing else.
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "BareLoop";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, "BareLoop", "Bare loop", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    SetTimer(window, 1, 500, nullptr);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    return 0;
}
