// A simulated operating system for the native tests. Time is virtual: sleep() and runFor()
// advance it, timers tick on it, and a thread's pause (StopSignal::waitFor) ends when the clock
// reaches it, so a poller thread runs exactly the cycles that fall within the time the test
// lets pass. Windows have titles, program starts and shell calls are recorded, and the card
// library plays a script of reader states over virtual time.
#pragma once
#include <condition_variable>
#include <functional>
#include <limits>
#include <cstdint>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "outside/sc/reader_report.h"
#include "platform/platform.h"

namespace platform::sim {

// One drawing call, with its arguments in call order.
struct DrawCall {
    std::string op;
    std::vector<long long> args;
    std::string text;
};

struct MessageBoxShown {
    WindowHandle owner;
    std::string text;
    std::string caption;
    long long atMs;
};

struct ProgramStart {
    std::string commandLine;
    int showState;
    long long atMs;
};

struct NotifyCall {
    NotifyAction action;
    NotifyIconRecord record;
    bool accepted;
    int liveThreads;  // threads of the simulation still running at the call
};

struct ShellIcon {
    IconHandle icon;
    std::string tip;
    std::uint32_t callbackMessage;
};

struct SimWindow {
    std::string title;          // as FindWindowA and GetWindowTextA see it, in code page 950
    std::u16string wideTitle;   // the title itself when it holds characters code page 950 lacks
    std::u16string className = u"WinprobeHold";  // a browser's windows have its class
    std::u16string program;  // the program that shows it; empty: it cannot be asked
    unsigned templateId = 0;
    DialogEvents* dialog = nullptr;
    WindowProcedure* procedure = nullptr;
    WindowHandle owner = 0;
    int showState = 0;  // the last show state asked for
    bool visible = false;
    bool toolWindow = false;
    bool destroyed = false;
    // Shown from one instant to another, also while Krev sleeps (a page opened mid-tick).
    long long shownFrom = 0;
    long long shownUntil = std::numeric_limits<long long>::max();
    IconHandle icon = 0;
    int timesCentred = 0;
};

struct MenuItem {
    std::string caption;
    unsigned id = 0;  // 0 for a separator
    bool checked = false;
    std::vector<MenuItem> popup;  // the items of a sub-menu
};

struct MenuTrack {
    MenuHandle menu;
    unsigned flags;
    Point at;
    WindowHandle owner;
    std::vector<bool> checkedAfterInit;  // each item's tick as the owner left it
};

// The reader states that the simulated card library reports from a given virtual time on.
struct ReaderScene {
    long long fromMs;
    std::vector<bool> present;
    long result;
};

// One report handed out as it stands, before the scene is consulted.
struct RawReport {
    long result;
    std::uint32_t count;
    std::vector<std::uint32_t> words;
};

class SimPlatform : public Platform, public Folders {
public:
    SimPlatform();
    ~SimPlatform() override;

    // What the test controls and observes.
    long long now();
    void runFor(unsigned milliseconds);  // lets time pass while the event loop runs
    void deliverPosted();                // one turn of the event loop: the posted commands
    WindowHandle openWindow(const std::string& title);  // a window of another program
    WindowHandle openWindow(const std::u16string& title);  // one titled in UTF-16 (a browser's)
    WindowHandle openWindow(const std::u16string& title, const std::u16string& className,
                            const std::u16string& program = std::u16string());
    void retitleWindow(WindowHandle window, const std::u16string& title);  // a tab switch, say
    // One that the user opens and closes at those instants, whatever Krev is doing then.
    WindowHandle openWindowBetween(const std::u16string& title, long long fromMs, long long untilMs,
                                   const std::u16string& className = u"WinprobeHold");
    void closeWindow(WindowHandle window);
    SimWindow& window(WindowHandle window);
    bool timerRunning(WindowHandle window, unsigned id);
    unsigned timerPeriod(WindowHandle window, unsigned id);
    // A dialog template: its caption and the controls it has disabled.
    void defineDialog(unsigned templateId, const std::string& caption, std::set<unsigned> disabledControls = {}) {
        dialogCaptions_[templateId] = caption;
        disabledControls_[templateId] = std::move(disabledControls);
    }
    // The shell restarts (Explorer crashed): every icon is gone, and every top-level window is
    // sent the message registered as "TaskbarCreated" once the new taskbar is up.
    void restartShell();
    void defineMenu(unsigned id, const std::vector<MenuItem>& items) { menuResources_[id] = items; }
    std::intptr_t sendMessage(WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    bool sendCommand(WindowHandle window, unsigned id, unsigned code = kMenuCommand);
    // The session is locked, unlocked, connected or disconnected: Windows tells the windows that
    // asked (WM_WTSSESSION_CHANGE), and only those.
    void changeSession(SessionChange change);
    unsigned iconId(IconHandle icon) const {
        if (icon == 0) return 0;
        return static_cast<unsigned>(icon - (icon >= kSmallIconBase ? kSmallIconBase : kIconBase));
    }
    bool isSmallIcon(IconHandle icon) const { return icon >= kSmallIconBase; }
    int liveThreads();
    void scheduleReaders(long long fromMs, std::vector<bool> present, long result = 0);
    void queueReport(RawReport report);
    int cardQueries();

    // Programs started, and files and addresses that the shell opened; UTF-16 ones in UTF-8.
    std::vector<ProgramStart> starts;
    std::vector<ProgramStart> shellOpens;
    std::vector<ProgramStart> addressOpens;
    std::map<std::string, StartOutcome> startOutcomes;  // command line -> how its start ends; started if absent
    std::vector<NotifyCall> notifyCalls;
    std::map<std::pair<WindowHandle, std::uint32_t>, ShellIcon> shellIcons;
    std::vector<MenuTrack> menuTracks;
    // In UTF-8, as are the lookups.
    std::vector<std::string> executableLookups;
    std::map<std::string, std::string> executables;  // file -> program that opens it
    std::map<std::string, std::string> protocolHandlers;  // protocol -> program that Windows names
    std::vector<std::string> protocolLookups;
    std::vector<WindowHandle> foregroundRequests;
    std::vector<WindowHandle> closeRequests;
    std::vector<std::pair<unsigned, std::intptr_t>> defaultProcCalls;
    // Called at each program start: how a test's stand-in for another program behaves.
    std::function<void(const std::string& commandLine)> onProgramStart;
    std::vector<MessageBoxShown> messageBoxes;
    std::vector<DrawCall> drawing;                      // every GDI call, in order
    std::map<GdiObject, std::string> liveGdiObjects;    // created and not yet deleted
    std::map<GdiObject, FontSpec> fonts;
    std::map<GdiObject, std::string> fontFaces;
    std::vector<std::pair<unsigned, GdiObject>> controlFonts;  // WM_SETFONT: control id, font
    std::map<WindowHandle, std::string> windowTexts;
    std::map<unsigned, bool> missingControls;  // control ids the dialogs lack
    std::function<void()> onMessageBox;   // what the user does while a message box is open
    std::function<void()> whileMenuOpen;  // what happens while a pop-up menu is open
    unsigned messageBoxOpenMs = 2000;  // how long the user takes to close a message box
    std::map<std::string, std::vector<std::string>> combos;  // "window/control" -> entries
    std::map<std::string, int> comboSelections;
    std::vector<std::string> fileOpenAttempts;
    std::string applicationFileName = "Krev";
    std::string programFolderPath = "C:\\Program Files\\Vyx";
    std::map<std::string, std::string> environment{{"APPDATA", "C:\\Users\\Lin\\AppData\\Roaming"}};
    // Files that only administrators can have written (owned by Administrators, no user may
    // change them); every other file is one that a user could have written.
    std::set<std::string> administratorsFiles;
    // Files that a user holds under an opportunistic lock: an open that would break it fails at once.
    std::set<std::string> oplockedFiles;

    // Files live below a real temporary folder, removed with the simulation: "C:\\Work\\x" is
    // <root>/C/Work/x. The working directory starts as C:\\Work, the program folder is elsewhere.
    std::string folder() const { return pathOf("."); }
    // A path of the simulated machine (full, or relative to the working directory) on the host.
    std::string pathOf(const std::string& path) const;
    void writeFile(const std::string& relative, const std::string& content);
    std::string readFile(const std::string& relative) const;
    // A file that appears at a given virtual time (written by another process).
    void scheduleFile(const std::string& relative, const std::string& content, long long atMs);
    void makeUndeletable(const std::string& relative) { undeletable_.push_back(relative); }
    int windowLookups = 0;       // findWindow calls
    int classReads = 0;          // window classes that a title test asked for
    int programReads = 0;        // windows' programs that a title test asked for
    int browserListReads = 0;    // lists of the browsers that Windows knows
    std::vector<std::u16string> webBrowsers;  // as Windows knows them: registered, or the https handler's
    int windowEnumerations = 0;  // passes over all windows' titles
    int cp950TitleFolds = 0;      // code-page-950 texts prepared for title comparisons
    int destroyedMenus = 0;
    bool messageLoopRan = false;
    bool quitPosted = false;
    bool refuseIcons = false;
    long long shellReadyAtMs = 0;  // before this virtual time the shell refuses every icon
    unsigned shellCallMs = 0;      // how long each call to the shell's notification area takes
    bool localSystem = false;      // the process runs as the SYSTEM account
    bool restartStart = false;     // started by Windows after an install, with "/restart"
    bool registeredForRestart = false;
    bool processEnded = false;     // endProcess was called
    bool connectedAtStart = true;  // the session has a screen when Krev asks
    bool lockedAtStart = false;    // the session is locked when Krev asks
    std::set<WindowHandle> sessionWatchers;
    long long sessionServiceReadyAtMs = 0;  // before this virtual time Windows refuses to report
    int sessionWatchRequests = 0;
    int beeps = 0;                 // warning beeps of the default dialog processing
    bool refuseHiddenWindows = false;
    bool refuseThreads = false;
    bool refuseStopSignals = false;
    std::vector<unsigned> threadJoinLimits;  // the longest wait asked for at each join
    std::vector<std::string> deletions;      // files deleted, as named
    std::vector<std::string> readOnlyFiles;  // profile files that cannot be written
    std::map<std::string, std::size_t> readErrorsAfter;  // text files, as named: reads fail past this byte
    // Windows destroyed and GDI objects deleted, each with the threads still running then.
    std::vector<std::pair<std::string, int>> releases;
    Point cursor{0, 0};
    unsigned nextMenuChoice = 0;  // command chosen from the next pop-up menu, 0 for none; posted

    // Platform.
    void findExecutable(const wchar_t* file, wchar_t (&result)[kMaxPath]) override;
    void findProtocolHandler(const wchar_t* protocol, wchar_t (&result)[kMaxPath]) override;
    StartOutcome startProgram(const char* commandLine, int showState) override;
    // A command whose program is "" (none was found) fails to start, as on Windows.
    StartOutcome startProgram(const wchar_t* commandLine, int showState) override;
    void openWithShell(const char* file, int showState) override { shellOpens.push_back(ProgramStart{file, showState, now()}); }
    void openAddress(const wchar_t* address, int showState) override;
    void sleep(unsigned milliseconds) override;
    std::uint32_t tickCount() override { return static_cast<std::uint32_t>(now()); }
    bool runsAsLocalSystem() override { return localSystem; }
    void registerForRestart() override { registeredForRestart = true; }
    bool startedForRestart() override { return restartStart; }
    void endProcess() override { processEnded = true; }
    bool watchSessionChanges(WindowHandle window) override {
        ++sessionWatchRequests;
        if (now() < sessionServiceReadyAtMs) return false;
        sessionWatchers.insert(window);
        return true;
    }
    void stopWatchingSessionChanges(WindowHandle window) override { sessionWatchers.erase(window); }
    bool sessionConnected() override { return connectedAtStart; }
    bool sessionLocked() override { return lockedAtStart; }
    WindowHandle findWindow(const char* title) override;
    std::u16string foldCp950Title(const char* text) override;
    std::u16string foldTitle(std::u16string text) override;
    WindowHandle windowPassing(const TitleTest& test) override;
    std::vector<std::u16string> webBrowserPrograms() override;
    bool windowExists(WindowHandle window) override;
    WindowHandle createDialog(unsigned templateId, DialogEvents* events, WindowHandle owner) override;
    WindowHandle createHiddenWindow(const char* title, WindowProcedure* procedure) override;
    std::intptr_t defaultWindowProc(WindowHandle window, unsigned message, std::uintptr_t wParam,
                                    std::intptr_t lParam) override;
    void destroyWindow(WindowHandle window) override;
    void showWindow(WindowHandle window, int showState) override;
    void setForegroundWindow(WindowHandle window) override;
    void centerWindow(WindowHandle window) override;
    void makeToolWindow(WindowHandle window) override;
    void setWindowIcons(WindowHandle window, IconHandle icon) override;
    void postCommand(WindowHandle window, unsigned id) override {
        posted_.push_back(PostedCommand{window, id, kMenuCommand});
    }
    void sendClose(WindowHandle window) override;
    void setMainWindow(WindowHandle window) override { mainWindow_ = window; }
    WindowHandle mainWindow() override { return mainWindow_; }
    void runMessageLoop() override { messageLoopRan = true; }
    void setTimer(WindowHandle window, unsigned id, unsigned milliseconds) override;
    void killTimer(WindowHandle window, unsigned id) override;
    IconHandle loadIcon(unsigned id) override { return kIconBase + id; }
    IconHandle loadTrayIcon(unsigned id) override { return kSmallIconBase + id; }
    bool notifyIcon(NotifyAction action, const NotifyIconRecord& record) override;
    unsigned registerWindowMessage(const char* name) override;
    MenuHandle loadMenu(unsigned id) override;
    MenuHandle subMenu(MenuHandle menu, int position) override;
    void destroyMenu(MenuHandle menu) override;
    int menuItemCount(MenuHandle menu) override;
    unsigned menuItemId(MenuHandle menu, int position) override;
    void checkMenuItem(MenuHandle menu, unsigned id, bool checked) override;
    Point cursorPos() override { return cursor; }
    void trackPopupMenu(MenuHandle menu, unsigned flags, Point at, WindowHandle owner) override;
    ThreadHandle startThread(ThreadRoutine routine, void* argument) override;
    bool joinThread(ThreadHandle thread, unsigned milliseconds) override;
    std::unique_ptr<StopSignal> createStopSignal() override;
    long scGetState(std::uint32_t access, std::uint32_t* count, std::uint32_t* states) override;
    long scGetReaderList(std::uint32_t access, char* buffer) override;
    void scClose(std::uint32_t access) override;
    void comboReset(WindowHandle dialog, unsigned control) override;
    void comboInsert(WindowHandle dialog, unsigned control, int position, const char* text) override;
    void comboSelect(WindowHandle dialog, unsigned control, int position) override;
    int comboSelection(WindowHandle dialog, unsigned control) override;
    std::string comboText(WindowHandle dialog, unsigned control, int position) override;
    bool hasControl(WindowHandle, unsigned id) override { return missingControls.count(id) == 0; }
    std::string windowText(WindowHandle window, int capacity) override;
    void setControlFont(WindowHandle dialog, unsigned id, GdiObject font, bool redraw) override;
    GdiObject createSolidBrush(Color color) override;
    GdiObject createPen(int style, int width, Color color) override;
    GdiObject createFont(const FontSpec& font) override;
    void deleteObject(GdiObject object) override;
    GdiObject selectObject(DeviceContext dc, GdiObject object) override;
    void fillRect(DeviceContext dc, const Rect& rect, GdiObject brush) override;
    void moveTo(DeviceContext dc, long x, long y) override;
    void lineTo(DeviceContext dc, long x, long y) override;
    Color setTextColor(DeviceContext dc, Color color) override;
    void setBackgroundMode(DeviceContext dc, int mode) override;
    void drawText(DeviceContext dc, const char* text, int length, const Rect& rect, unsigned format) override;
    void drawFocusRect(DeviceContext dc, const Rect& rect) override;
    void messageBox(WindowHandle owner, const char* text, const char* caption) override;
    std::string applicationName() override { return applicationFileName; }
    std::string readProfileString(const char* section, const char* key, const char* fallback, unsigned capacity,
                                  const char* file) override;
    bool writeProfileString(const char* section, const char* key, const char* value, const char* file) override;
    bool fileExists(const char* path) override;
    bool deleteFile(const char* path) override;
    std::unique_ptr<TextFile> openTextFile(const char* path) override;
    Folders& folders() override { return *this; }
    PathState pathState(const std::string& path) override;
    std::unique_ptr<HeldFolder> holdFolder(const std::string& path, bool create, Hold& hold) override;
    bool readFile(const std::string& path, std::size_t limit, std::string& bytes) override;
    std::string environmentVariable(const char* name) override;
    std::string programFolder() override { return programFolderPath; }
    std::string workingFolder() override { return workingFolder_; }
    bool setWorkingFolder(const std::string& path) override;
    static std::string comboKey(WindowHandle dialog, unsigned control);

    std::string readerList;  // what SC_GetReaderList writes, at most 65025 bytes
    std::vector<std::uint32_t> cardAccessValues;
    int cardLibraryCloses = 0;  // SC_Close

private:
    friend class SimStopSignal;
    struct Thread;
    struct Timer {
        unsigned period;
        long long due;
    };
    struct Menu {
        std::vector<MenuItem> items;
        std::vector<MenuHandle> popups;  // per item, the handle of its sub-menu or 0
    };
    static constexpr IconHandle kIconBase = 0x10000;
    static constexpr IconHandle kSmallIconBase = 0x20000;

    void advanceTo(long long time);
    struct PostedCommand {
        WindowHandle window;
        unsigned id;
        unsigned code;
    };
    std::vector<PostedCommand> posted_;
    bool threadsIdle() const;
    long long callerTime();
    MenuHandle instantiateMenu(const std::vector<MenuItem>& items);
    Menu* menu(MenuHandle handle);

    std::mutex clockMutex_;
    std::condition_variable clockChanged_;
    long long now_ = 0;
    std::vector<std::unique_ptr<Thread>> threads_;

    std::mutex cardMutex_;
    std::vector<ReaderScene> scenes_;
    std::vector<RawReport> rawReports_;
    // What the card library reports of the scenes: SC.dll's own shaping of its changes.
    reader_report::ChangeTracker cardChanges_;
    int cardQueries_ = 0;

    std::map<WindowHandle, SimWindow> windows_;
    WindowHandle nextWindow_ = 0x100;
    WindowHandle mainWindow_ = 0;
    std::map<std::pair<WindowHandle, unsigned>, Timer> timers_;
    std::map<unsigned, std::string> dialogCaptions_;
    std::map<unsigned, std::set<unsigned>> disabledControls_;
    std::map<std::string, unsigned> registeredMessages_;
    std::map<unsigned, std::vector<MenuItem>> menuResources_;
    std::map<MenuHandle, Menu> menus_;
    MenuHandle nextMenu_ = 0x5000;
    int menusTracking_ = 0;
    GdiObject nextGdiObject_ = 0x7000;
    Color textColor_ = 0;
    GdiObject newGdiObject(const std::string& kind);

    struct PendingFile {
        std::string relative;
        std::string content;
        long long atMs;
    };
    void writePendingFiles();
    std::string root_;
    std::string workingFolder_ = "C:\\Work";
    std::vector<PendingFile> pendingFiles_;
    std::vector<std::string> undeletable_;
};

}  // namespace platform::sim
