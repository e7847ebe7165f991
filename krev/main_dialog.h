// The hidden main dialog: the About box, which owns the tray icon, runs timer 1 and starts
// and stops the card poller.
#pragma once
#include <string>

#include "krev/dialog_window.h"
#include "krev/system_tray.h"

constexpr unsigned kAutoConnectTimer = 1;
constexpr unsigned kAutoConnectPeriodMs = 500;

class CKrevSystemTrayDlg : public DialogWindow {
public:
    CKrevSystemTrayDlg(platform::Platform& platform, CommandTarget& application);
    ~CKrevSystemTrayDlg();

    CSystemTray tray;

    bool onInitDialog(platform::WindowHandle self) override;
    bool onCommand(unsigned id) override;
    void onTimer(unsigned id) override;
    void onInitMenuPopup(platform::MenuHandle popup) override;

    void OnOK();
    void OnCancel();

    std::string readerSelect;
    std::string registerCheck;
    int timerBusy;
    int autoConnect;
    int openNow;
    int newerVersion;
    int greyIconTicks;
    int greyIconPhase;

private:
    CommandTarget& application_;
    platform::IconHandle dialogIcon_;
};
