// The notification-area icon: a hidden tray window receives the shell's callbacks and turns
// mouse activity into the pop-up menu, the portal page or a foreground request.
#pragma once
#include <cstdint>
#include <functional>

#include "platform/platform.h"

// Opens `address` in the browser through Farrow.exe, started hidden between two 50 ms pauses.
// Always 0.
int OpenWebPage(platform::Platform& platform, const char* address);

class CSystemTray : public platform::WindowProcedure {
public:
    explicit CSystemTray(platform::Platform& platform);
    virtual ~CSystemTray();
    CSystemTray(const CSystemTray&) = delete;
    CSystemTray& operator=(const CSystemTray&) = delete;

    bool AddIcon(unsigned callbackMessage, const char* tip, platform::IconHandle icon, unsigned id);
    // As AddIcon; while the shell takes no icon yet (a slow logon) it is asked again every
    // kShellRetryMs from a timer of the tray window, so the message loop runs meanwhile, until
    // `boundMs` have passed; then `gaveUp` runs. False when not even the tray window exists.
    bool AddIconWhenShellReady(unsigned callbackMessage, const char* tip, platform::IconHandle icon, unsigned id,
                               unsigned boundMs, std::function<void()> gaveUp);
    bool ChangeIcon(std::uint16_t iconId);
    // Takes the icon out of the notification area (the destructor does too).
    void RemoveIcon();
    std::intptr_t WindowProc(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    virtual std::intptr_t HandleIconMessage(std::uintptr_t wParam, std::intptr_t lParam);

    // How many calls that show the pop-up menu are under way. A click that the menu's own loop
    // delivers shows it again inside the first; that inner call returns at once on Windows, so
    // only the outermost one's end means the menu has closed.
    int menuDepth() const { return menuDepth_; }
    // Called each time a call that showed the pop-up menu has returned.
    std::function<void()> onMenuClosed;

private:
    bool showPopupMenu();
    bool addToShell();
    void retryAdd();
    void stopWaiting();

    platform::Platform& platform_;
    unsigned taskbarCreated_;
    platform::WindowHandle window_ = 0;
    platform::NotifyIconRecord record_{};
    int menuDepth_ = 0;
    bool waitingForShell_ = false;
    std::uint32_t waitStartedAt_ = 0;
    unsigned waitBoundMs_ = 0;
    std::function<void()> gaveUp_;
};

constexpr unsigned kShellRetryMs = 1000;
