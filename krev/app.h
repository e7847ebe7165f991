// The application object: start-up, and the commands that the main dialog passes on.
#pragma once
#include "krev/dialog_window.h"
#include "krev/main_dialog.h"

constexpr unsigned WM_TRAY_NOTIFY = 0x0400 + 111;
// How long Krev waits for the shell to take the tray icon (kShellRetryMs apart) before it ends.
constexpr unsigned kShellWaitMs = 5 * 60 * 1000;

class CKrevSystemTrayApp final : public CommandTarget {
public:
    explicit CKrevSystemTrayApp(platform::Platform& platform) : platform_(platform) {}
    ~CKrevSystemTrayApp();
    CKrevSystemTrayApp(const CKrevSystemTrayApp&) = delete;
    CKrevSystemTrayApp& operator=(const CKrevSystemTrayApp&) = delete;

    // Starts the program and runs its event loop; false once the loop has ended. As the SYSTEM
    // account it ends at once; when the shell takes no icon within kShellWaitMs it ends too.
    bool InitInstance();
    bool OnCommand(unsigned id) override;

    CKrevSystemTrayDlg* dialog() const { return dialog_; }

private:
    void OnSelectReader();
    void OnVersion();
    void OnExit();

    platform::Platform& platform_;
    CKrevSystemTrayDlg* dialog_ = nullptr;
};
