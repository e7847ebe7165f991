// Measures one walk of the Web ATM title table with real FindWindowA calls while 50 other
// top-level windows are open (none of them matching), as Krev's timer does at every tick.
// Prints the median and the slowest of the walks, in microseconds.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "krev/web_atm_titles.h"

int main() {
    constexpr int kOpenWindows = 50;
    constexpr int kWalks = 400;
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "GuardWalkBench";
    RegisterClassA(&windowClass);
    for (int window = 0; window < kOpenWindows; ++window) {
        char title[64];
        std::snprintf(title, sizeof title, "Some other program %d", window);
        CreateWindowExA(0, "GuardWalkBench", title, WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                        windowClass.hInstance, nullptr);
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> micros;
    int found = 0;
    for (int walk = 0; walk < kWalks; ++walk) {
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        QueryPerformanceCounter(&start);
        for (const char* const* row = webAtmTitles; std::strcmp(*row, "EndOfBlock") != 0; ++row) {
            if (FindWindowA(nullptr, *row) != nullptr) ++found;
        }
        QueryPerformanceCounter(&end);
        micros.push_back(1e6 * static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart);
    }
    std::sort(micros.begin(), micros.end());
    std::printf("guard walk: %d titles, %d other windows open, %d walks: median %.0f us, slowest %.0f us%s\n",
                kWebAtmTitleRows, kOpenWindows, kWalks, micros[micros.size() / 2], micros.back(),
                found != 0 ? " (a title matched!)" : "");
    return 0;
}
