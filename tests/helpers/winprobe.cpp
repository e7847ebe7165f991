// The Wine tests' hands and eyes inside Windows. Texts are passed as hex bytes, so titles in
// code page 950 cross the command line intact; "w" and UTF-16LE hex bytes give a title with
// characters that code page 950 lacks (for "find" and "hold").
//   winprobe find HEX_TITLE                      -> "found STYLE EXSTYLE VISIBLE PID" or "none"
//   winprobe rect HEX_TITLE [CONTROL]             -> "LEFT TOP RIGHT BOTTOM" on the screen
//   winprobe owner HEX_TITLE                      -> the owner window's title as hex, or "none"
//   winprobe count HEX_TITLE                     -> number of top-level windows with that title
//   winprobe send HEX_TITLE MSG WPARAM LPARAM     -> SendMessage, prints the result
//   winprobe post HEX_TITLE MSG WPARAM LPARAM     -> PostMessage
//   winprobe item HEX_TITLE CONTROL MSG WPARAM LPARAM -> SendDlgItemMessage, prints the result
//   winprobe text HEX_TITLE CONTROL INDEX          -> a combo box entry's text, as hex
//   winprobe texts HEX_TITLE                      -> each child window's text in UTF-16LE, as hex, one a line
//   winprobe trust HEX_PATH                       -> adds the DER certificate in that file to the machine's
//                                                   trusted root authorities
//   winprobe verify HEX_PATH                      -> WinVerifyTrust's answer on that file's Authenticode
//                                                   signature: "trusted" or "untrusted 0xHRESULT"
//   winprobe hold HEX_TITLE STOPFILE              -> shows a window with that title until STOPFILE exists
//   winprobe open HEX_PATH STOPFILE               -> holds the file open for reading, sharing only reading,
//                                                   until STOPFILE exists
//   winprobe windows HEX_READY STOPFILE OTHERS    -> the window guard's fixture until STOPFILE exists: hidden
//                                                   "guard Z" first (last in the window order), OTHERS shown
//                                                   windows of other programs, shown "guard A" with a child
//                                                   "guard C", hidden "guard B", then hidden HEX_READY
//   winprobe run HEX_COMMAND_LINE                 -> CreateProcessA(NULL, line), waits, prints the exit code
//   winprobe untray HEX_TITLE ID                  -> removes that window's notification icon ID, as a
//                                                   crashing shell loses it
//   winprobe taskbar-created HEX_ANY              -> broadcasts "TaskbarCreated", as a restarted shell does
//   winprobe link HEX_PATH HEX_TARGET             -> makes a shortcut at HEX_PATH that leads to HEX_TARGET
//   winprobe retitle HEX_TITLE HEX_NEW_TITLE      -> gives that window another title, as a browser does
//                                                   when the user looks at another tab
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string fromHex(const char* hex) {
    std::string text;
    for (; hex[0] != '\0' && hex[1] != '\0'; hex += 2) {
        const char pair[3] = {hex[0], hex[1], '\0'};
        text.push_back(static_cast<char>(std::strtoul(pair, nullptr, 16)));
    }
    return text;
}

unsigned long number(const char* text) { return std::strtoul(text, nullptr, 0); }

struct Count {
    const char* title;
    int windows;
};

BOOL CALLBACK countTitle(HWND window, LPARAM parameter) {
    auto* count = reinterpret_cast<Count*>(parameter);
    char title[512];
    GetWindowTextA(window, title, sizeof title);
    if (std::strcmp(title, count->title) == 0) ++count->windows;
    return TRUE;
}

// A window that keeps a UTF-16 title as it is (an ANSI window would store it converted).
// A window of the class a browser uses for its windows (Chrome_WidgetWin_1, MozillaWindowClass).
HWND makeWideWindow(const std::wstring& title, const std::wstring& className) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className.c_str();
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, className.c_str(), title.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 80,
                           nullptr, nullptr, windowClass.hInstance, nullptr);
}

std::wstring wideText(const std::string& utf16le) {
    std::wstring text;
    for (std::size_t at = 0; at + 1 < utf16le.size(); at += 2) {
        text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(utf16le[at]) |
                                            static_cast<unsigned char>(utf16le[at + 1]) << 8));
    }
    return text;
}

HWND makeWindow(const char* title, DWORD style, HWND parent = nullptr) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "WinprobeHold";
    RegisterClassA(&windowClass);  // fails harmlessly once registered
    return CreateWindowExA(0, "WinprobeHold", title, style, 10, 10, 300, 80, parent, nullptr, windowClass.hInstance,
                           nullptr);
}

// Messages sent from other processes (a new title) are answered at once, not at the next poll.
void pumpUntil(const char* stopFile) {
    while (GetFileAttributesA(stopFile) == INVALID_FILE_ATTRIBUTES) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

int holdGuardFixture(const std::string& ready, const char* stopFile, int others) {
    makeWindow("guard Z", WS_OVERLAPPEDWINDOW);
    for (int other = 0; other < others; ++other) {
        char title[64];
        std::snprintf(title, sizeof title, "Some other program %d", other);
        makeWindow(title, WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    }
    HWND visible = makeWindow("guard A", WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    makeWindow("guard C", WS_CHILD | WS_VISIBLE, visible);
    makeWindow("guard B", WS_OVERLAPPEDWINDOW);
    makeWindow(ready.c_str(), WS_OVERLAPPEDWINDOW);
    pumpUntil(stopFile);
    return 0;
}

int hold(const std::string& title, bool wide, const char* stopFile, const char* className) {
    const std::string wideClass(className, className + std::strlen(className));
    HWND window = wide ? makeWideWindow(wideText(title), std::wstring(wideClass.begin(), wideClass.end()))
                       : makeWindow(title.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    if (window == nullptr) return 2;
    std::printf("holding\n");
    std::fflush(stdout);
    pumpUntil(stopFile);
    DestroyWindow(window);
    return 0;
}

int holdOpen(const std::string& path, const char* stopFile) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
    std::printf("holding\n");
    std::fflush(stdout);
    pumpUntil(stopFile);
    CloseHandle(file);
    return 0;
}

BOOL CALLBACK printChildText(HWND child, LPARAM) {
    wchar_t text[1024];
    const int length = GetWindowTextW(child, text, 1024);
    for (int at = 0; at < length; ++at) std::printf("%02x%02x", text[at] & 0xFF, (text[at] >> 8) & 0xFF);
    std::printf("\n");
    return TRUE;
}

int trust(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
    BYTE der[16384];
    DWORD size = 0;
    const bool read = ReadFile(file, der, sizeof der, &size, nullptr) != FALSE;
    CloseHandle(file);
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    const bool added = read && root != nullptr &&
                       CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING, der, size,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    if (root != nullptr) CertCloseStore(root, 0);
    std::printf(added ? "trusted\n" : "failed %lu\n", GetLastError());
    return added ? 0 : 2;
}

int run(std::string line) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        std::printf("failed %lu\n", GetLastError());
        return 2;
    }
    WaitForSingleObject(process.hProcess, 30000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::printf("exit %lu\n", code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

}  // namespace

// As Windows judges a program before it runs it: the whole chain to a trusted root, no revocation
// check (the test authority publishes no list), no user interface.
int verify(const std::string& path) {
    std::wstring widePath(path.size() + 1, L'\0');
    widePath.resize(MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &widePath[0], static_cast<int>(widePath.size())));
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = widePath.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG answer = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (answer == ERROR_SUCCESS) {
        std::printf("trusted\n");
        return 0;
    }
    std::printf("untrusted 0x%08lX\n", static_cast<unsigned long>(answer));
    return 2;
}

std::wstring wideOf(const std::string& text) {
    wchar_t wide[MAX_PATH * 2] = {};
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide, MAX_PATH * 2);
    return wide;
}

int makeLink(const std::string& path, const std::string& target) {
    CoInitialize(nullptr);
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    bool made = SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                           reinterpret_cast<void**>(&link))) &&
                SUCCEEDED(link->SetPath(wideOf(target).c_str())) &&
                SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
                SUCCEEDED(file->Save(wideOf(path).c_str(), TRUE));
    if (file != nullptr) file->Release();
    if (link != nullptr) link->Release();
    CoUninitialize();
    return made ? 0 : 2;
}

int main(int argc, char** argv) {
    if (argc < 3) return 1;
    const std::string verb = argv[1];
    // Windows of a Wine virtual desktop are seen only from that desktop. One that is not there
    // (yet) holds no window: the probe never looks into the default desktop instead.
    char desktop[64];
    if (GetEnvironmentVariableA("PROBE_DESKTOP", desktop, sizeof desktop) != 0) {
        HDESK named = OpenDesktopA(desktop, 0, FALSE, GENERIC_ALL);
        if (named == nullptr || !SetThreadDesktop(named)) {
            if (verb == "find") {
                std::printf("none: desktop %s not %s (error %lu)\n", desktop, named == nullptr ? "opened" : "entered",
                            GetLastError());
            }
            return verb == "find" ? 0 : 2;
        }
    }
    const bool wide = argv[2][0] == 'w';
    const std::string text = fromHex(argv[2] + (wide ? 1 : 0));
    if (verb == "run") return run(text);
    if (verb == "hold" && (argc == 4 || argc == 5)) return hold(text, wide, argv[3], argc == 5 ? argv[4] : "WinprobeHoldWide");
    if (verb == "hold-hidden" && argc == 4) {
        // A window nobody sees, that keeps its process on its desktop until the stop file exists.
        HWND window = makeWindow(text.c_str(), WS_OVERLAPPEDWINDOW);
        if (window == nullptr) return 2;
        pumpUntil(argv[3]);
        DestroyWindow(window);
        return 0;
    }
    if (verb == "open" && argc == 4) return holdOpen(text, argv[3]);
    if (verb == "link" && argc == 4) return makeLink(text, fromHex(argv[3]));
    if (verb == "trust") return trust(text);
    if (verb == "verify") return verify(text);
    if (verb == "texts") {
        HWND window = FindWindowA(nullptr, text.c_str());
        if (window == nullptr) return 2;
        EnumChildWindows(window, printChildText, 0);
        return 0;
    }
    if (verb == "windows" && argc == 5) return holdGuardFixture(text, argv[3], static_cast<int>(number(argv[4])));
    if (verb == "count") {
        Count count{text.c_str(), 0};
        EnumWindows(countTitle, reinterpret_cast<LPARAM>(&count));
        std::printf("%d\n", count.windows);
        return 0;
    }
    if (verb == "taskbar-created") {
        return PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0) ? 0 : 2;
    }
    HWND window = wide ? FindWindowW(nullptr, wideText(text).c_str()) : FindWindowA(nullptr, text.c_str());
    if (verb == "untray" && argc == 4 && window != nullptr) {
        NOTIFYICONDATAA icon{};
        icon.cbSize = NOTIFYICONDATAA_V2_SIZE;
        icon.hWnd = window;
        icon.uID = number(argv[3]);
        return Shell_NotifyIconA(NIM_DELETE, &icon) ? 0 : 2;
    }
    if (verb == "find") {
        if (window == nullptr) {
            std::printf("none\n");
            return 0;
        }
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        std::printf("found %08lx %08lx %d %lu\n", static_cast<unsigned long>(GetWindowLongA(window, GWL_STYLE)),
                    static_cast<unsigned long>(GetWindowLongA(window, GWL_EXSTYLE)), IsWindowVisible(window) ? 1 : 0,
                    process);
        return 0;
    }
    if (verb == "bits" && window != nullptr) {
        // Windows' word for the window's process: a WoW64 process is 32-bit on a 64-bit system,
        // and a process that is not one has the system's own width.
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);
        BOOL targetWow64 = FALSE;
        BOOL selfWow64 = FALSE;
        const bool asked = handle != nullptr && IsWow64Process(handle, &targetWow64) &&
                           IsWow64Process(GetCurrentProcess(), &selfWow64);
        if (handle != nullptr) CloseHandle(handle);
        if (!asked) return 2;
        const bool system64 = sizeof(void*) == 8 || selfWow64;
        std::printf("%d\n", targetWow64 || !system64 ? 32 : 64);
        return 0;
    }
    if (verb == "owner" && window != nullptr) {
        HWND owner = GetWindow(window, GW_OWNER);
        if (owner == nullptr) {
            std::printf("none\n");
            return 0;
        }
        char title[512] = {};
        GetWindowTextA(owner, title, sizeof title);
        for (const unsigned char* at = reinterpret_cast<const unsigned char*>(title); *at != 0; ++at) {
            std::printf("%02x", *at);
        }
        std::printf("\n");
        return 0;
    }
    if (verb == "rect" && window != nullptr) {
        HWND target = argc == 4 ? GetDlgItem(window, static_cast<int>(number(argv[3]))) : window;
        RECT rect{};
        if (target == nullptr || !GetWindowRect(target, &rect)) return 2;
        std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
        return 0;
    }
    if (verb == "item" && argc == 7 && window != nullptr) {
        const LRESULT result = SendDlgItemMessageA(window, static_cast<int>(number(argv[3])), number(argv[4]),
                                                   number(argv[5]), static_cast<LPARAM>(number(argv[6])));
        std::printf("%ld\n", static_cast<long>(result));
        return 0;
    }
    if (verb == "text" && argc == 5 && window != nullptr) {
        // Asked for in UTF-16 and converted here: Wine does not convert this reply across processes.
        wchar_t wide[1024] = {};
        SendDlgItemMessageW(window, static_cast<int>(number(argv[3])), CB_GETLBTEXT, number(argv[4]),
                            reinterpret_cast<LPARAM>(wide));
        char entry[2048] = {};
        WideCharToMultiByte(950, 0, wide, -1, entry, sizeof entry, nullptr, nullptr);
        for (const unsigned char* at = reinterpret_cast<const unsigned char*>(entry); *at != 0; ++at) {
            std::printf("%02x", *at);
        }
        std::printf("\n");
        return 0;
    }
    if (verb == "retitle" && argc == 4 && window != nullptr) {
        const bool wideNew = argv[3][0] == 'w';
        const std::string newTitle = fromHex(argv[3] + (wideNew ? 1 : 0));
        const std::wstring title = wideNew ? wideText(newTitle) : wideOf(newTitle);
        // WM_SETTEXT crosses into the window's own process, as the browser's own call would.
        return SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(title.c_str())) ? 0 : 2;
    }
    if ((verb == "send" || verb == "post") && argc == 6 && window != nullptr) {
        const UINT message = number(argv[3]);
        const WPARAM wParam = number(argv[4]);
        const LPARAM lParam = static_cast<LPARAM>(number(argv[5]));
        if (verb == "post") return PostMessageA(window, message, wParam, lParam) ? 0 : 2;
        std::printf("%ld\n", static_cast<long>(SendMessageA(window, message, wParam, lParam)));
        return 0;
    }
    return window == nullptr ? 2 : 1;
}
