#include "platform/win32/win32_platform.h"

#include <shellapi.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "outside/sc/sc_api.h"
#include "platform/cp950.h"
#include "platform/win32/cp950_win32.h"
#include "platform/win32/files_win32.h"
#include "platform/win32/process_starter_win32.h"
#include "platform/win32/system_library.h"
#include "platform/win32/window_titles_win32.h"

namespace platform::win32 {

namespace {

constexpr char kHiddenWindowClass[] = "KrevTrayWindow";
constexpr wchar_t kRestartArgument[] = L"/restart";
HWND mainWindowForQuit = nullptr;

HWND toHwnd(WindowHandle window) { return reinterpret_cast<HWND>(window); }
WindowHandle toHandle(HWND window) { return reinterpret_cast<WindowHandle>(window); }
HMENU toHmenu(MenuHandle menu) { return reinterpret_cast<HMENU>(menu); }
HDC toHdc(DeviceContext dc) { return reinterpret_cast<HDC>(dc); }
HGDIOBJ toGdi(GdiObject object) { return reinterpret_cast<HGDIOBJ>(object); }
GdiObject fromGdi(HGDIOBJ object) { return reinterpret_cast<GdiObject>(object); }
RECT toRect(const Rect& rect) { return RECT{rect.left, rect.top, rect.right, rect.bottom}; }

// Draws the dialog icon in the middle of a minimised dialog.
void paintMinimisedIcon(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    SendMessageA(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(window, &client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, reinterpret_cast<HICON>(SendMessageA(window, WM_GETICON, ICON_BIG, 0)));
    EndPaint(window, &paint);
}

INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(window, DWLP_USER, lParam);
        return reinterpret_cast<DialogEvents*>(lParam)->onInitDialog(toHandle(window)) ? TRUE : FALSE;
    }
    if (message == WM_NCDESTROY && window == mainWindowForQuit) {
        mainWindowForQuit = nullptr;
        PostQuitMessage(0);
        return FALSE;
    }
    auto* events = reinterpret_cast<DialogEvents*>(GetWindowLongPtrA(window, DWLP_USER));
    if (events == nullptr) return FALSE;
    switch (message) {
    case WM_COMMAND:
        // Windows never reports a click of a disabled button; Wine's dialog manager does for Esc
        // and Enter (Cancel and OK of the About box are disabled): such a click is dropped.
        if (HIWORD(wParam) == BN_CLICKED && lParam != 0 && !IsWindowEnabled(reinterpret_cast<HWND>(lParam))) {
            return TRUE;
        }
        return events->onCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_CLOSE:
        return events->onClose() ? TRUE : FALSE;
    case WM_ENDSESSION:
        if (wParam != 0) events->onEndSession();
        return TRUE;
    case WM_WTSSESSION_CHANGE:
        events->onSessionChange(static_cast<unsigned>(wParam));
        return TRUE;
    case WM_TIMER:
        events->onTimer(static_cast<unsigned>(wParam));
        return TRUE;
    case WM_INITMENUPOPUP:
        events->onInitMenuPopup(static_cast<MenuHandle>(wParam));
        return TRUE;
    case WM_PAINT:
        if (!IsIconic(window)) return FALSE;
        paintMinimisedIcon(window);
        return TRUE;
    case WM_DRAWITEM: {
        const auto* draw = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        const DrawItemInfo item{draw->CtlID, toHandle(draw->hwndItem), reinterpret_cast<DeviceContext>(draw->hDC),
                                Rect{draw->rcItem.left, draw->rcItem.top, draw->rcItem.right, draw->rcItem.bottom},
                                draw->itemState};
        return events->onDrawItem(item) ? TRUE : FALSE;
    }
    case WM_QUERYDRAGICON:
        return static_cast<INT_PTR>(SendMessageA(window, WM_GETICON, ICON_BIG, 0));
    default:
        return FALSE;
    }
}

// The procedure is attached once the window exists; creation messages get the defaults.
LRESULT CALLBACK hiddenWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* procedure = reinterpret_cast<WindowProcedure*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (procedure == nullptr) return DefWindowProcA(window, message, wParam, lParam);
    return procedure->WindowProc(message, wParam, lParam);
}

struct ThreadStart {
    ThreadRoutine routine;
    void* argument;
};

DWORD WINAPI threadTrampoline(void* parameter) {
    const ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    start.routine(start.argument);
    return 0;
}

class EventStopSignal final : public StopSignal {
public:
    explicit EventStopSignal(HANDLE event) : event_(event) {}
    ~EventStopSignal() override { CloseHandle(event_); }
    void raise() override { SetEvent(event_); }
    bool waitFor(unsigned milliseconds) override { return WaitForSingleObject(event_, milliseconds) == WAIT_OBJECT_0; }

private:
    HANDLE event_;
};

class CrtTextFile final : public TextFile {
public:
    explicit CrtTextFile(FILE* file) : file_(file) {}
    ~CrtTextFile() override { std::fclose(file_); }
    bool atEnd() override { return std::feof(file_) != 0; }
    bool readLine(char* buffer, int size) override { return std::fgets(buffer, size, file_) != nullptr; }

private:
    FILE* file_;
};

}  // namespace

Win32Platform::Win32Platform() : instance_(GetModuleHandleA(nullptr)) {}

void Win32Platform::findExecutable(const wchar_t* file, wchar_t (&result)[kMaxPath]) {
    win32::findExecutable(file, result);
}

void Win32Platform::findProtocolHandler(const wchar_t* protocol, wchar_t (&result)[kMaxPath]) {
    win32::findProtocolHandler(protocol, result);
}

StartOutcome Win32Platform::startProgram(const char* commandLine, int showState) {
    return win32::startProgram(commandLine, showState);
}

StartOutcome Win32Platform::startProgram(const wchar_t* commandLine, int showState) {
    return win32::startProgram(commandLine, showState, false);
}

void Win32Platform::openWithShell(const char* file, int showState) { win32::openWithShell(file, showState); }

void Win32Platform::openAddress(const wchar_t* address, int showState) { win32::openAddress(address, showState); }

void Win32Platform::sleep(unsigned milliseconds) { Sleep(milliseconds); }

std::uint32_t Win32Platform::tickCount() { return GetTickCount(); }

// The token's user is LocalSystem (S-1-5-18). On Windows XP the first user's session is also
// session 0, so the session number alone would not tell.
bool Win32Platform::runsAsLocalSystem() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    union {
        TOKEN_USER user;
        BYTE room[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    } owner{};
    DWORD size = 0;
    const bool known = GetTokenInformation(token, TokenUser, &owner, sizeof owner, &size) != FALSE;
    CloseHandle(token);
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID system = nullptr;
    if (!known || !AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system)) {
        return false;
    }
    const bool isSystem = EqualSid(owner.user.User.Sid, system) != FALSE;
    FreeSid(system);
    return isSystem;
}

// RegisterApplicationRestart: kernel32 from Windows Vista on. Not after a crash, a hang or the
// machine's restart: the Startup shortcut starts Krev at the next logon.
void Win32Platform::registerForRestart() {
    using RegisterRestart = HRESULT(WINAPI*)(PCWSTR commandLine, DWORD flags);
    constexpr DWORD kNoCrash = 1;
    constexpr DWORD kNoHang = 2;
    constexpr DWORD kNoReboot = 8;
    const auto registerRestart =
        functionOf<RegisterRestart>(GetModuleHandleW(L"kernel32.dll"), "RegisterApplicationRestart");
    if (registerRestart != nullptr) registerRestart(kRestartArgument, kNoCrash | kNoHang | kNoReboot);
}

bool Win32Platform::startedForRestart() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr) return false;
    const bool restart = count == 2 && lstrcmpiW(arguments[1], kRestartArgument) == 0;
    LocalFree(arguments);
    return restart;
}

void Win32Platform::endProcess() { ExitProcess(0); }

namespace {

// wtsapi32.dll, from the system folder; Windows XP has every call used here.
HMODULE sessionLibrary() {
    static const HMODULE library = loadSystemLibrary(L"wtsapi32.dll");
    return library;
}

template <typename Call>
Call sessionCall(const char* name) {
    return functionOf<Call>(sessionLibrary(), name);
}

// One WTSQuerySessionInformationW answer about this session, copied out and freed; empty when
// the call is missing or fails.
std::vector<unsigned char> sessionAnswer(int what) {
    using Query = BOOL(WINAPI*)(HANDLE server, DWORD session, int what, LPWSTR* buffer, DWORD* bytes);
    using Free = void(WINAPI*)(PVOID memory);
    constexpr DWORD kCurrentSession = static_cast<DWORD>(-1);  // WTS_CURRENT_SESSION
    const auto query = sessionCall<Query>("WTSQuerySessionInformationW");
    const auto release = sessionCall<Free>("WTSFreeMemory");
    LPWSTR answer = nullptr;
    DWORD bytes = 0;
    if (query == nullptr || release == nullptr || !query(nullptr, kCurrentSession, what, &answer, &bytes)) return {};
    const auto* first = reinterpret_cast<const unsigned char*>(answer);
    std::vector<unsigned char> copy(first, first + bytes);
    release(answer);
    return copy;
}

}  // namespace

bool Win32Platform::watchSessionChanges(WindowHandle window) {
    using Register = BOOL(WINAPI*)(HWND window, DWORD flags);
    constexpr DWORD kThisSession = 0;  // NOTIFY_FOR_THIS_SESSION
    const auto registerWindow = sessionCall<Register>("WTSRegisterSessionNotification");
    return registerWindow != nullptr && registerWindow(toHwnd(window), kThisSession) != FALSE;
}

void Win32Platform::stopWatchingSessionChanges(WindowHandle window) {
    using Unregister = BOOL(WINAPI*)(HWND window);
    if (const auto unregister = sessionCall<Unregister>("WTSUnRegisterSessionNotification")) unregister(toHwnd(window));
}

bool Win32Platform::sessionConnected() {
    constexpr int kConnectState = 8;  // WTSConnectState
    constexpr int kActive = 0;        // WTSActive
    const std::vector<unsigned char> answer = sessionAnswer(kConnectState);
    if (answer.size() < sizeof(int)) return true;
    int state = 0;
    std::memcpy(&state, answer.data(), sizeof state);
    return state == kActive;
}

// WTSSessionInfoEx (Windows 7 and later) tells the lock; on Windows 7 its two values are swapped
// ("WTSINFOEX_LEVEL1_W structure": a defect there reverses WTS_SESSIONSTATE_LOCK and _UNLOCK).
bool Win32Platform::sessionLocked() {
    struct InfoLevel1 {
        ULONG sessionId;
        int sessionState;
        LONG sessionFlags;
    };
    struct InfoEx {
        DWORD level;
        union {
            InfoLevel1 level1;
            LARGE_INTEGER alignment;
        } data;
    };
    constexpr int kSessionInfoEx = 25;  // WTSSessionInfoEx
    constexpr LONG kLock = 0;           // WTS_SESSIONSTATE_LOCK
    constexpr LONG kUnlock = 1;         // WTS_SESSIONSTATE_UNLOCK
    if (!windowsIsAtLeast(6, 1)) return false;
    const std::vector<unsigned char> answer = sessionAnswer(kSessionInfoEx);
    if (answer.size() < offsetof(InfoEx, data) + sizeof(InfoLevel1)) return false;
    InfoEx info{};
    std::memcpy(&info, answer.data(), std::min(answer.size(), sizeof info));
    const LONG lockedFlag = windowsIsAtLeast(6, 2) ? kLock : kUnlock;
    return info.level == 1 && info.data.level1.sessionFlags == lockedFlag;
}

WindowHandle Win32Platform::findWindow(const char* title) {
    return toHandle(FindWindowW(nullptr, wideFromCp950(title).c_str()));
}

std::u16string Win32Platform::foldCp950Title(const char* text) { return win32::foldCp950Title(text); }

std::u16string Win32Platform::foldTitle(std::u16string text) { return win32::foldTitle(std::move(text)); }

WindowHandle Win32Platform::windowPassing(const TitleTest& test) { return win32::windowPassing(test); }

bool Win32Platform::windowExists(WindowHandle window) { return win32::windowExists(window); }

std::vector<std::u16string> Win32Platform::webBrowserPrograms() { return win32::webBrowserPrograms(); }

WindowHandle Win32Platform::createDialog(unsigned templateId, DialogEvents* events, WindowHandle owner) {
    // Wide, as the templates are: the ANSI call would hand each control its Chinese text through
    // the system's code page, which only a Chinese Windows has as 950.
    HWND dialog = CreateDialogParamW(instance_, MAKEINTRESOURCEW(templateId), toHwnd(owner), dialogProc,
                                     reinterpret_cast<LPARAM>(events));
    if (dialog != nullptr) dialogs_.push_back(dialog);
    return toHandle(dialog);
}

WindowHandle Win32Platform::createHiddenWindow(const char* title, WindowProcedure* procedure) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = hiddenWindowProc;
    windowClass.hInstance = instance_;
    windowClass.lpszClassName = kHiddenWindowClass;
    RegisterClassA(&windowClass);  // fails harmlessly when the class is already registered
    HWND window = CreateWindowExA(0, kHiddenWindowClass, title, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance_,
                                  nullptr);
    if (window != nullptr) SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(procedure));
    return toHandle(window);
}

std::intptr_t Win32Platform::defaultWindowProc(WindowHandle window, unsigned message, std::uintptr_t wParam,
                                               std::intptr_t lParam) {
    return DefWindowProcA(toHwnd(window), message, wParam, lParam);
}

void Win32Platform::destroyWindow(WindowHandle window) {
    HWND hwnd = toHwnd(window);
    const auto dialog = std::find(dialogs_.begin(), dialogs_.end(), hwnd);
    // The object behind the window is being destroyed: its messages go to the defaults now.
    if (dialog != dialogs_.end()) {
        dialogs_.erase(dialog);
        SetWindowLongPtrA(hwnd, DWLP_USER, 0);
    } else {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    }
    DestroyWindow(hwnd);
}

void Win32Platform::showWindow(WindowHandle window, int showState) { ShowWindow(toHwnd(window), showState); }

void Win32Platform::setForegroundWindow(WindowHandle window) { SetForegroundWindow(toHwnd(window)); }

void Win32Platform::centerWindow(WindowHandle window) {
    HWND hwnd = toHwnd(window);
    RECT bounds;
    RECT workArea;
    GetWindowRect(hwnd, &bounds);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
    const int width = bounds.right - bounds.left;
    const int height = bounds.bottom - bounds.top;
    const int x = workArea.left + (workArea.right - workArea.left - width) / 2;
    const int y = workArea.top + (workArea.bottom - workArea.top - height) / 2;
    SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Platform::makeToolWindow(WindowHandle window) {
    HWND hwnd = toHwnd(window);
    const LONG_PTR style = GetWindowLongPtrA(hwnd, GWL_EXSTYLE);
    SetWindowLongPtrA(hwnd, GWL_EXSTYLE, (style & ~static_cast<LONG_PTR>(WS_EX_APPWINDOW)) | WS_EX_TOOLWINDOW);
    SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Platform::setWindowIcons(WindowHandle window, IconHandle icon) {
    SendMessageA(toHwnd(window), WM_SETICON, ICON_BIG, static_cast<LPARAM>(icon));
    SendMessageA(toHwnd(window), WM_SETICON, ICON_SMALL, static_cast<LPARAM>(icon));
}

void Win32Platform::postCommand(WindowHandle window, unsigned id) { PostMessageA(toHwnd(window), WM_COMMAND, id, 0); }

void Win32Platform::sendClose(WindowHandle window) { SendMessageA(toHwnd(window), WM_CLOSE, 0, 0); }

void Win32Platform::setMainWindow(WindowHandle window) {
    mainWindow_ = toHwnd(window);
    mainWindowForQuit = mainWindow_;
}

WindowHandle Win32Platform::mainWindow() { return toHandle(mainWindow_); }

void Win32Platform::runMessageLoop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // A message handled here may destroy a dialog (Exit does): walk a copy of the list.
        const std::vector<HWND> dialogs = dialogs_;
        const bool forDialog = std::any_of(dialogs.begin(), dialogs.end(),
                                           [&](HWND dialog) { return IsDialogMessageW(dialog, &message) != 0; });
        if (forDialog) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void Win32Platform::comboReset(WindowHandle dialog, unsigned control) {
    SendDlgItemMessageA(toHwnd(dialog), static_cast<int>(control), CB_RESETCONTENT, 0, 0);
}

void Win32Platform::comboInsert(WindowHandle dialog, unsigned control, int position, const char* text) {
    const std::wstring wide = wideFromCp950(text);
    SendDlgItemMessageW(toHwnd(dialog), static_cast<int>(control), CB_INSERTSTRING, static_cast<WPARAM>(position),
                        reinterpret_cast<LPARAM>(wide.c_str()));
}

void Win32Platform::comboSelect(WindowHandle dialog, unsigned control, int position) {
    SendDlgItemMessageA(toHwnd(dialog), static_cast<int>(control), CB_SETCURSEL, static_cast<WPARAM>(position), 0);
}

int Win32Platform::comboSelection(WindowHandle dialog, unsigned control) {
    return static_cast<int>(SendDlgItemMessageA(toHwnd(dialog), static_cast<int>(control), CB_GETCURSEL, 0, 0));
}

std::string Win32Platform::comboText(WindowHandle dialog, unsigned control, int position) {
    const LRESULT length = SendDlgItemMessageW(toHwnd(dialog), static_cast<int>(control), CB_GETLBTEXTLEN,
                                               static_cast<WPARAM>(position), 0);
    if (length == CB_ERR) return std::string();
    std::vector<wchar_t> text(static_cast<std::size_t>(length) + 1, L'\0');
    SendDlgItemMessageW(toHwnd(dialog), static_cast<int>(control), CB_GETLBTEXT, static_cast<WPARAM>(position),
                        reinterpret_cast<LPARAM>(text.data()));
    return cp950FromWide(text.data());
}

bool Win32Platform::hasControl(WindowHandle dialog, unsigned id) {
    return GetDlgItem(toHwnd(dialog), static_cast<int>(id)) != nullptr;
}

// As many bytes as the ANSI call would give a Chinese Windows: at most capacity - 1, never half a
// character.
std::string Win32Platform::windowText(WindowHandle window, int capacity) {
    if (capacity <= 0) return std::string();
    std::vector<wchar_t> text(static_cast<std::size_t>(capacity) + 1, L'\0');
    GetWindowTextW(toHwnd(window), text.data(), capacity);
    const std::string bytes = cp950FromWide(text.data());
    std::vector<char> bounded(static_cast<std::size_t>(capacity), '\0');
    cp950::copyBounded(bounded.data(), bounded.size(), bytes.c_str(), bytes.size());
    return std::string(bounded.data());
}

void Win32Platform::setControlFont(WindowHandle dialog, unsigned id, GdiObject font, bool redraw) {
    SendDlgItemMessageA(toHwnd(dialog), static_cast<int>(id), WM_SETFONT, static_cast<WPARAM>(font), redraw ? 1 : 0);
}

GdiObject Win32Platform::createSolidBrush(Color color) { return fromGdi(CreateSolidBrush(color)); }

GdiObject Win32Platform::createPen(int style, int width, Color color) { return fromGdi(CreatePen(style, width, color)); }

GdiObject Win32Platform::createFont(const FontSpec& font) {
    return fromGdi(CreateFontW(font.height, font.width, font.escapement, font.orientation, font.weight, font.italic,
                               font.underline, font.strikeOut, font.charSet, font.outPrecision, font.clipPrecision,
                               font.quality, font.pitchAndFamily, wideFromCp950(font.face).c_str()));
}

void Win32Platform::deleteObject(GdiObject object) { DeleteObject(toGdi(object)); }

GdiObject Win32Platform::selectObject(DeviceContext dc, GdiObject object) {
    return fromGdi(SelectObject(toHdc(dc), toGdi(object)));
}

void Win32Platform::fillRect(DeviceContext dc, const Rect& rect, GdiObject brush) {
    const RECT area = toRect(rect);
    FillRect(toHdc(dc), &area, reinterpret_cast<HBRUSH>(brush));
}

void Win32Platform::moveTo(DeviceContext dc, long x, long y) { MoveToEx(toHdc(dc), x, y, nullptr); }

void Win32Platform::lineTo(DeviceContext dc, long x, long y) { LineTo(toHdc(dc), x, y); }

Color Win32Platform::setTextColor(DeviceContext dc, Color color) { return SetTextColor(toHdc(dc), color); }

void Win32Platform::setBackgroundMode(DeviceContext dc, int mode) { SetBkMode(toHdc(dc), mode); }

void Win32Platform::drawText(DeviceContext dc, const char* text, int length, const Rect& rect, unsigned format) {
    RECT area = toRect(rect);
    const std::wstring wide = wideFromCp950(text, length);
    DrawTextW(toHdc(dc), wide.c_str(), static_cast<int>(wide.size()), &area, format);
}

void Win32Platform::drawFocusRect(DeviceContext dc, const Rect& rect) {
    const RECT area = toRect(rect);
    DrawFocusRect(toHdc(dc), &area);
}

void Win32Platform::messageBox(WindowHandle owner, const char* text, const char* caption) {
    MessageBoxW(toHwnd(owner), wideFromCp950(text).c_str(), wideFromCp950(caption).c_str(), MB_OK);
}

// The file name without its folder and extension; cut while it is UTF-16, since a Big5 trail
// byte may be a backslash.
std::string Win32Platform::applicationName() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = path;
    const std::size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos) name.erase(0, slash + 1);
    const std::size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos) name.erase(dot);
    return cp950FromWide(name.c_str());
}

std::string Win32Platform::readProfileString(const char* section, const char* key, const char* fallback,
                                             unsigned capacity, const char* file) {
    return win32::readProfileString(section, key, fallback, capacity, file);
}

bool Win32Platform::writeProfileString(const char* section, const char* key, const char* value, const char* file) {
    return win32::writeProfileString(section, key, value, file);
}

bool Win32Platform::fileExists(const char* path) { return win32::fileExists(path); }

bool Win32Platform::deleteFile(const char* path) { return win32::deleteFile(path); }

std::unique_ptr<TextFile> Win32Platform::openTextFile(const char* path) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return nullptr;
    return std::make_unique<CrtTextFile>(file);
}

void Win32Platform::setTimer(WindowHandle window, unsigned id, unsigned milliseconds) {
    SetTimer(toHwnd(window), id, milliseconds, nullptr);
}

void Win32Platform::killTimer(WindowHandle window, unsigned id) { KillTimer(toHwnd(window), id); }

IconHandle Win32Platform::loadIcon(unsigned id) {
    return reinterpret_cast<IconHandle>(LoadIconA(instance_, MAKEINTRESOURCEA(id)));
}

// LoadIconMetric (common controls 6, Windows Vista and later) picks the image drawn for the size
// the shell asks for, or scales a larger one down well; Windows XP gets the small image by its
// size. Each is loaded once and kept, as the shell copies what it shows.
//
// Krev declares no DPI awareness, so at a scale above 100 % Windows tells it that a small icon has
// 16 pixels and the shell stretches that picture. Windows 10 (1607) and later let this thread ask
// at the system's scale while the icon loads, so the picture drawn for 20, 24 or 32 pixels is the
// one shown; windows and dialogs keep Windows' scaling.
IconHandle Win32Platform::loadTrayIcon(unsigned id) {
    const auto kept = trayIcons_.find(id);
    if (kept != trayIcons_.end()) return reinterpret_cast<IconHandle>(kept->second);
    using LoadIconMetricCall = HRESULT(WINAPI*)(HINSTANCE instance, PCWSTR name, int metric, HICON* icon);
    using SetDpiContextCall = HANDLE(WINAPI*)(HANDLE context);
    constexpr int kSmallMetric = 0;                                 // LIM_SMALL
    const auto kSystemAware = reinterpret_cast<HANDLE>(INT_PTR{-2});  // DPI_AWARENESS_CONTEXT_SYSTEM_AWARE
    const auto loadMetric = functionOf<LoadIconMetricCall>(GetModuleHandleW(L"comctl32.dll"), "LoadIconMetric");
    const auto setDpiContext =
        functionOf<SetDpiContextCall>(GetModuleHandleW(L"user32.dll"), "SetThreadDpiAwarenessContext");
    const HANDLE previousContext = setDpiContext == nullptr ? nullptr : setDpiContext(kSystemAware);
    HICON icon = nullptr;
    if (loadMetric == nullptr || FAILED(loadMetric(instance_, MAKEINTRESOURCEW(id), kSmallMetric, &icon))) {
        icon = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(id), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    }
    if (previousContext != nullptr) setDpiContext(previousContext);
    if (icon != nullptr) trayIcons_[id] = icon;
    return reinterpret_cast<IconHandle>(icon);
}

bool Win32Platform::notifyIcon(NotifyAction action, const NotifyIconRecord& record) {
    NOTIFYICONDATAA data{};
    // The record form whose tip holds 128 bytes (488 bytes on 32-bit Windows).
    data.cbSize = NOTIFYICONDATAA_V2_SIZE;
    data.hWnd = toHwnd(record.window);
    data.uID = record.id;
    data.uFlags = record.flags;
    data.uCallbackMessage = record.callbackMessage;
    data.hIcon = reinterpret_cast<HICON>(record.icon);
    std::memcpy(data.szTip, record.tip, sizeof data.szTip);
    data.szTip[sizeof data.szTip - 1] = '\0';
    return Shell_NotifyIconA(static_cast<DWORD>(action), &data) != FALSE;
}

unsigned Win32Platform::registerWindowMessage(const char* name) { return RegisterWindowMessageA(name); }

MenuHandle Win32Platform::loadMenu(unsigned id) {
    return reinterpret_cast<MenuHandle>(LoadMenuA(instance_, MAKEINTRESOURCEA(id)));
}

MenuHandle Win32Platform::subMenu(MenuHandle menu, int position) {
    return reinterpret_cast<MenuHandle>(GetSubMenu(toHmenu(menu), position));
}

void Win32Platform::destroyMenu(MenuHandle menu) { DestroyMenu(toHmenu(menu)); }

int Win32Platform::menuItemCount(MenuHandle menu) { return GetMenuItemCount(toHmenu(menu)); }

unsigned Win32Platform::menuItemId(MenuHandle menu, int position) {
    return static_cast<unsigned>(GetMenuItemID(toHmenu(menu), position));
}

void Win32Platform::checkMenuItem(MenuHandle menu, unsigned id, bool checked) {
    CheckMenuItem(toHmenu(menu), id, MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

Point Win32Platform::cursorPos() {
    POINT cursor{};
    GetCursorPos(&cursor);
    return Point{cursor.x, cursor.y};
}

void Win32Platform::trackPopupMenu(MenuHandle menu, unsigned flags, Point at, WindowHandle owner) {
    TrackPopupMenu(toHmenu(menu), flags, static_cast<int>(at.x), static_cast<int>(at.y), 0, toHwnd(owner), nullptr);
}

ThreadHandle Win32Platform::startThread(ThreadRoutine routine, void* argument) {
    auto* start = new ThreadStart{routine, argument};
    HANDLE thread = CreateThread(nullptr, 0, threadTrampoline, start, 0, nullptr);
    if (thread == nullptr) delete start;
    return reinterpret_cast<ThreadHandle>(thread);
}

bool Win32Platform::joinThread(ThreadHandle thread, unsigned milliseconds) {
    HANDLE handle = reinterpret_cast<HANDLE>(thread);
    const bool ended = WaitForSingleObject(handle, milliseconds) == WAIT_OBJECT_0;
    // A thread stuck in a call (the card library hanging) is ended where it stands. Termination
    // completes after the call returns: the caller frees what the thread uses once this returns.
    if (!ended) {
        DWORD code = 0;
        GetExitCodeThread(handle, &code);
        TerminateThread(handle, code);
        WaitForSingleObject(handle, INFINITE);
    }
    CloseHandle(handle);
    return ended;
}

std::unique_ptr<StopSignal> Win32Platform::createStopSignal() {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return nullptr;
    return std::make_unique<EventStopSignal>(event);
}

long Win32Platform::scGetState(std::uint32_t access, std::uint32_t* count, std::uint32_t* states) {
    static_assert(sizeof(DWORD) == sizeof(std::uint32_t), "state words are 32-bit");
    return SC_GetState(access, reinterpret_cast<DWORD*>(count), reinterpret_cast<DWORD*>(states));
}

long Win32Platform::scGetReaderList(std::uint32_t access, char* buffer) { return SC_GetReaderList(access, buffer); }

// Asked for by name: a card library without a watch of its own has nothing to end.
void Win32Platform::scClose(std::uint32_t access) {
    typedef LONG(WINAPI * Close)(DWORD);
    if (const Close close = functionOf<Close>(GetModuleHandleA("SC.dll"), "SC_Close")) close(access);
}

}  // namespace platform::win32
