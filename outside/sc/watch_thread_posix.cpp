#include "outside/sc/watch_thread.h"

#include <cerrno>
#include <ctime>

namespace sc_watch {

namespace {

timespec deadlineAfter(clockid_t clock, unsigned ms) {
    timespec deadline{};
    clock_gettime(clock, &deadline);
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

struct ThreadStart {
    void (*routine)(void*);
    void* argument;
};

void* threadEntry(void* parameter) {
    const ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    start.routine(start.argument);
    return nullptr;
}

}  // namespace

Lock::Lock() { pthread_mutex_init(&mutex_, nullptr); }
Lock::~Lock() { pthread_mutex_destroy(&mutex_); }
void Lock::enter() { pthread_mutex_lock(&mutex_); }
void Lock::leave() { pthread_mutex_unlock(&mutex_); }

Signal::Signal() {
    pthread_mutex_init(&mutex_, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&condition_, &attributes);
    pthread_condattr_destroy(&attributes);
}
Signal::~Signal() {
    pthread_cond_destroy(&condition_);
    pthread_mutex_destroy(&mutex_);
}
void Signal::raise() {
    pthread_mutex_lock(&mutex_);
    raised_ = true;
    pthread_cond_broadcast(&condition_);
    pthread_mutex_unlock(&mutex_);
}
void Signal::clear() {
    pthread_mutex_lock(&mutex_);
    raised_ = false;
    pthread_mutex_unlock(&mutex_);
}
bool Signal::raised() {
    pthread_mutex_lock(&mutex_);
    const bool raised = raised_;
    pthread_mutex_unlock(&mutex_);
    return raised;
}
bool Signal::waitFor(unsigned ms) {
    const timespec deadline = deadlineAfter(CLOCK_MONOTONIC, ms);
    pthread_mutex_lock(&mutex_);
    while (!raised_ && pthread_cond_timedwait(&condition_, &mutex_, &deadline) != ETIMEDOUT) {
    }
    const bool raised = raised_;
    pthread_mutex_unlock(&mutex_);
    return raised;
}

bool WatchThread::start(void (*routine)(void*), void* argument) {
    auto* start = new ThreadStart{routine, argument};
    if (pthread_create(&thread_, nullptr, threadEntry, start) != 0) {
        delete start;
        return false;
    }
    started_ = true;
    return true;
}

bool WatchThread::join(unsigned ms) {
    if (!started_) return true;
    // pthread_timedjoin_np counts on the wall clock.
    const timespec deadline = deadlineAfter(CLOCK_REALTIME, ms);
    if (pthread_timedjoin_np(thread_, nullptr, &deadline) != 0) return false;
    started_ = false;
    return true;
}

}  // namespace sc_watch
