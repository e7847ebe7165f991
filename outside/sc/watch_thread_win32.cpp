#include "outside/sc/watch_thread.h"

namespace sc_watch {

Lock::Lock() { InitializeCriticalSection(&section_); }
Lock::~Lock() { DeleteCriticalSection(&section_); }
void Lock::enter() { EnterCriticalSection(&section_); }
void Lock::leave() { LeaveCriticalSection(&section_); }

Signal::Signal() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
Signal::~Signal() {
    if (event_ != nullptr) CloseHandle(event_);
}
void Signal::raise() { SetEvent(event_); }
void Signal::clear() { ResetEvent(event_); }
bool Signal::raised() { return WaitForSingleObject(event_, 0) == WAIT_OBJECT_0; }
bool Signal::waitFor(unsigned ms) {
    // Without its event (no handle was left) the wait is a plain pause.
    if (event_ == nullptr) {
        Sleep(ms);
        return false;
    }
    return WaitForSingleObject(event_, ms) == WAIT_OBJECT_0;
}

namespace {

struct ThreadStart {
    void (*routine)(void*);
    void* argument;
    HMODULE library;
};

DWORD WINAPI threadEntry(void* parameter) {
    ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    start.routine(start.argument);
    // The library's own reference goes with the thread, in one call that does not return here.
    FreeLibraryAndExitThread(start.library, 0);
    return 0;
}

}  // namespace

bool WatchThread::start(void (*routine)(void*), void* argument) {
    HMODULE library = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&threadEntry),
                            &library)) {
        return false;
    }
    auto* start = new ThreadStart{routine, argument, library};
    thread_ = CreateThread(nullptr, 0, threadEntry, start, 0, nullptr);
    if (thread_ == nullptr) {
        delete start;
        FreeLibrary(library);
        return false;
    }
    started_ = true;
    return true;
}

bool WatchThread::join(unsigned ms) {
    if (!started_) return true;
    if (WaitForSingleObject(thread_, ms) != WAIT_OBJECT_0) return false;
    CloseHandle(thread_);
    thread_ = nullptr;
    started_ = false;
    return true;
}

}  // namespace sc_watch
