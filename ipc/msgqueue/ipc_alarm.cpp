/*
 * Time limits. A receive waiting for an answer is a plain blocking msgrcv;
 * it is woken at its deadline by a wake fragment that the alarm thread puts
 * on the queue it waits on, carrying the token of the request it waits for.
 * No signal is sent to any thread of the host, and nothing polls.
 *
 * The thread is started by the first alarm and keeps every alarm of the
 * process in one list, sleeping until the earliest deadline.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include "lock.h"
#include "transport.h"

namespace {

/* A full queue refuses the wake fragment: try again this much later. */
const long kRetryNs = 10L * 1000L * 1000L;
/* Another process waiting on the same queue with the same message type
 * may take the wake and skip it: it is sent again until the receive it is
 * meant for has ended. */
const long kResendNs = 100L * 1000L * 1000L;

pthread_mutex_t g_alarm_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_alarm_cond;
pthread_once_t g_alarm_once = PTHREAD_ONCE_INIT;
bool g_alarm_thread_started = false;
IpcAlarm* g_alarms = nullptr;
IpcFragment* g_wake = nullptr; /* the alarm thread's fragment buffer */
size_t g_wake_chunk_size = 0;

long long ns_of(const timespec& t) { return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec; }

timespec monotonic_now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

timespec after(timespec t, long ns) {
    t.tv_nsec += ns;
    t.tv_sec += t.tv_nsec / 1000000000L;
    t.tv_nsec %= 1000000000L;
    return t;
}

/* A fork leaves the child without the alarm thread, and with the list of
 * the parent's waiting exchanges, which it does not have. The condition
 * variable still counts the parent's alarm thread as its waiter: a signal
 * in the child would wait for that thread for ever, so it is made anew. */
void lock_for_fork() { pthread_mutex_lock(&g_alarm_mutex); }
void unlock_after_fork() { pthread_mutex_unlock(&g_alarm_mutex); }
void reset_in_child() {
    g_alarm_thread_started = false;
    g_alarms = nullptr;
    ipc_monotonic_cond_init(&g_alarm_cond);
    pthread_mutex_unlock(&g_alarm_mutex);
}

void init_alarms() {
    ipc_monotonic_cond_init(&g_alarm_cond);
    pthread_atfork(lock_for_fork, unlock_after_fork, reset_in_child);
}

/* With g_alarm_mutex held. One try, never blocking: the mutex is held only
 * for moments, so arming and disarming never wait for a full queue. */
bool send_wake(IpcAlarm* alarm) {
    if (g_wake == nullptr || g_wake_chunk_size < alarm->chunk_size) {
        IpcFragment* grown = static_cast<IpcFragment*>(realloc(g_wake, IPC_FRAGMENT_BUFFER_SIZE(alarm->chunk_size)));
        if (grown == nullptr) return false;
        g_wake = grown;
        g_wake_chunk_size = alarm->chunk_size;
    }
    memset(g_wake, 0, IPC_FRAGMENT_BUFFER_SIZE(alarm->chunk_size));
    g_wake->mtype = alarm->mtype;
    g_wake->kind = IPC_KIND_WAKE;
    g_wake->seq = 1;
    g_wake->last = 1;
    g_wake->one = 1;
    g_wake->token = alarm->token;
    if (msgsnd(alarm->msqid, g_wake, IPC_FRAGMENT_MSGSZ(alarm->chunk_size), IPC_NOWAIT) == 0) return true;
    /* A queue that is gone has failed the receive already. */
    return errno != EAGAIN && errno != EINTR && errno != ENOMEM;
}

/* With g_alarm_mutex held: fires what is due; returns the earliest
 * deadline still to come in *next, false when there is none. */
bool fire_due_alarms(timespec* next) {
    const long long now = ns_of(monotonic_now());
    bool pending = false;
    for (IpcAlarm* a = g_alarms; a != nullptr; a = a->next) {
        if (ns_of(a->due) <= now) a->due = after(monotonic_now(), send_wake(a) ? kResendNs : kRetryNs);
        if (!pending || ns_of(a->due) < ns_of(*next)) *next = a->due;
        pending = true;
    }
    return pending;
}

void* alarm_thread(void*) {
    ScopedLock lock(&g_alarm_mutex);
    for (;;) {
        timespec next;
        if (fire_due_alarms(&next))
            pthread_cond_timedwait(&g_alarm_cond, &g_alarm_mutex, &next);
        else
            pthread_cond_wait(&g_alarm_cond, &g_alarm_mutex);
    }
    return nullptr;
}

/* With g_alarm_mutex held. */
bool start_alarm_thread() {
    pthread_t thread;
    if (!g_alarm_thread_started) g_alarm_thread_started = ipc_start_library_thread(&thread, alarm_thread, nullptr) == 0;
    return g_alarm_thread_started;
}

}  // namespace

struct timespec ipc_deadline_after(long ms) {
    timespec t = monotonic_now();
    t.tv_sec += ms / 1000;
    return after(t, ms % 1000 * 1000000L);
}

void ipc_monotonic_cond_init(pthread_cond_t* cond) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
}

int ipc_lock_until(pthread_mutex_t* mutex, const struct timespec* deadline) {
    if (deadline == nullptr) return pthread_mutex_lock(mutex);
    /* pthread_mutex_timedlock takes the realtime clock, which may be set
     * back while it waits (a receiver takes its time from the broadcast):
     * it waits at most a slice at a time, each measured on the monotonic
     * clock, so that a step of the realtime one costs one slice at most. */
    const long long kSliceNs = 100LL * 1000LL * 1000LL;
    for (;;) {
        const long long left = ns_of(*deadline) - ns_of(monotonic_now());
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        if (left > 0) until = after(until, static_cast<long>(left < kSliceNs ? left : kSliceNs));
        const int rc = pthread_mutex_timedlock(mutex, &until);
        if (rc != ETIMEDOUT || ns_of(*deadline) <= ns_of(monotonic_now())) return rc;
    }
}

int ipc_alarm_arm(IpcAlarm* alarm, int msqid, long mtype, size_t chunk_size, int32_t token,
                  const struct timespec* deadline) {
    pthread_once(&g_alarm_once, init_alarms);
    memset(alarm, 0, sizeof *alarm);
    alarm->msqid = msqid;
    alarm->mtype = mtype;
    alarm->chunk_size = chunk_size;
    alarm->token = token;
    alarm->due = *deadline;
    ScopedLock lock(&g_alarm_mutex);
    if (!start_alarm_thread()) return VETU_ERR_NO_THREAD;
    /* The thread sleeps until the earliest deadline of the list: only an
     * earlier one needs to wake it. */
    bool earliest = true;
    for (const IpcAlarm* a = g_alarms; a != nullptr && earliest; a = a->next) earliest = ns_of(a->due) > ns_of(*deadline);
    alarm->next = g_alarms;
    g_alarms = alarm;
    if (earliest) pthread_cond_signal(&g_alarm_cond);
    return 0;
}

void ipc_alarm_disarm(IpcAlarm* alarm) {
    ScopedLock lock(&g_alarm_mutex);
    for (IpcAlarm** link = &g_alarms; *link != nullptr; link = &(*link)->next) {
        if (*link == alarm) {
            *link = alarm->next;
            return;
        }
    }
}
