// The hidden main dialog: the About box, which owns the tray icon, runs timer 1 (the
// auto-connect timer) and starts and stops the card poller.
#pragma once
#include <memory>
#include <string>

#include "krev/color_button.h"
#include "krev/dialog_window.h"
#include "krev/reader_select.h"
#include "krev/system_tray.h"
#include "krev/web_atm_guard.h"

constexpr unsigned kAutoConnectTimer = 1;
constexpr unsigned kAutoConnectPeriodMs = 500;
constexpr int kSessionWatchTries = 120;  // a minute of ticks

class CKrevSystemTrayDlg : public DialogWindow {
public:
    CKrevSystemTrayDlg(platform::Platform& platform, CommandTarget& application);
    ~CKrevSystemTrayDlg() override;

    CSystemTray tray;
    SelectReaderDlg readerDialog;

    // The About box's text font: created at initialisation, deleted with the dialog.
    class Font {
    public:
        explicit Font(platform::Platform& platform) : platform_(platform) {}
        ~Font() {
            if (handle != 0) platform_.deleteObject(handle);
        }
        Font(const Font&) = delete;
        Font& operator=(const Font&) = delete;
        platform::GdiObject handle = 0;

    private:
        platform::Platform& platform_;
    } textFont;

    bool onInitDialog(platform::WindowHandle self) override;
    bool onCommand(unsigned id, unsigned code) override;
    void onTimer(unsigned id) override { OnTimer(id); }
    void onInitMenuPopup(platform::MenuHandle popup) override { OnInitMenuPopup(popup); }
    bool onDrawItem(const platform::DrawItemInfo& item) override;
    bool onClose() override { return OnClose(); }
    void onEndSession() override { OnEndSession(); }
    void onSessionChange(unsigned change) override { OnSessionChange(change); }

    void OnTimer(unsigned id);
    void OnAutoConnect();
    void OnInitMenuPopup(platform::MenuHandle popup);
    void OnUpdateAutoConnect(platform::MenuHandle menu);
    void OnSelectReader();
    void OnOK();
    void OnCancel();
    bool OnClose();
    void OnEndSession();
    void OnSessionChange(unsigned change);

    std::string readerSelect;
    std::string registerCheck;
    // Set when the dialog opens; zero before that, so that nothing ever reads an unset value.
    int timerBusy = 0;
    int autoConnect = 0;
    int openNow = 0;
    int newerVersion = 0;
    int greyIconTicks = 0;
    int greyIconPhase = 0;
    // True while one of this dialog's handlers, or a member's, is under way: a tick (the version
    // check's message box runs its own loop inside it), the tray menu's loop, or a command that
    // the reader dialog passes on. The dialog must not be deleted then.
    bool insideModalLoop() const {
        return timerBusy == 1 || tray.menuDepth() > 0 || readerDialog.commandDepth() > 0;
    }
    // Exit arrived inside such a loop: it is carried out once the last of them has ended.
    bool exitAfterModalLoop = false;

    CColorButton okButton;
    CColorButton webAddressButton;

private:
    void setUpAboutBox();
    void modalLoopEnded();
    bool tickMayAct() const;
    bool bankingPageHoldsBack();
    bool userAtScreen() const;
    void watchSession();
    void actOnCard();
    void confirmInsertion();
    void startGreyIconPhase();
    void runGreyIconPhase();
    void openPagesForCard();
    bool updateMenuItem(platform::MenuHandle menu, unsigned id);

    CommandTarget& application_;
    platform::IconHandle dialogIcon_;
    // Prepared with the dialog; each tick reads every open window's title once against it.
    WebAtmGuard webAtmGuard_;
    // The banking page's window that holds the insertion back: it holds it while it exists,
    // whatever it shows meanwhile (a browser titles a window with its active tab alone).
    platform::WindowHandle holdingWindow_ = 0;
    // Whether the user is at this session's screen: it is connected (at the console or remotely)
    // and not locked. A card put in while not is nobody's to open a page for.
    bool sessionConnected_ = true;
    bool sessionLocked_ = false;
    // At a logon, Windows may not take the request yet (its session service is still starting):
    // the ticks of the first minute ask again.
    bool watchingSession_ = false;
    int sessionWatchTries_ = 0;
};
