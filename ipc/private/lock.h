/*
 * The lock guard of the library: holds a pthread mutex for a scope, so that
 * no way out of a function (an early return, an exception from jsoncpp or
 * from a host's callback) leaves a mutex locked for good. Private to the
 * library.
 */
#ifndef HAC_PRIVATE_LOCK_H
#define HAC_PRIVATE_LOCK_H

#include <pthread.h>

#include "transport.h"

class ScopedLock {
public:
    explicit ScopedLock(pthread_mutex_t* mutex) : mutex_(mutex), held_(pthread_mutex_lock(mutex) == 0) {}

    /* With a deadline (monotonic clock; null: none), gives up when it
     * passes: held() then tells. */
    ScopedLock(pthread_mutex_t* mutex, const struct timespec* deadline)
        : mutex_(mutex), held_(ipc_lock_until(mutex, deadline) == 0) {}

    /* For a mutex that a callback running under it may need again (a
     * callback registering a callback): *held_here is the calling thread's
     * own flag of holding it. Taken only when the thread does not hold it
     * already, and the flag is kept while held. */
    ScopedLock(pthread_mutex_t* mutex, bool* held_here)
        : mutex_(mutex), held_(!*held_here && pthread_mutex_lock(mutex) == 0), flag_(held_ ? held_here : nullptr) {
        if (flag_ != nullptr) *flag_ = true;
    }

    ~ScopedLock() {
        if (flag_ != nullptr) *flag_ = false;
        if (held_) pthread_mutex_unlock(mutex_);
    }

    bool held() const { return held_; }

    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    pthread_mutex_t* mutex_;
    bool held_;
    bool* flag_ = nullptr;
};

#endif /* HAC_PRIVATE_LOCK_H */
