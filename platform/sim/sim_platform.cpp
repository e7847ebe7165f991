#include "platform/sim/sim_platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "platform/cp950.h"

namespace platform::sim {

namespace {
constexpr std::size_t kReaderListCapacity = 65025;
constexpr std::size_t kMaxStateWords = 10;
}  // namespace

// A thread started through the simulation, with its own position on the virtual clock.
struct SimPlatform::Thread {
    std::thread thread;
    long long time = 0;
    long long due = 0;
    bool waiting = false;
    bool finished = false;
};

namespace {
thread_local void* currentThread = nullptr;
}

class SimStopSignal final : public StopSignal {
public:
    explicit SimStopSignal(SimPlatform& sim) : sim_(sim) {}
    void raise() override {
        std::lock_guard<std::mutex> lock(sim_.clockMutex_);
        raised_ = true;
        sim_.clockChanged_.notify_all();
    }
    bool waitFor(unsigned milliseconds) override {
        auto* self = static_cast<SimPlatform::Thread*>(currentThread);
        std::unique_lock<std::mutex> lock(sim_.clockMutex_);
        if (self == nullptr) return raised_;
        self->due = self->time + milliseconds;
        self->waiting = true;
        sim_.clockChanged_.notify_all();
        sim_.clockChanged_.wait(lock, [&] { return raised_ || sim_.now_ >= self->due; });
        self->waiting = false;
        if (raised_) return true;
        self->time = self->due;
        return false;
    }

private:
    SimPlatform& sim_;
    bool raised_ = false;
};

SimPlatform::SimPlatform() {
    char pattern[] = "/tmp/krev-sim-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) throw std::runtime_error("no temporary folder for the simulation");
    root_ = made;
    std::filesystem::create_directories(pathOf(workingFolder_));
    std::filesystem::create_directories(pathOf(environment["APPDATA"]));  // every profile has it
}

SimPlatform::~SimPlatform() {
    for (auto& thread : threads_) {
        if (thread->thread.joinable()) thread->thread.detach();
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

long long SimPlatform::now() {
    std::lock_guard<std::mutex> lock(clockMutex_);
    return now_;
}

bool SimPlatform::threadsIdle() const {
    return std::all_of(threads_.begin(), threads_.end(),
                       [&](const auto& thread) { return thread->finished || (thread->waiting && thread->due > now_); });
}

void SimPlatform::advanceTo(long long time) {
    std::unique_lock<std::mutex> lock(clockMutex_);
    if (time > now_) now_ = time;
    clockChanged_.notify_all();
    clockChanged_.wait(lock, [&] { return threadsIdle(); });
}

long long SimPlatform::callerTime() {
    std::lock_guard<std::mutex> lock(clockMutex_);
    auto* self = static_cast<Thread*>(currentThread);
    return self != nullptr ? self->time : now_;
}

void SimPlatform::sleep(unsigned milliseconds) { advanceTo(now() + milliseconds); }

void SimPlatform::deliverPosted() {
    while (!posted_.empty()) {
        const PostedCommand command = posted_.front();
        posted_.erase(posted_.begin());
        sendCommand(command.window, command.id, command.code);
    }
}

void SimPlatform::runFor(unsigned milliseconds) {
    const long long end = now() + milliseconds;
    for (;;) {
        deliverPosted();
        auto next = std::min_element(timers_.begin(), timers_.end(),
                                     [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
        if (next == timers_.end() || next->second.due > end) break;
        const auto key = next->first;
        advanceTo(next->second.due);
        next->second.due = now() + next->second.period;
        SimWindow& target = windows_.at(key.first);
        if (target.dialog != nullptr) target.dialog->onTimer(key.second);
        if (target.procedure != nullptr) target.procedure->WindowProc(kWmTimer, key.second, 0);
        // A handler that overran its period finds one tick waiting when it returns.
        auto timer = timers_.find(key);
        if (timer != timers_.end() && timer->second.due < now()) timer->second.due = now();
    }
    advanceTo(end);
    deliverPosted();
}

WindowHandle SimPlatform::openWindow(const std::string& title) {
    const WindowHandle handle = nextWindow_++;
    windows_[handle].title = title;
    windows_[handle].visible = true;
    return handle;
}

void SimPlatform::closeWindow(WindowHandle window) { windows_.at(window).destroyed = true; }

SimWindow& SimPlatform::window(WindowHandle window) { return windows_.at(window); }

bool SimPlatform::timerRunning(WindowHandle window, unsigned id) { return timers_.count({window, id}) != 0; }

unsigned SimPlatform::timerPeriod(WindowHandle window, unsigned id) {
    auto timer = timers_.find({window, id});
    return timer == timers_.end() ? 0 : timer->second.period;
}

std::intptr_t SimPlatform::sendMessage(WindowHandle window, unsigned message, std::uintptr_t wParam,
                                       std::intptr_t lParam) {
    SimWindow& target = windows_.at(window);
    if (target.destroyed || target.procedure == nullptr) return 0;
    return target.procedure->WindowProc(message, wParam, lParam);
}

bool SimPlatform::sendCommand(WindowHandle window, unsigned id, unsigned code) {
    SimWindow& target = windows_.at(window);
    if (target.destroyed || target.dialog == nullptr) return false;
    return target.dialog->onCommand(id, code);
}

void SimPlatform::changeSession(SessionChange change) {
    for (WindowHandle window : sessionWatchers) {
        const SimWindow& watcher = windows_.at(window);
        if (!watcher.destroyed && watcher.dialog != nullptr) watcher.dialog->onSessionChange(change);
    }
}

namespace {

std::string utf8Of(const wchar_t* text) {
    std::string utf8;
    for (const wchar_t* at = text; *at != L'\0'; ++at) {
        const auto code = static_cast<std::uint32_t>(*at);
        if (code < 0x80) {
            utf8 += static_cast<char>(code);
        } else if (code < 0x800) {
            utf8 += static_cast<char>(0xC0 | (code >> 6));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            utf8 += static_cast<char>(0xE0 | (code >> 12));
            utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            utf8 += static_cast<char>(0xF0 | (code >> 18));
            utf8 += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return utf8;
}

// A lookup's answer into the caller's buffer, cut to fit as a full path would be.
void answer(const std::string& utf8, wchar_t (&result)[kMaxPath]) {
    std::size_t written = 0;
    for (std::size_t at = 0; at < utf8.size() && written + 1 < kMaxPath;) {
        const auto lead = static_cast<unsigned char>(utf8[at]);
        const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        std::uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int next = 1; next <= extra && at + next < utf8.size(); ++next) {
            code = (code << 6) | (static_cast<unsigned char>(utf8[at + next]) & 0x3F);
        }
        result[written++] = static_cast<wchar_t>(code);
        at += 1 + extra;
    }
    result[written] = L'\0';
}

}  // namespace

void SimPlatform::findExecutable(const wchar_t* file, wchar_t (&result)[kMaxPath]) {
    executableLookups.push_back(utf8Of(file));
    auto found = executables.find(utf8Of(file));
    answer(found == executables.end() ? std::string() : found->second, result);
}

void SimPlatform::findProtocolHandler(const wchar_t* protocol, wchar_t (&result)[kMaxPath]) {
    protocolLookups.push_back(utf8Of(protocol));
    auto found = protocolHandlers.find(utf8Of(protocol));
    answer(found == protocolHandlers.end() ? std::string() : found->second, result);
}

StartOutcome SimPlatform::startProgram(const wchar_t* commandLine, int showState) {
    const std::string command = utf8Of(commandLine);
    if (command.rfind("\"\" ", 0) == 0) {
        starts.push_back(ProgramStart{command, showState, now()});
        return StartOutcome::failed;
    }
    return startProgram(command.c_str(), showState);
}

void SimPlatform::openAddress(const wchar_t* address, int showState) {
    addressOpens.push_back(ProgramStart{utf8Of(address), showState, now()});
}

StartOutcome SimPlatform::startProgram(const char* commandLine, int showState) {
    starts.push_back(ProgramStart{commandLine, showState, now()});
    if (onProgramStart) onProgramStart(commandLine);
    const auto outcome = startOutcomes.find(commandLine);
    return outcome == startOutcomes.end() ? StartOutcome::started : outcome->second;
}

WindowHandle SimPlatform::findWindow(const char* title) {
    ++windowLookups;
    for (const auto& [handle, window] : windows_) {
        if (!window.destroyed && cp950::equalsIgnoreCase(window.title.c_str(), title)) return handle;
    }
    return 0;
}

WindowHandle SimPlatform::createDialog(unsigned templateId, DialogEvents* events, WindowHandle owner) {
    const WindowHandle handle = nextWindow_++;
    SimWindow& created = windows_[handle];
    created.templateId = templateId;
    created.owner = owner;
    created.dialog = events;
    auto caption = dialogCaptions_.find(templateId);
    if (caption != dialogCaptions_.end()) created.title = caption->second;
    events->onInitDialog(handle);
    return handle;
}

WindowHandle SimPlatform::createHiddenWindow(const char* title, WindowProcedure* procedure) {
    if (refuseHiddenWindows) return 0;
    const WindowHandle handle = nextWindow_++;
    windows_[handle].title = title;
    windows_[handle].procedure = procedure;
    return handle;
}

std::intptr_t SimPlatform::defaultWindowProc(WindowHandle, unsigned message, std::uintptr_t, std::intptr_t lParam) {
    defaultProcCalls.emplace_back(message, lParam);
    return 0;
}

void SimPlatform::destroyWindow(WindowHandle window) {
    releases.emplace_back("window", liveThreads());
    SimWindow& target = windows_.at(window);
    target.destroyed = true;
    target.dialog = nullptr;
    target.procedure = nullptr;
    for (auto timer = timers_.begin(); timer != timers_.end();) {
        timer = timer->first.first == window ? timers_.erase(timer) : std::next(timer);
    }
    if (window == mainWindow_) quitPosted = true;
}

void SimPlatform::showWindow(WindowHandle window, int showState) {
    windows_.at(window).showState = showState;
    windows_.at(window).visible = showState != kShowHide;
}

void SimPlatform::setForegroundWindow(WindowHandle window) { foregroundRequests.push_back(window); }

void SimPlatform::centerWindow(WindowHandle window) { ++windows_.at(window).timesCentred; }

void SimPlatform::makeToolWindow(WindowHandle window) { windows_.at(window).toolWindow = true; }

void SimPlatform::setWindowIcons(WindowHandle window, IconHandle icon) { windows_.at(window).icon = icon; }

// A close request that the dialog does not answer gets Windows' default dialog processing: it
// posts Cancel, unless the template's Cancel button is disabled; then it beeps and does nothing.
// (Wine posts Cancel in either case.)
void SimPlatform::sendClose(WindowHandle window) {
    closeRequests.push_back(window);
    SimWindow& target = windows_.at(window);
    if (target.destroyed || target.dialog == nullptr || target.dialog->onClose()) return;
    constexpr unsigned kCancel = 2;
    if (disabledControls_[target.templateId].count(kCancel) != 0) {
        ++beeps;
        return;
    }
    posted_.push_back(PostedCommand{window, kCancel, kBnClicked});
}

unsigned SimPlatform::registerWindowMessage(const char* name) {
    auto known = registeredMessages_.find(name);
    if (known != registeredMessages_.end()) return known->second;
    const unsigned number = 0xC000u + static_cast<unsigned>(registeredMessages_.size());
    registeredMessages_[name] = number;
    return number;
}

void SimPlatform::restartShell() {
    shellIcons.clear();
    const unsigned taskbarCreated = registerWindowMessage("TaskbarCreated");
    std::vector<WindowHandle> handles;
    for (const auto& entry : windows_) handles.push_back(entry.first);
    for (WindowHandle handle : handles) sendMessage(handle, taskbarCreated, 0, 0);
}

void SimPlatform::setTimer(WindowHandle window, unsigned id, unsigned milliseconds) {
    timers_[{window, id}] = Timer{milliseconds, now() + milliseconds};
}

void SimPlatform::killTimer(WindowHandle window, unsigned id) { timers_.erase({window, id}); }

bool SimPlatform::notifyIcon(NotifyAction action, const NotifyIconRecord& record) {
    if (shellCallMs != 0) sleep(shellCallMs);
    const auto key = std::make_pair(record.window, record.id);
    const bool known = shellIcons.count(key) != 0;
    bool accepted = false;
    switch (action) {
    case NotifyAction::add:
        accepted = !refuseIcons && now() >= shellReadyAtMs && record.window != 0 && !known;
        if (accepted) shellIcons[key] = ShellIcon{record.icon, record.tip, record.callbackMessage};
        break;
    case NotifyAction::modify:
        accepted = known;
        if (accepted && (record.flags & kNifIcon) != 0) shellIcons[key].icon = record.icon;
        if (accepted && (record.flags & kNifTip) != 0) shellIcons[key].tip = record.tip;
        break;
    case NotifyAction::remove:
        accepted = known;
        shellIcons.erase(key);
        break;
    }
    notifyCalls.push_back(NotifyCall{action, record, accepted, liveThreads()});
    return accepted;
}

MenuHandle SimPlatform::instantiateMenu(const std::vector<MenuItem>& items) {
    const MenuHandle handle = nextMenu_++;
    Menu created;
    created.items = items;
    for (const MenuItem& item : items) created.popups.push_back(item.popup.empty() ? 0 : instantiateMenu(item.popup));
    menus_[handle] = created;
    return handle;
}

SimPlatform::Menu* SimPlatform::menu(MenuHandle handle) {
    auto found = menus_.find(handle);
    return found == menus_.end() ? nullptr : &found->second;
}

MenuHandle SimPlatform::loadMenu(unsigned id) {
    auto resource = menuResources_.find(id);
    return resource == menuResources_.end() ? 0 : instantiateMenu(resource->second);
}

MenuHandle SimPlatform::subMenu(MenuHandle handle, int position) {
    Menu* found = menu(handle);
    if (found == nullptr || position < 0 || position >= static_cast<int>(found->popups.size())) return 0;
    return found->popups[position];
}

void SimPlatform::destroyMenu(MenuHandle handle) {
    Menu* found = menu(handle);
    if (found == nullptr) return;
    for (MenuHandle popup : found->popups) {
        if (popup != 0) destroyMenu(popup);
    }
    menus_.erase(handle);
    ++destroyedMenus;
}

int SimPlatform::menuItemCount(MenuHandle handle) {
    Menu* found = menu(handle);
    return found == nullptr ? -1 : static_cast<int>(found->items.size());
}

unsigned SimPlatform::menuItemId(MenuHandle handle, int position) {
    Menu* found = menu(handle);
    if (found == nullptr || position < 0 || position >= static_cast<int>(found->items.size())) return kSubMenuItem;
    return found->popups[position] != 0 ? kSubMenuItem : found->items[position].id;
}

void SimPlatform::checkMenuItem(MenuHandle handle, unsigned id, bool checked) {
    Menu* found = menu(handle);
    if (found == nullptr) return;
    for (std::size_t item = 0; item < found->items.size(); ++item) {
        if (found->popups[item] != 0) checkMenuItem(found->popups[item], id, checked);
        else if (found->items[item].id == id) found->items[item].checked = checked;
    }
}

void SimPlatform::trackPopupMenu(MenuHandle handle, unsigned flags, Point at, WindowHandle owner) {
    // As on Windows, a second menu cannot be tracked while one is: the call fails at once.
    if (menusTracking_ > 0) return;
    ++menusTracking_;
    MenuTrack track{handle, flags, at, owner, {}};
    auto target = windows_.find(owner);
    DialogEvents* events = target == windows_.end() ? nullptr : target->second.dialog;
    if (events != nullptr) events->onInitMenuPopup(handle);
    if (Menu* shown = menu(handle)) {
        for (const MenuItem& item : shown->items) track.checkedAfterInit.push_back(item.checked);
    }
    menuTracks.push_back(track);
    if (whileMenuOpen) {
        const auto action = whileMenuOpen;
        whileMenuOpen = nullptr;
        action();
    }
    // As on Windows, the chosen item's command is posted: it arrives after the menu has closed.
    --menusTracking_;
    const unsigned choice = nextMenuChoice;
    nextMenuChoice = 0;
    if (events != nullptr && choice != 0) postCommand(owner, choice);
}

ThreadHandle SimPlatform::startThread(ThreadRoutine routine, void* argument) {
    if (refuseThreads) return 0;
    std::unique_lock<std::mutex> lock(clockMutex_);
    auto created = std::make_unique<Thread>();
    Thread* thread = created.get();
    thread->time = now_;
    thread->thread = std::thread([this, thread, routine, argument] {
        currentThread = thread;
        routine(argument);
        std::lock_guard<std::mutex> done(clockMutex_);
        thread->finished = true;
        clockChanged_.notify_all();
    });
    threads_.push_back(std::move(created));
    // Runs at once: its first cycle is over before the caller goes on.
    clockChanged_.wait(lock, [&] { return threadsIdle(); });
    return reinterpret_cast<ThreadHandle>(thread);
}

bool SimPlatform::joinThread(ThreadHandle handle, unsigned milliseconds) {
    threadJoinLimits.push_back(milliseconds);
    auto* thread = reinterpret_cast<Thread*>(handle);
    thread->thread.join();
    std::lock_guard<std::mutex> lock(clockMutex_);
    threads_.erase(std::remove_if(threads_.begin(), threads_.end(),
                                  [&](const auto& candidate) { return candidate.get() == thread; }),
                   threads_.end());
    return true;
}

int SimPlatform::liveThreads() {
    std::lock_guard<std::mutex> lock(clockMutex_);
    return static_cast<int>(std::count_if(threads_.begin(), threads_.end(),
                                          [](const auto& thread) { return !thread->finished; }));
}

std::unique_ptr<StopSignal> SimPlatform::createStopSignal() {
    if (refuseStopSignals) return nullptr;
    return std::make_unique<SimStopSignal>(*this);
}

void SimPlatform::scheduleReaders(long long fromMs, std::vector<bool> present, long result) {
    std::lock_guard<std::mutex> lock(cardMutex_);
    scenes_.push_back(ReaderScene{fromMs, std::move(present), result});
    std::stable_sort(scenes_.begin(), scenes_.end(), [](const auto& a, const auto& b) { return a.fromMs < b.fromMs; });
}

void SimPlatform::queueReport(RawReport report) {
    std::lock_guard<std::mutex> lock(cardMutex_);
    rawReports_.push_back(std::move(report));
}

int SimPlatform::cardQueries() {
    std::lock_guard<std::mutex> lock(cardMutex_);
    return cardQueries_;
}

long SimPlatform::scGetState(std::uint32_t access, std::uint32_t* count, std::uint32_t* states) {
    const long long time = callerTime();
    std::lock_guard<std::mutex> lock(cardMutex_);
    ++cardQueries_;
    cardAccessValues.push_back(access);
    if (!rawReports_.empty()) {
        const RawReport report = rawReports_.front();
        rawReports_.erase(rawReports_.begin());
        if (report.result != 0) return report.result;
        std::copy_n(report.words.begin(), std::min(report.words.size(), kMaxStateWords), states);
        *count = report.count;
        return 0;
    }
    const ReaderScene* scene = nullptr;
    for (const ReaderScene& candidate : scenes_) {
        if (candidate.fromMs <= time) scene = &candidate;
    }
    if (scene == nullptr) {
        *count = 0;
        return 0;
    }
    if (scene->result != 0) return scene->result;
    std::vector<reader_report::Reader> readers;
    for (std::size_t reader = 0; reader < scene->present.size(); ++reader) {
        readers.push_back(reader_report::Reader{"Reader " + std::to_string(reader), scene->present[reader],
                                                !scene->present[reader]});
    }
    std::uint32_t words[reader_report::kMaxReported];
    const std::size_t written = cardChanges_.report(readers, words);
    std::copy_n(words, std::min(written, kMaxStateWords), states);
    *count = static_cast<std::uint32_t>(written);
    return 0;
}

long SimPlatform::scGetReaderList(std::uint32_t access, char* buffer) {
    std::lock_guard<std::mutex> lock(cardMutex_);
    cardAccessValues.push_back(access);
    std::memcpy(buffer, readerList.data(), std::min(readerList.size(), kReaderListCapacity));
    return 0;
}

void SimPlatform::scClose(std::uint32_t access) {
    std::lock_guard<std::mutex> lock(cardMutex_);
    cardAccessValues.push_back(access);
    ++cardLibraryCloses;
}

std::string SimPlatform::comboKey(WindowHandle dialog, unsigned control) {
    return std::to_string(dialog) + "/" + std::to_string(control);
}

void SimPlatform::comboReset(WindowHandle dialog, unsigned control) {
    combos[comboKey(dialog, control)].clear();
    comboSelections[comboKey(dialog, control)] = -1;
}

void SimPlatform::comboInsert(WindowHandle dialog, unsigned control, int position, const char* text) {
    auto& entries = combos[comboKey(dialog, control)];
    if (position < 0 || position > static_cast<int>(entries.size())) position = static_cast<int>(entries.size());
    entries.insert(entries.begin() + position, text);
}

void SimPlatform::comboSelect(WindowHandle dialog, unsigned control, int position) {
    const auto& entries = combos[comboKey(dialog, control)];
    comboSelections[comboKey(dialog, control)] =
        position >= 0 && position < static_cast<int>(entries.size()) ? position : -1;
}

int SimPlatform::comboSelection(WindowHandle dialog, unsigned control) {
    auto selection = comboSelections.find(comboKey(dialog, control));
    return selection == comboSelections.end() ? -1 : selection->second;
}

std::string SimPlatform::comboText(WindowHandle dialog, unsigned control, int position) {
    const auto& entries = combos[comboKey(dialog, control)];
    if (position < 0 || position >= static_cast<int>(entries.size())) return std::string();
    return entries[position];
}

// The box's modal loop keeps delivering timer ticks until the user closes it.
void SimPlatform::messageBox(WindowHandle owner, const char* text, const char* caption) {
    messageBoxes.push_back(MessageBoxShown{owner, text, caption, now()});
    if (onMessageBox) onMessageBox();
    runFor(messageBoxOpenMs);
}

}  // namespace platform::sim
