#include "krev/main_dialog.h"

#include "krev/card_poller.h"
#include "krev/res/resource.h"
#include "krev/web_pages.h"

namespace {
constexpr unsigned kIdOk = 1;
constexpr unsigned kIdCancel = 2;
}  // namespace

CKrevSystemTrayDlg::CKrevSystemTrayDlg(platform::Platform& platform, CommandTarget& application)
    : DialogWindow(platform, IDD_ABOUT_BOX),
      tray(platform),
      application_(application),
      dialogIcon_(platform.loadIcon(IDI_CARD_RED)) {}

CKrevSystemTrayDlg::~CKrevSystemTrayDlg() {
    // The poller writes cardWatch and calls into the card library: it ends before anything
    // else of the dialog goes.
    stopPoller();
}

bool CKrevSystemTrayDlg::onInitDialog(platform::WindowHandle self) {
    DialogWindow::onInitDialog(self);
    platform_.setWindowIcons(self, dialogIcon_);
    platform_.makeToolWindow(self);
    platform_.centerWindow(self);
    platform_.setTimer(self, kAutoConnectTimer, kAutoConnectPeriodMs);
    timerBusy = 0;
    newerVersion = 0;
    autoConnect = 1;
    cardWatch.pollerThread = 0;
    cardWatch.pollerStopped = 1;
    cardWatch.pollPeriodMs = 100;
    cardWatch.cardPresent = 0;
    cardWatch.cardPrevious = 0;
    greyIconTicks = 0;
    greyIconPhase = 0;
    startPoller(platform_, &cardWatch.pollPeriodMs);
    return true;
}

bool CKrevSystemTrayDlg::onCommand(unsigned id) {
    switch (id) {
    case kIdOk:
        OnOK();
        return true;
    case kIdCancel:
        OnCancel();
        return true;
    case IDC_ABOUT_OK:
        platform_.showWindow(handle(), platform::kShowHide);
        return true;
    case IDC_WEB_ADDRESS:
        OpenWebPage(platform_, web_pages::kHome);
        return true;
    default:
        return application_.OnCommand(id);
    }
}

void CKrevSystemTrayDlg::onTimer(unsigned) {}

void CKrevSystemTrayDlg::onInitMenuPopup(platform::MenuHandle) {}

// OK and Cancel stop the timer and hide the dialog; autoConnect keeps its value.
void CKrevSystemTrayDlg::OnOK() {
    platform_.killTimer(handle(), kAutoConnectTimer);
    platform_.showWindow(handle(), platform::kShowHide);
}

void CKrevSystemTrayDlg::OnCancel() {
    platform_.killTimer(handle(), kAutoConnectTimer);
    platform_.showWindow(handle(), platform::kShowHide);
}
