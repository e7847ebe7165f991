#include "platform/win32/window_titles_win32.h"

#include <windows.h>

#include <vector>

#include "platform/command_line.h"
#include "platform/win32/cp950_win32.h"
#include "platform/win32/process_starter_win32.h"
#include "platform/win32/processes_win32.h"

namespace platform::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wide characters are UTF-16 units");

namespace {

// Longer than any title that the guard recognises: a title cut at this length matches none.
constexpr int kTitleCapacity = 1024;

constexpr DWORD kPathCapacity = 32768;

wchar_t* wide(std::u16string& text) { return reinterpret_cast<wchar_t*>(&text[0]); }

std::u16string folded(const wchar_t* text, std::size_t length) {
    return foldTitle(std::u16string(reinterpret_cast<const char16_t*>(text), length));
}

// A window's class and program, each read when the test asks for it.
class Win32WindowFacts final : public WindowFacts {
public:
    explicit Win32WindowFacts(HWND window) : window_(window) {}
    std::u16string className() const override {
        wchar_t name[256];
        const int length = GetClassNameW(window_, name, 256);
        return folded(name, static_cast<std::size_t>(length > 0 ? length : 0));
    }
    std::u16string programPath() const override {
        DWORD process = 0;
        GetWindowThreadProcessId(window_, &process);
        std::vector<wchar_t> path(kPathCapacity, L'\0');
        if (process == 0 || !programOfProcess(process, path.data(), kPathCapacity)) return std::u16string();
        return folded(path.data(), static_cast<std::size_t>(lstrlenW(path.data())));
    }

private:
    HWND window_;
};

// The program of a browser's registered command, its environment strings expanded.
void addProgramOfCommand(const wchar_t* command, std::vector<std::u16string>& programs) {
    std::size_t start = 0;
    const std::size_t length = command_line::programOf(command, start);
    if (length == 0) return;
    const std::wstring program(command + start, length);
    std::vector<wchar_t> expanded(kPathCapacity, L'\0');
    const DWORD size = ExpandEnvironmentStringsW(program.c_str(), expanded.data(), kPathCapacity);
    if (size == 0 || size > kPathCapacity) return;
    programs.push_back(folded(expanded.data(), static_cast<std::size_t>(lstrlenW(expanded.data()))));
}

// Each client under StartMenuInternet names its program in shell\open\command ("How to Register
// an Internet Browser or Email Client With the Windows Start Menu"); a 32-bit Krev reads both
// registry views, so that 64-bit browsers count too.
void addRegisteredBrowsers(HKEY root, REGSAM view, std::vector<std::u16string>& programs) {
    HKEY clients = nullptr;
    if (RegOpenKeyExW(root, L"SOFTWARE\\Clients\\StartMenuInternet", 0, KEY_READ | view, &clients) != ERROR_SUCCESS) {
        return;
    }
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = 256;
        if (RegEnumKeyExW(clients, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        const std::wstring key = std::wstring(name) + L"\\shell\\open\\command";
        HKEY commandKey = nullptr;
        if (RegOpenKeyExW(clients, key.c_str(), 0, KEY_QUERY_VALUE | view, &commandKey) != ERROR_SUCCESS) continue;
        std::vector<wchar_t> command(4096, L'\0');
        DWORD type = 0;
        DWORD bytes = static_cast<DWORD>((command.size() - 1) * sizeof(wchar_t));
        if (RegQueryValueExW(commandKey, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(command.data()), &bytes) ==
                ERROR_SUCCESS &&
            (type == REG_SZ || type == REG_EXPAND_SZ)) {
            addProgramOfCommand(command.data(), programs);
        }
        RegCloseKey(commandKey);
    }
    RegCloseKey(clients);
}

struct Search {
    const TitleTest* test;
    HWND found;
};

BOOL CALLBACK matchTitle(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    wchar_t title[kTitleCapacity];
    const int length = GetWindowTextW(window, title, kTitleCapacity);
    std::u16string text(reinterpret_cast<const char16_t*>(title), static_cast<std::size_t>(length));
    if (!search->test->matches(foldTitle(std::move(text)), Win32WindowFacts(window))) return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

std::u16string foldCp950Title(const char* text) {
    const std::wstring converted = wideFromCp950(text);
    return foldTitle(std::u16string(reinterpret_cast<const char16_t*>(converted.c_str()), converted.size()));
}

// On UTF-16 characters, with Windows' own case table, so that a Big5 trail byte is never folded
// as a letter on its own.
std::u16string foldTitle(std::u16string text) {
    if (!text.empty()) CharUpperBuffW(wide(text), static_cast<DWORD>(text.size()));
    return text;
}

WindowHandle windowPassing(const TitleTest& test) {
    Search search{&test, nullptr};
    EnumWindows(matchTitle, reinterpret_cast<LPARAM>(&search));
    return reinterpret_cast<WindowHandle>(search.found);
}

bool windowExists(WindowHandle window) { return window != 0 && IsWindow(reinterpret_cast<HWND>(window)) != FALSE; }

std::vector<std::u16string> webBrowserPrograms() {
    std::vector<std::u16string> programs;
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) addRegisteredBrowsers(root, view, programs);
    }
    wchar_t https[kMaxPath];
    findProtocolHandler(L"https", https);
    if (https[0] != L'\0') programs.push_back(folded(https, static_cast<std::size_t>(lstrlenW(https))));
    return programs;
}

}  // namespace platform::win32
