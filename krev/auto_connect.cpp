// The auto-connect timer: at each tick of timer 1, a card that has just been inserted opens
// the portal page, unless a known Web ATM page is open; a card taken out turns the icon grey.
#include "krev/card_poller.h"
#include "krev/main_dialog.h"
#include "krev/res/resource.h"
#include "krev/settings.h"
#include "krev/version_check.h"
#include "krev/web_pages.h"

namespace {
constexpr unsigned kFirstLookMs = 50;
constexpr unsigned kConfirmMs = 500;
constexpr int kGreyIconTicks = 10;

bool insertionSignature() { return cardWatch.cardPrevious == 0 && cardWatch.cardPresent == 1; }
bool removalSignature() { return cardWatch.cardPrevious == 1 && cardWatch.cardPresent == 0; }
}  // namespace

void CKrevSystemTrayDlg::OnTimer(unsigned) {
    // A tick that arrives while one is under way (a message box's loop) is dropped.
    if (timerBusy != 0) return;
    timerBusy = 1;
    if (!watchingSession_ && sessionWatchTries_ > 0) watchSession();
    // A card put in while nobody is at this session's screen (it is locked, or fast user
    // switching or a remote client left it) opens nothing, then or later: it is used up.
    if (!userAtScreen() && insertionSignature()) cardWatch.cardPrevious = cardWatch.cardPresent.load();
    // The insertion that a banking page held back has gone (the card was taken out, or opened
    // its page): that page holds nothing any more.
    if (!insertionSignature()) holdingWindow_ = 0;
    // Reading every window's title is all of an idle Krev's cost, so a tick reads them only when
    // it could act. A tick with nothing to act on does nothing: a card that comes meanwhile is
    // the next tick's, which reads the titles first.
    if (tickMayAct()) {
        // Never disturb a banking page: one that is open ends the tick.
        if (bankingPageHoldsBack()) {
            timerBusy = 0;
            return;
        }
        actOnCard();
    }
    timerBusy = 0;
    modalLoopEnded();
}

// The window that held an insertion back holds it for as long as it exists, also once the user
// looks at another tab in it; otherwise any window that shows a banking page holds it back (and
// a removal's grey icon), and is remembered when it holds an insertion.
bool CKrevSystemTrayDlg::bankingPageHoldsBack() {
    if (holdingWindow_ != 0 && platform_.windowExists(holdingWindow_)) return true;
    holdingWindow_ = 0;
    const platform::WindowHandle page = webAtmGuard_.pageWindow();
    if (page != 0 && insertionSignature()) holdingWindow_ = page;
    return page != 0;
}

// What a tick acts on: an insertion to confirm, a removal that starts the grey icon, the grey
// icon's phase running. A card stays "removed" until the next one comes; once its grey ticks have
// run out, a tick would only show the red icon that is shown already.
bool CKrevSystemTrayDlg::tickMayAct() const {
    return insertionSignature() || greyIconPhase == 1 || (removalSignature() && greyIconTicks > 0);
}

void CKrevSystemTrayDlg::actOnCard() {
    confirmInsertion();
    // A banking page opened while the insertion was being confirmed holds its opening back too.
    if (openNow == 1 && bankingPageHoldsBack()) {
        openNow = 0;
        return;
    }
    startGreyIconPhase();
    runGreyIconPhase();
    if (openNow == 1) openPagesForCard();
}

// The poller writes the two flags one after the other without a lock: an insertion counts
// only when it reads the same 50 ms and 550 ms into the tick.
void CKrevSystemTrayDlg::confirmInsertion() {
    openNow = 0;
    platform_.sleep(kFirstLookMs);
    if (!insertionSignature()) return;
    platform_.sleep(kConfirmMs);
    openNow = insertionSignature() ? 1 : 0;
}

// A card put back while the phase runs does not re-arm its count: re-armed at every tick, the
// phase would never end and the card would never open its page.
void CKrevSystemTrayDlg::startGreyIconPhase() {
    const int previous = cardWatch.cardPrevious;
    if (previous == 0) {
        if (cardWatch.cardPresent == 1 && openNow == 1 && greyIconPhase != 1) greyIconTicks = kGreyIconTicks;
    } else if (previous == 1) {
        if (cardWatch.cardPresent == 0) greyIconPhase = 1;
    }
}

// No page opens during the phase. An insertion confirmed at the tick that ends it opens its page
// then, and counts like any other opening: a later removal shows the grey icon again.
void CKrevSystemTrayDlg::runGreyIconPhase() {
    if (greyIconPhase != 1) return;
    if (greyIconTicks > 0) {
        tray.ChangeIcon(IDI_CARD_GREY);
        --greyIconTicks;
        openNow = 0;
    } else {
        greyIconPhase = 0;
        tray.ChangeIcon(IDI_CARD_RED);
        if (openNow == 1) greyIconTicks = kGreyIconTicks;
    }
}

void CKrevSystemTrayDlg::openPagesForCard() {
    cardWatch.cardPrevious = cardWatch.cardPresent.load();
    registerCheck = settings::read(platform_, settings::kRegisterSection, settings::kCheckKey);
    const bool firstOpening = registerCheck != settings::kRegistered;
    if (firstOpening) {
        settings::write(platform_, settings::kRegisterSection, settings::kCheckKey, settings::kRegistered);
    }
    OpenWebPage(platform_, newerVersion == 1 ? web_pages::kNewVersion : web_pages::kPortal);
    if (firstOpening) OpenWebPage(platform_, web_pages::kRegistration);
    newerVersion = CheckVersion(platform_, handle());
}

void CKrevSystemTrayDlg::OnSessionChange(unsigned change) {
    switch (change) {
    case platform::kConsoleConnect:
    case platform::kRemoteConnect:
        sessionConnected_ = true;
        break;
    case platform::kConsoleDisconnect:
    case platform::kRemoteDisconnect:
        sessionConnected_ = false;
        break;
    case platform::kSessionLock:
        sessionLocked_ = true;
        break;
    case platform::kSessionUnlock:
        sessionLocked_ = false;
        break;
    default:
        break;
    }
}

// Once Windows reports this session's changes, what it is now is asked once: a Krev that the
// Restart Manager starts again after an unattended upgrade may start behind the lock screen.
// Before Windows 7 the lock cannot be asked, and Krev starts at a logon, unlocked.
void CKrevSystemTrayDlg::watchSession() {
    --sessionWatchTries_;
    watchingSession_ = platform_.watchSessionChanges(handle());
    if (!watchingSession_) return;
    sessionConnected_ = platform_.sessionConnected();
    sessionLocked_ = platform_.sessionLocked();
}

bool CKrevSystemTrayDlg::userAtScreen() const { return sessionConnected_ && !sessionLocked_; }

// The switch is each user's own, kept in their Reader.ini for the next start.
void CKrevSystemTrayDlg::OnAutoConnect() {
    autoConnect = autoConnect == 0 ? 1 : 0;
    settings::write(platform_, settings::kReaderSection, settings::kAutoConnectKey, autoConnect == 1 ? "1" : "0");
    if (autoConnect == 1) {
        platform_.setTimer(handle(), kAutoConnectTimer, kAutoConnectPeriodMs);
    } else {
        platform_.killTimer(handle(), kAutoConnectTimer);
        cardWatch.cardPrevious = 0;
        cardWatch.cardPresent = 0;
    }
}
