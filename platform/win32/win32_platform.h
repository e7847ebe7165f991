// The real calls, for Krev on Windows.
#pragma once
#include <windows.h>

#include <map>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/files_win32.h"

namespace platform::win32 {

class Win32Platform final : public Platform {
public:
    Win32Platform();

    void findExecutable(const wchar_t* file, wchar_t (&result)[kMaxPath]) override;
    void findProtocolHandler(const wchar_t* protocol, wchar_t (&result)[kMaxPath]) override;
    StartOutcome startProgram(const char* commandLine, int showState) override;
    StartOutcome startProgram(const wchar_t* commandLine, int showState) override;
    void openWithShell(const char* file, int showState) override;
    void openAddress(const wchar_t* address, int showState) override;
    void sleep(unsigned milliseconds) override;
    std::uint32_t tickCount() override;
    bool runsAsLocalSystem() override;
    void registerForRestart() override;
    bool startedForRestart() override;
    void endProcess() override;
    bool watchSessionChanges(WindowHandle window) override;
    void stopWatchingSessionChanges(WindowHandle window) override;
    bool sessionConnected() override;
    bool sessionLocked() override;

    WindowHandle findWindow(const char* title) override;
    std::u16string foldCp950Title(const char* text) override;
    std::u16string foldTitle(std::u16string text) override;
    WindowHandle windowPassing(const TitleTest& test) override;
    bool windowExists(WindowHandle window) override;
    std::vector<std::u16string> webBrowserPrograms() override;
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
    void postCommand(WindowHandle window, unsigned id) override;
    void sendClose(WindowHandle window) override;
    void setMainWindow(WindowHandle window) override;
    WindowHandle mainWindow() override;
    void runMessageLoop() override;

    void comboReset(WindowHandle dialog, unsigned control) override;
    void comboInsert(WindowHandle dialog, unsigned control, int position, const char* text) override;
    void comboSelect(WindowHandle dialog, unsigned control, int position) override;
    int comboSelection(WindowHandle dialog, unsigned control) override;
    std::string comboText(WindowHandle dialog, unsigned control, int position) override;
    bool hasControl(WindowHandle dialog, unsigned id) override;
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
    std::string applicationName() override;
    std::string readProfileString(const char* section, const char* key, const char* fallback, unsigned capacity,
                                  const char* file) override;
    bool writeProfileString(const char* section, const char* key, const char* value, const char* file) override;
    bool fileExists(const char* path) override;
    bool deleteFile(const char* path) override;
    Folders& folders() override { return files_; }
    std::unique_ptr<TextFile> openTextFile(const char* path) override;

    void setTimer(WindowHandle window, unsigned id, unsigned milliseconds) override;
    void killTimer(WindowHandle window, unsigned id) override;

    IconHandle loadIcon(unsigned id) override;
    IconHandle loadTrayIcon(unsigned id) override;
    bool notifyIcon(NotifyAction action, const NotifyIconRecord& record) override;
    unsigned registerWindowMessage(const char* name) override;

    MenuHandle loadMenu(unsigned id) override;
    MenuHandle subMenu(MenuHandle menu, int position) override;
    void destroyMenu(MenuHandle menu) override;
    int menuItemCount(MenuHandle menu) override;
    unsigned menuItemId(MenuHandle menu, int position) override;
    void checkMenuItem(MenuHandle menu, unsigned id, bool checked) override;
    Point cursorPos() override;
    void trackPopupMenu(MenuHandle menu, unsigned flags, Point at, WindowHandle owner) override;

    ThreadHandle startThread(ThreadRoutine routine, void* argument) override;
    bool joinThread(ThreadHandle thread, unsigned milliseconds) override;
    std::unique_ptr<StopSignal> createStopSignal() override;

    long scGetState(std::uint32_t access, std::uint32_t* count, std::uint32_t* states) override;
    long scGetReaderList(std::uint32_t access, char* buffer) override;
    void scClose(std::uint32_t access) override;

private:
    Win32Files files_;
    std::map<unsigned, HICON> trayIcons_;
    HINSTANCE instance_;
    HWND mainWindow_ = nullptr;
    std::vector<HWND> dialogs_;
};

}  // namespace platform::win32
