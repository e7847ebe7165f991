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
    bool ChangeIcon(std::uint16_t iconId);
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

    platform::Platform& platform_;
    unsigned taskbarCreated_;
    platform::WindowHandle window_ = 0;
    platform::NotifyIconRecord record_{};
    int menuDepth_ = 0;
};
