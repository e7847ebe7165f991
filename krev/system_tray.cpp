#include "krev/system_tray.h"

#include <cstdlib>
#include <cstring>

#include "krev/web_pages.h"
#include "platform/command_line.h"
#include "platform/cp950.h"

namespace {
constexpr char kTrayWindowTitle[] = "CSystemTray Dummy Window";
// The record's size in the form whose tip holds 128 bytes; the platform sizes the real record.
constexpr std::uint32_t kRecordSize = 488;
constexpr unsigned kOpenDelayMs = 50;
// The tray window's own timer; the main dialog's timer 1 is another window's.
constexpr unsigned kShellRetryTimer = 1;
}  // namespace

int OpenWebPage(platform::Platform& platform, const char* address) {
    char* line = command_line::build("Farrow.exe", false, address);
    platform.sleep(kOpenDelayMs);
    if (line != nullptr) platform.startProgram(line, platform::kShowHide);
    platform.sleep(kOpenDelayMs);
    std::free(line);
    return 0;
}

CSystemTray::CSystemTray(platform::Platform& platform)
    : platform_(platform), taskbarCreated_(platform.registerWindowMessage("TaskbarCreated")) {}

CSystemTray::~CSystemTray() {
    RemoveIcon();
    if (window_ != 0) platform_.destroyWindow(window_);
}

void CSystemTray::RemoveIcon() {
    record_.flags = 0;
    platform_.notifyIcon(platform::NotifyAction::remove, record_);
}

// May be called again while it fails (the shell not up yet at logon): the window is made once.
bool CSystemTray::AddIcon(unsigned callbackMessage, const char* tip, platform::IconHandle icon, unsigned id) {
    if (window_ == 0) window_ = platform_.createHiddenWindow(kTrayWindowTitle, this);
    if (window_ == 0) return false;
    record_.window = window_;
    record_.id = id;
    record_.icon = icon;
    record_.callbackMessage = callbackMessage;
    record_.size = kRecordSize;
    cp950::copyBounded(record_.tip, sizeof record_.tip, tip, std::strlen(tip));
    return addToShell();
}

bool CSystemTray::AddIconWhenShellReady(unsigned callbackMessage, const char* tip, platform::IconHandle icon,
                                        unsigned id, unsigned boundMs, std::function<void()> gaveUp) {
    if (AddIcon(callbackMessage, tip, icon, id)) return true;
    if (window_ == 0) return false;
    waitingForShell_ = true;
    waitStartedAt_ = platform_.tickCount();
    waitBoundMs_ = boundMs;
    gaveUp_ = std::move(gaveUp);
    platform_.setTimer(window_, kShellRetryTimer, kShellRetryMs);
    return true;
}

// The bound is the time that has passed, the shell's own slow answers included.
void CSystemTray::retryAdd() {
    if (addToShell()) {
        stopWaiting();
        return;
    }
    if (platform_.tickCount() - waitStartedAt_ < waitBoundMs_) return;
    stopWaiting();
    if (gaveUp_) gaveUp_();
}

void CSystemTray::stopWaiting() {
    waitingForShell_ = false;
    platform_.killTimer(window_, kShellRetryTimer);
}

// A busy shell may add the icon and still report a time-out: the icon is then there to modify.
bool CSystemTray::addToShell() {
    record_.flags = platform::kNifMessage | platform::kNifIcon | platform::kNifTip;
    return platform_.notifyIcon(platform::NotifyAction::add, record_) ||
           platform_.notifyIcon(platform::NotifyAction::modify, record_);
}

bool CSystemTray::ChangeIcon(std::uint16_t iconId) {
    record_.icon = platform_.loadTrayIcon(iconId);
    record_.flags = platform::kNifIcon;
    return platform_.notifyIcon(platform::NotifyAction::modify, record_);
}

std::intptr_t CSystemTray::WindowProc(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    if (message == record_.callbackMessage) return HandleIconMessage(wParam, lParam);
    if (message == platform::kWmTimer && wParam == kShellRetryTimer) {
        if (waitingForShell_) retryAdd();
        return 0;
    }
    // A new taskbar (the shell restarted, or came up at last) has none of the old icons: ours
    // goes back with its current picture and tip.
    if (taskbarCreated_ != 0 && message == taskbarCreated_) {
        if (record_.window != 0 && addToShell() && waitingForShell_) stopWaiting();
        return 0;
    }
    return platform_.defaultWindowProc(window_, message, wParam, lParam);
}

std::intptr_t CSystemTray::HandleIconMessage(std::uintptr_t wParam, std::intptr_t lParam) {
    if (wParam != record_.id) return 0;
    const platform::WindowHandle mainWindow = platform_.mainWindow();
    switch (static_cast<unsigned>(lParam) & 0xFFFFu) {
    case platform::kWmLButtonUp:
    case platform::kWmRButtonUp:
        return showPopupMenu() ? 1 : 0;
    case platform::kWmLButtonDblClk:
    case platform::kWmRButtonDblClk:
        OpenWebPage(platform_, web_pages::kPortal);
        return 1;
    default:
        platform_.setForegroundWindow(mainWindow);
        return 1;
    }
}

bool CSystemTray::showPopupMenu() {
    const platform::MenuHandle menu = platform_.loadMenu(record_.id);
    if (menu == 0) return false;
    const platform::MenuHandle popup = platform_.subMenu(menu, 0);
    if (popup == 0) {
        platform_.destroyMenu(menu);
        return false;
    }
    const platform::Point cursor = platform_.cursorPos();
    ++menuDepth_;
    platform_.trackPopupMenu(popup, 0, cursor, platform_.mainWindow());
    --menuDepth_;
    platform_.destroyMenu(menu);
    if (onMenuClosed) onMenuClosed();
    return true;
}
