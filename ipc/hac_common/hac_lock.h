/*
 * The lock guard of the HAC halves: holds a pthread mutex for a scope, so
 * that no way out of a function (an early return, an exception from jsoncpp
 * or from a host's callback) leaves a half's mutex locked for good.
 * Internal to the library.
 */
#ifndef HAC_LOCK_H
#define HAC_LOCK_H

#include <pthread.h>

class HacLock {
public:
    explicit HacLock(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~HacLock() { pthread_mutex_unlock(mutex_); }
    HacLock(const HacLock&) = delete;
    HacLock& operator=(const HacLock&) = delete;

private:
    pthread_mutex_t* mutex_;
};

#endif /* HAC_LOCK_H */
