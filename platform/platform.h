// Everything the product asks of the operating system and of the card library goes through
// this interface. win32/ makes the real calls; sim/ simulates them for the native tests.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process_starter.h"

namespace platform {

using WindowHandle = std::uintptr_t;
using IconHandle = std::uintptr_t;
using MenuHandle = std::uintptr_t;
using ThreadHandle = std::uintptr_t;

struct Point {
    long x;
    long y;
};

// Drawing: colours are 0x00BBGGRR values, GDI objects and device contexts opaque handles.
using Color = std::uint32_t;
using DeviceContext = std::uintptr_t;
using GdiObject = std::uintptr_t;

struct Rect {
    long left;
    long top;
    long right;
    long bottom;
};

// What the platform tells an owner-drawn button to paint.
struct DrawItemInfo {
    unsigned controlId;
    WindowHandle control;
    DeviceContext dc;
    Rect rect;
    unsigned state;
};
enum DrawItemState : unsigned { kOdsSelected = 0x01, kOdsDisabled = 0x04, kOdsFocus = 0x10 };

// The arguments of CreateFontA.
struct FontSpec {
    int height;
    int width;
    int escapement;
    int orientation;
    int weight;
    unsigned italic;
    unsigned underline;
    unsigned strikeOut;
    unsigned charSet;
    unsigned outPrecision;
    unsigned clipPrecision;
    unsigned quality;
    unsigned pitchAndFamily;
    const char* face;
};

// The fields of the shell's notification-icon record that the tray uses.
struct NotifyIconRecord {
    std::uint32_t size;
    WindowHandle window;
    std::uint32_t id;
    std::uint32_t flags;
    std::uint32_t callbackMessage;
    IconHandle icon;
    char tip[128];
};
enum NotifyIconFlags : std::uint32_t { kNifMessage = 1, kNifIcon = 2, kNifTip = 4 };
enum class NotifyAction { add = 0, modify = 1, remove = 2 };

// Window messages and mouse messages the product looks at, with their Windows values.
enum Message : unsigned {
    kWmMouseMove = 0x0200,
    kWmLButtonDown = 0x0201,
    kWmLButtonUp = 0x0202,
    kWmLButtonDblClk = 0x0203,
    kWmRButtonDown = 0x0204,
    kWmRButtonUp = 0x0205,
    kWmRButtonDblClk = 0x0206,
    kWmTimer = 0x0113,
    kWmUser = 0x0400,
};

// Receives the messages of a plain window that the platform created (the tray window).
class WindowProcedure {
public:
    virtual std::intptr_t WindowProc(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;

protected:
    ~WindowProcedure() = default;
};

// What Windows reports of this program's session (WTS_CONSOLE_CONNECT ... WTS_SESSION_UNLOCK).
enum SessionChange : unsigned {
    kConsoleConnect = 1,
    kConsoleDisconnect = 2,
    kRemoteConnect = 3,
    kRemoteDisconnect = 4,
    kSessionLogon = 5,
    kSessionLogoff = 6,
    kSessionLock = 7,
    kSessionUnlock = 8,
};

// Receives the messages of a modeless dialog that the platform created from a template.
class DialogEvents {
public:
    // Runs while the dialog is being created; true lets the platform set the focus.
    virtual bool onInitDialog(WindowHandle self) = 0;
    // WM_COMMAND: the id and the notification code (0 for a menu or a clicked button, 1 for an
    // accelerator, the control's own code otherwise); false when this dialog does not answer it.
    virtual bool onCommand(unsigned id, unsigned code) = 0;
    virtual void onTimer(unsigned id) = 0;
    // A pop-up menu owned by this dialog is about to open.
    virtual void onInitMenuPopup(MenuHandle popup) = 0;
    // An owner-drawn control of this dialog needs painting; false when no one draws it.
    virtual bool onDrawItem(const DrawItemInfo& item) = 0;
    // WM_CLOSE: true when the dialog answered it; false leaves it to the default dialog
    // processing, which posts Cancel, or on Windows beeps when the Cancel button is disabled.
    virtual bool onClose() { return false; }
    // WM_ENDSESSION: the session ends (logoff, shutdown), or an installer's Restart Manager
    // closes the program (ENDSESSION_CLOSEAPP); the process is ended after this returns.
    virtual void onEndSession() {}
    // WM_WTSSESSION_CHANGE for a dialog that watches its session: one of SessionChange.
    virtual void onSessionChange(unsigned change) {
        (void)change;
    }

protected:
    ~DialogEvents() = default;
};

// A pause that a stop request cuts short (the card poller's pause between queries).
class StopSignal {
public:
    virtual ~StopSignal() = default;
    virtual void raise() = 0;
    // Waits up to `milliseconds`; true when the stop was requested.
    virtual bool waitFor(unsigned milliseconds) = 0;
};

using ThreadRoutine = void (*)(void* argument);

// A text file read line by line in text mode (fopen "r", fgets, feof).
class TextFile {
public:
    virtual ~TextFile() = default;
    // True once a read has reached the end of the file.
    virtual bool atEnd() = 0;
    // Reads at most size - 1 bytes, up to and including a line feed; false when nothing was read.
    virtual bool readLine(char* buffer, int size) = 0;
};

// What a title test may ask of the window whose title it tests, each read only when asked.
class WindowFacts {
public:
    // The window's class, folded as titles are (window class names ignore letter case).
    virtual std::u16string className() const = 0;
    // The full path of the program that shows the window, folded as titles are; empty when it
    // cannot be asked (its process is gone, another user's, elevated above this one, protected).
    virtual std::u16string programPath() const = 0;

protected:
    ~WindowFacts() = default;
};

// A test of top-level windows by their titles, each given as Windows compares titles: UTF-16,
// every letter folded as WindowTitles::foldTitle folds it; and by their class and program, when
// a title needs them.
class TitleTest {
public:
    virtual bool matches(const std::u16string& foldedTitle, const WindowFacts& window) const = 0;

protected:
    ~TitleTest() = default;
};

// The titles of the top-level windows, read in one pass.
class WindowTitles {
public:
    // One of our texts, in code page 950 whatever the system's code page, converted to UTF-16,
    // then folded.
    virtual std::u16string foldCp950Title(const char* text) = 0;
    // Letter case folded as Windows ignores it when it compares window titles.
    virtual std::u16string foldTitle(std::u16string text) = 0;
    // The first top-level window (any class, any process, hidden ones too; not message-only or
    // child windows) that passes the test, or 0. Each title is read once, a class only when the
    // test asks; the pass ends at the first match.
    virtual WindowHandle windowPassing(const TitleTest& test) = 0;
    // The window is still there (it may show another title by now).
    virtual bool windowExists(WindowHandle window) = 0;
    // The programs that Windows knows as web browsers, as full paths folded as titles are: those
    // registered under StartMenuInternet, for this user and for the machine, and the program that
    // Windows names for https.
    virtual std::vector<std::u16string> webBrowserPrograms() = 0;

protected:
    ~WindowTitles() = default;
};

// Notification codes of WM_COMMAND.
enum CommandCode : unsigned { kMenuCommand = 0, kAcceleratorCommand = 1, kBnClicked = 0, kBnDoubleClicked = 5 };
inline bool isMenuOrAccelerator(unsigned code) { return code == kMenuCommand || code == kAcceleratorCommand; }

// Ids of the menu-item state that menuItemId reports for an item that opens a sub-menu.
constexpr unsigned kSubMenuItem = 0xFFFFFFFFu;

class Platform : public ProcessStarter, public WindowTitles, public Files {
public:
    virtual ~Platform() = default;

    // Folders by full path: the user's working folder.
    virtual Folders& folders() = 0;

    // Time.
    virtual void sleep(unsigned milliseconds) = 0;
    // Milliseconds since some start, wrapping after 49.7 days: for measuring spans.
    virtual std::uint32_t tickCount() = 0;

    // True when this process runs as the SYSTEM account (a service's, or a deployment tool's),
    // which has no user's desktop to show an icon on.
    virtual bool runsAsLocalSystem() = 0;
    // Asks Windows to start this program again, with "/restart", when an installer's Restart
    // Manager has closed it to replace its files (Windows Vista and later; elsewhere nothing).
    virtual void registerForRestart() = 0;
    // Started so by Windows after an install.
    virtual bool startedForRestart() = 0;
    // Ends this process at once, whatever runs: the session ends.
    virtual void endProcess() = 0;
    // The window's dialog gets onSessionChange from now on (WTSRegisterSessionNotification,
    // Windows XP and later); false when Windows cannot tell.
    virtual bool watchSessionChanges(WindowHandle window) = 0;
    virtual void stopWatchingSessionChanges(WindowHandle window) = 0;
    // This program's session has a screen now: the console's, or a remote client's (not a
    // session that fast user switching or a remote client left). True when Windows cannot tell.
    virtual bool sessionConnected() = 0;
    // This program's session is locked now. False when it is not, or Windows cannot tell (before
    // Windows 7).
    virtual bool sessionLocked() = 0;

    // Windows.
    virtual WindowHandle findWindow(const char* title) = 0;
    // A modeless dialog; an owned one stays above its owner and has no taskbar button.
    virtual WindowHandle createDialog(unsigned templateId, DialogEvents* events, WindowHandle owner) = 0;
    virtual WindowHandle createHiddenWindow(const char* title, WindowProcedure* procedure) = 0;
    virtual std::intptr_t defaultWindowProc(WindowHandle window, unsigned message, std::uintptr_t wParam,
                                            std::intptr_t lParam) = 0;
    virtual void destroyWindow(WindowHandle window) = 0;
    virtual void showWindow(WindowHandle window, int showState) = 0;
    virtual void setForegroundWindow(WindowHandle window) = 0;
    virtual void centerWindow(WindowHandle window) = 0;
    // Drops WS_EX_APPWINDOW and adds WS_EX_TOOLWINDOW, so the window never gets a taskbar button.
    virtual void makeToolWindow(WindowHandle window) = 0;
    virtual void setWindowIcons(WindowHandle window, IconHandle icon) = 0;
    // Queues a command for the window; it arrives through the event loop.
    virtual void postCommand(WindowHandle window, unsigned id) = 0;
    // Sends WM_CLOSE and returns once the window has handled it.
    virtual void sendClose(WindowHandle window) = 0;
    virtual void setMainWindow(WindowHandle window) = 0;
    virtual WindowHandle mainWindow() = 0;
    // Runs the event loop until the main window is destroyed.
    virtual void runMessageLoop() = 0;

    // Combo boxes in a dialog.
    virtual void comboReset(WindowHandle dialog, unsigned control) = 0;
    virtual void comboInsert(WindowHandle dialog, unsigned control, int position, const char* text) = 0;
    virtual void comboSelect(WindowHandle dialog, unsigned control, int position) = 0;
    // The selected position, or -1 when nothing is selected.
    virtual int comboSelection(WindowHandle dialog, unsigned control) = 0;
    virtual std::string comboText(WindowHandle dialog, unsigned control, int position) = 0;

    // Controls of a dialog.
    virtual bool hasControl(WindowHandle dialog, unsigned id) = 0;
    // The window's text, at most capacity - 1 bytes.
    virtual std::string windowText(WindowHandle window, int capacity) = 0;
    virtual void setControlFont(WindowHandle dialog, unsigned id, GdiObject font, bool redraw) = 0;

    // GDI.
    virtual GdiObject createSolidBrush(Color color) = 0;
    virtual GdiObject createPen(int style, int width, Color color) = 0;
    virtual GdiObject createFont(const FontSpec& font) = 0;
    virtual void deleteObject(GdiObject object) = 0;
    virtual GdiObject selectObject(DeviceContext dc, GdiObject object) = 0;
    virtual void fillRect(DeviceContext dc, const Rect& rect, GdiObject brush) = 0;
    virtual void moveTo(DeviceContext dc, long x, long y) = 0;
    virtual void lineTo(DeviceContext dc, long x, long y) = 0;
    virtual Color setTextColor(DeviceContext dc, Color color) = 0;
    virtual void setBackgroundMode(DeviceContext dc, int mode) = 0;
    virtual void drawText(DeviceContext dc, const char* text, int length, const Rect& rect, unsigned format) = 0;
    virtual void drawFocusRect(DeviceContext dc, const Rect& rect) = 0;

    // A modal message box with an OK button and no icon.
    virtual void messageBox(WindowHandle owner, const char* text, const char* caption) = 0;
    // The program's file name without folder and extension.
    virtual std::string applicationName() = 0;

    // Text files. nullptr when the file cannot be opened.
    virtual std::unique_ptr<TextFile> openTextFile(const char* path) = 0;

    // Timers of a window; each tick reaches DialogEvents::onTimer.
    virtual void setTimer(WindowHandle window, unsigned id, unsigned milliseconds) = 0;
    virtual void killTimer(WindowHandle window, unsigned id) = 0;

    // Resources and the notification area.
    virtual IconHandle loadIcon(unsigned id) = 0;
    // The icon in the small size that the notification area shows (16 pixels at 96 DPI, 20 at
    // 120, 24 at 144), drawn for that size rather than shrunk from a larger one.
    virtual IconHandle loadTrayIcon(unsigned id) = 0;
    virtual bool notifyIcon(NotifyAction action, const NotifyIconRecord& record) = 0;
    // The number of a message that programs agree on by name (RegisterWindowMessage); 0 when
    // the system has none to give.
    virtual unsigned registerWindowMessage(const char* name) = 0;

    // Menus.
    virtual MenuHandle loadMenu(unsigned id) = 0;
    virtual MenuHandle subMenu(MenuHandle menu, int position) = 0;
    virtual void destroyMenu(MenuHandle menu) = 0;
    virtual int menuItemCount(MenuHandle menu) = 0;
    virtual unsigned menuItemId(MenuHandle menu, int position) = 0;
    virtual void checkMenuItem(MenuHandle menu, unsigned id, bool checked) = 0;
    virtual Point cursorPos() = 0;
    virtual void trackPopupMenu(MenuHandle menu, unsigned flags, Point at, WindowHandle owner) = 0;

    // Threads.
    virtual ThreadHandle startThread(ThreadRoutine routine, void* argument) = 0;
    // Waits up to `milliseconds` for the thread to end; a thread still running then is
    // terminated, and waited for until it has ended. Closes the handle; false when the thread
    // had to be terminated.
    virtual bool joinThread(ThreadHandle thread, unsigned milliseconds) = 0;
    // nullptr when the system cannot make one.
    virtual std::unique_ptr<StopSignal> createStopSignal() = 0;

    // The card library SC.dll.
    virtual long scGetState(std::uint32_t access, std::uint32_t* count, std::uint32_t* states) = 0;
    virtual long scGetReaderList(std::uint32_t access, char* buffer) = 0;
    // Ends the library's own watch over the readers, where it has one.
    virtual void scClose(std::uint32_t access) = 0;
};

}  // namespace platform
