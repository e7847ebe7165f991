// Measures the window guard as Krev's timer runs it at every tick, against the windows that are
// open (the benchmark opens 50 in another program): one pass of the lookup over all top-level
// windows' titles, and the walk of 130 FindWindowA calls that it replaces. Prints the median and
// the slowest of each, in microseconds.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "krev/web_atm_guard.h"
#include "krev/web_atm_titles.h"
#include "platform/win32/window_titles_win32.h"

namespace {

constexpr int kRuns = 200;

BOOL CALLBACK countWindow(HWND, LPARAM counter) {
    ++*reinterpret_cast<int*>(counter);
    return TRUE;
}

template <typename Guard>
std::vector<double> timed(Guard guard, int& found) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> micros;
    for (int run = 0; run < kRuns; ++run) {
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        QueryPerformanceCounter(&start);
        if (guard()) ++found;
        QueryPerformanceCounter(&end);
        micros.push_back(1e6 * static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart);
    }
    std::sort(micros.begin(), micros.end());
    return micros;
}

}  // namespace

int main() {
    int found = 0;
    const std::vector<double> walks = timed(
        [] {
            for (const char* const* row = webAtmTitles; std::strcmp(*row, "EndOfBlock") != 0; ++row) {
                if (FindWindowA(nullptr, *row) != nullptr) return true;
            }
            return false;
        },
        found);
    platform::win32::Win32WindowTitles titles;
    WebAtmGuard guard(titles, webAtmTitles, kWebAtmTitleRows);
    const std::vector<double> lookups = timed([&] { return guard.pageWindow() != 0; }, found);
    int windows = 0;
    EnumWindows(countWindow, reinterpret_cast<LPARAM>(&windows));
    std::printf("guard, %d top-level windows open, %d runs each:\n", windows, kRuns);
    std::printf("  one-pass lookup:      median %7.0f us, slowest %7.0f us\n", lookups[kRuns / 2], lookups.back());
    std::printf("  130 FindWindowA calls: median %7.0f us, slowest %7.0f us\n", walks[kRuns / 2], walks.back());
    std::printf("  the lookup is %.0f times faster (medians)%s\n", walks[kRuns / 2] / lookups[kRuns / 2],
                found != 0 ? " (a title matched!)" : "");
    return 0;
}
