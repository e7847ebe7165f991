#include "krev/app.h"

#include "krev/res/resource.h"
#include "krev/user_folder.h"
#include "krev/web_pages.h"

CKrevSystemTrayApp::~CKrevSystemTrayApp() { delete dialog_; }

bool CKrevSystemTrayApp::InitInstance() {
    // Started by hand in its own program folder, which only administrators change, Krev could
    // keep no setting there: it works in the user's own folder, as the shortcuts start it.
    user_folder::leaveReadOnlyProgramFolder(platform_);
    // A window with the main dialog's caption means an earlier instance runs: ask the closer
    // to end it, and go on without waiting.
    if (platform_.findWindow(KREV_ABOUT_CAPTION) != 0) platform_.startProgram("CloseKREV.exe", platform::kShowHide);

    dialog_ = new CKrevSystemTrayDlg(platform_, *this);
    const platform::IconHandle icon = platform_.loadIcon(IDR_MAINFRAME);
    // At a slow logon the shell may not take icons yet: Krev waits for it, within a bound,
    // rather than be gone for the day.
    bool added = dialog_->tray.AddIcon(WM_TRAY_NOTIFY, "Vyx", icon, IDR_TRAY_MENU);
    for (unsigned waited = 0; !added && waited < kShellWaitMs; waited += kShellRetryMs) {
        platform_.sleep(kShellRetryMs);
        added = dialog_->tray.AddIcon(WM_TRAY_NOTIFY, "Vyx", icon, IDR_TRAY_MENU);
    }
    if (!added) {
        delete dialog_;
        dialog_ = nullptr;
        return false;
    }
    dialog_->Create();
    platform_.setMainWindow(dialog_->handle());
    platform_.showWindow(dialog_->handle(), platform::kShowHide);
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
