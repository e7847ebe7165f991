#include "krev/main_dialog.h"

#include <cstring>

#include "krev/card_poller.h"
#include "krev/res/resource.h"
#include "krev/settings.h"
#include "krev/web_atm_titles.h"
#include "krev/web_pages.h"

namespace {
constexpr unsigned kIdOk = 1;
constexpr unsigned kIdCancel = 2;

// The table ends at its closing row.
std::size_t webAtmTitleRows() {
    std::size_t rows = 0;
    while (std::strcmp(webAtmTitles[rows], "EndOfBlock") != 0) ++rows;
    return rows;
}
}  // namespace

CKrevSystemTrayDlg::CKrevSystemTrayDlg(platform::Platform& platform, CommandTarget& application)
    : DialogWindow(platform, IDD_ABOUT_BOX),
      tray(platform),
      readerDialog(platform, application),
      textFont(platform),
      okButton(platform),
      webAddressButton(platform),
      application_(application),
      dialogIcon_(platform.loadIcon(IDI_CARD_RED)),
      webAtmGuard_(platform, webAtmTitles, webAtmTitleRows()) {
    tray.onMenuClosed = [this] { modalLoopEnded(); };
    readerDialog.onCommandPassedOn = [this] { modalLoopEnded(); };
}

void CKrevSystemTrayDlg::modalLoopEnded() {
    if (exitAfterModalLoop && !insideModalLoop()) platform_.postCommand(handle(), ID_EXIT);
}

CKrevSystemTrayDlg::~CKrevSystemTrayDlg() {
    // The poller writes cardWatch and calls into the card library: it ends before anything
    // else of the dialog goes.
    stopPoller();
    if (handle() != 0 && watchingSession_) platform_.stopWatchingSessionChanges(handle());
}

bool CKrevSystemTrayDlg::onInitDialog(platform::WindowHandle self) {
    DialogWindow::onInitDialog(self);
    platform_.setWindowIcons(self, dialogIcon_);
    platform_.makeToolWindow(self);
    platform_.centerWindow(self);
    setUpAboutBox();
    // The user's last choice of the tray menu's switch.
    autoConnect = settings::read(platform_, settings::kReaderSection, settings::kAutoConnectKey) == "0" ? 0 : 1;
    if (autoConnect == 1) platform_.setTimer(self, kAutoConnectTimer, kAutoConnectPeriodMs);
    sessionConnected_ = true;
    sessionLocked_ = false;
    watchingSession_ = false;
    sessionWatchTries_ = kSessionWatchTries;
    watchSession();
    timerBusy = 0;
    newerVersion = 0;
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

// The About box's look: its text font on the three lines, and the two colour buttons.
void CKrevSystemTrayDlg::setUpAboutBox() {
    const platform::FontSpec font{14, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0x20, "新細明體"};
    textFont.handle = platform_.createFont(font);
    for (unsigned label : {IDC_VERSION_TEXT, IDC_COPYRIGHT_TEXT, IDC_COMPANY_TEXT}) {
        platform_.setControlFont(handle(), label, textFont.handle, true);
    }
    webAddressButton.BindControl(IDC_WEB_ADDRESS, handle(), 0x00FF0000, 0x00FFFFFF, 0x00808080, 2);
    platform_.setControlFont(handle(), IDC_WEB_ADDRESS, textFont.handle, true);
    okButton.BindControl(IDC_ABOUT_OK, handle(), 0x00FFFFFF, 0x00010101, 0x00808080, 2);
    platform_.setControlFont(handle(), IDC_ABOUT_OK, textFont.handle, true);
}

bool CKrevSystemTrayDlg::onDrawItem(const platform::DrawItemInfo& item) {
    for (CColorButton* button : {&okButton, &webAddressButton}) {
        if (button->boundTo(item.controlId)) {
            button->DrawItem(item);
            return true;
        }
    }
    return false;
}

// The buttons act on a click only: an owner-drawn button also reports double-clicks.
bool CKrevSystemTrayDlg::onCommand(unsigned id, unsigned code) {
    if (code == platform::kBnClicked) {
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
            break;
        }
    }
    if (!platform::isMenuOrAccelerator(code)) return false;
    if (id == ID_AUTO_CONNECT) {
        OnAutoConnect();
        return true;
    }
    return isApplicationCommand(id, code) && application_.OnCommand(id);
}

// Runs the update handlers of a pop-up's items in item order, as the menu opens. An item that
// opens a sub-menu is updated under the id of the sub-menu's first item.
void CKrevSystemTrayDlg::OnInitMenuPopup(platform::MenuHandle popup) {
    int count = platform_.menuItemCount(popup);
    for (int position = 0; position < count; ++position) {
        unsigned id = platform_.menuItemId(popup, position);
        if (id == 0) continue;
        if (id == platform::kSubMenuItem) {
            const platform::MenuHandle sub = platform_.subMenu(popup, position);
            id = sub == 0 ? 0 : platform_.menuItemId(sub, 0);
            if (id == 0 || id == platform::kSubMenuItem) continue;
        }
        if (!updateMenuItem(popup, id)) continue;
        // A handler that removed items: step back by the number removed and skip the items
        // that carry the id just updated.
        const int newCount = platform_.menuItemCount(popup);
        if (newCount < count) {
            position -= count - newCount;
            while (position + 1 < newCount && platform_.menuItemId(popup, position + 1) == id) ++position;
        }
        count = newCount;
    }
}

// False when no update handler exists for the id: the item keeps its state.
bool CKrevSystemTrayDlg::updateMenuItem(platform::MenuHandle menu, unsigned id) {
    if (id != ID_AUTO_CONNECT) return false;
    OnUpdateAutoConnect(menu);
    return true;
}

void CKrevSystemTrayDlg::OnUpdateAutoConnect(platform::MenuHandle menu) {
    platform_.checkMenuItem(menu, ID_AUTO_CONNECT, autoConnect == 1);
}

// Shows the reader dialog with a fresh list and, once a reader is on record, opens the
// registration page the first time. Timer 1 runs again afterwards only when automatic opening is
// on: the switch that the menu shows off stays off.
void CKrevSystemTrayDlg::OnSelectReader() {
    platform_.killTimer(handle(), kAutoConnectTimer);
    readerDialog.Create(handle());
    readerDialog.RefreshReaderList();
    platform_.centerWindow(readerDialog.handle());
    platform_.showWindow(readerDialog.handle(), platform::kShow);
    readerSelect = settings::read(platform_, settings::kReaderSection, settings::kSelectKey);
    registerCheck = settings::read(platform_, settings::kRegisterSection, settings::kCheckKey);
    if (!readerSelect.empty() && registerCheck.empty()) {
        settings::write(platform_, settings::kRegisterSection, settings::kCheckKey, settings::kRegistered);
        OpenWebPage(platform_, web_pages::kRegistration);
    }
    platform_.showWindow(handle(), platform::kShowHide);
    if (autoConnect == 1) platform_.setTimer(handle(), kAutoConnectTimer, kAutoConnectPeriodMs);
}

// A close request (Exit sends one before deleting the dialog; Alt+F4 on the About box) is
// answered here with what Windows' default processing does for this dialog, whose Cancel button
// is disabled, but without its warning beep: nothing. Wine's default would post Cancel instead.
bool CKrevSystemTrayDlg::OnClose() { return true; }

// The session ends, or an installer's Restart Manager closes Krev to replace its files: nothing
// waits to be saved, so the poller stops, the icon goes and the process ends at once, also from
// inside the version check's message box, where Exit would wait. (The Restart Manager starts
// Krev again after the install: InitInstance asked Windows to.)
void CKrevSystemTrayDlg::OnEndSession() {
    stopPoller();
    tray.RemoveIcon();
    platform_.endProcess();
}

// OK and Cancel stop the timer and hide the dialog; autoConnect keeps its value.
void CKrevSystemTrayDlg::OnOK() {
    platform_.killTimer(handle(), kAutoConnectTimer);
    platform_.showWindow(handle(), platform::kShowHide);
}

void CKrevSystemTrayDlg::OnCancel() {
    platform_.killTimer(handle(), kAutoConnectTimer);
    platform_.showWindow(handle(), platform::kShowHide);
}
