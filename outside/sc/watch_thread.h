// What the card library's watch needs of the system: a lock, a signal that a thread can wait on
// with a time-out, and the watch's own thread. Win32 calls on Windows (the MinGW runtime of the
// win32 thread model has no std::thread), POSIX threads in the native build for tests.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace sc_watch {

class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void enter();
    void leave();

private:
#ifdef _WIN32
    CRITICAL_SECTION section_;
#else
    pthread_mutex_t mutex_;
#endif
};

class Locked {
public:
    explicit Locked(Lock& lock) : lock_(lock) { lock_.enter(); }
    ~Locked() { lock_.leave(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    Lock& lock_;
};

// Stays raised once raised, until cleared.
class Signal {
public:
    Signal();
    ~Signal();
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;
    void raise();
    void clear();
    bool raised();
    // True when the signal is raised, or is raised within `ms` milliseconds.
    bool waitFor(unsigned ms);
#ifdef _WIN32
    HANDLE handle() const { return event_; }
#endif

private:
#ifdef _WIN32
    HANDLE event_;
#else
    pthread_mutex_t mutex_;
    pthread_cond_t condition_;
    bool raised_ = false;
#endif
};

// The watch's thread. On Windows it keeps the library loaded while it runs, so that no unload
// can take the code from under it, and lets it go as it ends.
class WatchThread {
public:
    // False when no thread could be made.
    bool start(void (*routine)(void*), void* argument);
    // True once the thread has ended (within `ms` milliseconds); the thread is then forgotten.
    bool join(unsigned ms);
    bool started() const { return started_; }

private:
    bool started_ = false;
#ifdef _WIN32
    HANDLE thread_ = nullptr;
#else
    pthread_t thread_{};
#endif
};

}  // namespace sc_watch
