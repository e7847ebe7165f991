#include "krev/app.h"

#include "krev/res/resource.h"
#include "krev/user_folder.h"
#include "krev/web_pages.h"

CKrevSystemTrayApp::~CKrevSystemTrayApp() { delete dialog_; }

bool CKrevSystemTrayApp::InitInstance() {
    // The SYSTEM account (a deployment tool's install, a service) has no user's notification
    // area and no user to open pages for: nothing to wait for.
    if (platform_.runsAsLocalSystem()) return false;
    // Started by hand in its own program folder, which is the administrators', Krev would keep
    // its settings there (or none): it works in the user's own folder, as the shortcuts start it.
    // So does a Krev that Windows starts again after an install, wherever it starts it.
    if (platform_.startedForRestart()) {
        user_folder::moveToUsersFolder(platform_.folders());
    } else {
        user_folder::leaveProgramFolder(platform_.folders());
    }
    // A window with the main dialog's caption means an earlier instance runs: ask the closer
    // to end it, and go on without waiting.
    if (platform_.findWindow(KREV_ABOUT_CAPTION) != 0) platform_.startProgram("CloseKREV.exe", platform::kShowHide);

    // The main dialog, "About Vyx", exists before the icon: during a slow logon a second Krev
    // finds it, and the message loop answers every message. The poller and timer 1 run from the
    // dialog's initialisation, icon or not: a card is served while the shell is still loading.
    dialog_ = new CKrevSystemTrayDlg(platform_, *this);
    dialog_->Create();
    // An installer's Restart Manager may close Krev to replace its files (OnEndSession); Windows
    // then starts it again once the install is done.
    platform_.registerForRestart();
    platform_.setMainWindow(dialog_->handle());
    platform_.showWindow(dialog_->handle(), platform::kShowHide);
    const platform::IconHandle icon = platform_.loadTrayIcon(IDR_MAINFRAME);
    const platform::WindowHandle dialog = dialog_->handle();
    if (!dialog_->tray.AddIconWhenShellReady(WM_TRAY_NOTIFY, "Vyx", icon, IDR_TRAY_MENU, kShellWaitMs,
                                             [this, dialog] { platform_.postCommand(dialog, ID_EXIT); })) {
        OnExit();
        return false;
    }
    platform_.runMessageLoop();
    return false;
}

bool CKrevSystemTrayApp::OnCommand(unsigned id) {
    switch (id) {
    case ID_WEBATM_AREA:
        OpenWebPage(platform_, web_pages::kPortal);
        return true;
    case ID_CERTIFICATE_AREA:
        OpenWebPage(platform_, web_pages::kCertificateArea);
        return true;
    case ID_WALLET_BALANCE:
        OpenWebPage(platform_, web_pages::kWalletBalance);
        return true;
    case ID_PRODUCT_REGISTRATION:
        OpenWebPage(platform_, web_pages::kRegistration);
        return true;
    case ID_CUSTOMER_SERVICE:
        platform_.startProgram(web_pages::kCustomerServiceCommand, platform::kShow);
        return true;
    case ID_BUY_READER:
        OpenWebPage(platform_, web_pages::kReaderShop);
        return true;
    case ID_HOW_TO_USE:
        OpenWebPage(platform_, web_pages::kUsageGuide);
        return true;
    case ID_DISCUSSION:
        OpenWebPage(platform_, web_pages::kDiscussion);
        return true;
    case ID_PAGE_A04:
        OpenWebPage(platform_, web_pages::kPageA04);
        return true;
    case ID_VERSION:
        OnVersion();
        return true;
    case ID_EXIT:
        OnExit();
        return true;
    case ID_SELECT_READER:
        OnSelectReader();
        return true;
    default:
        return false;
    }
}

void CKrevSystemTrayApp::OnSelectReader() {
    if (dialog_ != nullptr) dialog_->OnSelectReader();
}

void CKrevSystemTrayApp::OnVersion() {
    if (dialog_ == nullptr) return;
    platform_.centerWindow(dialog_->handle());
    platform_.showWindow(dialog_->handle(), platform::kShowNormal);
    platform_.setForegroundWindow(dialog_->handle());
}

void CKrevSystemTrayApp::OnExit() {
    if (dialog_ == nullptr) return;
    // The dialog cannot be deleted under its own running handlers; Exit comes again when they end.
    if (dialog_->insideModalLoop()) {
        dialog_->exitAfterModalLoop = true;
        return;
    }
    platform_.sendClose(dialog_->handle());
    delete dialog_;
    dialog_ = nullptr;
}
