/*
 * The lock guard of the HAC halves: holds a pthread mutex for a scope, so
 * that no way out of a function (an early return, an exception from jsoncpp
 * or from a host's callback) leaves a half's mutex locked for good.
 * Private to the library.
 */
#ifndef HAC_PRIVATE_LOCK_H
#define HAC_PRIVATE_LOCK_H

#include <pthread.h>

#include "transport.h"

class HacLock {
public:
    explicit HacLock(pthread_mutex_t* mutex) : mutex_(mutex), held_(pthread_mutex_lock(mutex) == 0) {}
    /* With a deadline (monotonic clock), gives up when it passes: held()
     * then tells. */
    HacLock(pthread_mutex_t* mutex, const struct timespec* deadline)
        : mutex_(mutex), held_(ipc_lock_until(mutex, deadline) == 0) {}
    ~HacLock() {
        if (held_) pthread_mutex_unlock(mutex_);
    }
    bool held() const { return held_; }
    HacLock(const HacLock&) = delete;
    HacLock& operator=(const HacLock&) = delete;

private:
    pthread_mutex_t* mutex_;
    bool held_;
};

#endif /* HAC_PRIVATE_LOCK_H */
