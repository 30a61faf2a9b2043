/*
 * Fragment transfer: the only code of the library that calls msgsnd and
 * msgrcv. A payload is cut into fragments of chunk_size + 1 bytes; the
 * receiver joins the fragments of one message type until one has last set.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstddef>

#include "ipc_internal.h"

/* The wire layout: seven int32 words right after mtype, then the payload
 * area. With a 4-byte long this is offsets 4..28 and 32. */
static_assert(offsetof(IpcFragment, kind) == sizeof(long), "kind follows mtype");
static_assert(offsetof(IpcFragment, chunk_len) == sizeof(long) + 24, "seven header words");
static_assert(offsetof(IpcFragment, data) == sizeof(long) + 28, "payload after the header");
static_assert(IPC_FRAGMENT_MSGSZ(0) == 32, "header words plus the four spare payload bytes");

namespace {

const int kResends = 5;
const useconds_t kResendPause = 50000;
/* The first step of the short tries that fill the first pause (below). */
const useconds_t kFirstTryPause = 20;
/* Header bytes after mtype, before the payload area. */
const ssize_t kHeaderWords = 28;

IpcFragment* allocate_fragment(size_t chunk_size) {
    return static_cast<IpcFragment*>(malloc(IPC_FRAGMENT_BUFFER_SIZE(chunk_size)));
}

/* Resending cannot help once the queue is gone or refuses the fragment as
 * such (no permission, size over the queue's limit, message type 0). */
bool error_is_incurable(int err) { return err == EIDRM || err == EINVAL || err == EACCES || err == EFAULT; }

int send_once(int msqid, IpcFragment* fragment, size_t chunk_size) {
    return msgsnd(msqid, fragment, IPC_FRAGMENT_MSGSZ(chunk_size), IPC_NOWAIT);
}

enum FragmentOutcome { FRAGMENT_SENT, FRAGMENT_GIVEN_UP, QUEUE_UNUSABLE };

long long monotonic_us() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

/* The first pause after a refusal, spent in tries at doubling intervals
 * from 20 us until the full pause has passed. A receiver that shares the
 * CPU with the sender (a single-core set-top box) drains the queue as soon
 * as the sender sleeps at all; waiting the whole 50 ms for it would stall
 * every payload larger than the queue. FRAGMENT_GIVEN_UP here means only
 * that the queue still refuses when the pause is over. */
FragmentOutcome retry_within_first_pause(int msqid, IpcFragment* fragment, size_t chunk_size) {
    const long long end = monotonic_us() + kResendPause;
    useconds_t step = kFirstTryPause;
    for (long long left = kResendPause; left > 0; left = end - monotonic_us()) {
        usleep(step < left ? step : static_cast<useconds_t>(left));
        if (send_once(msqid, fragment, chunk_size) == 0) return FRAGMENT_SENT;
        if (error_is_incurable(errno)) return QUEUE_UNUSABLE;
        step *= 2;
    }
    return FRAGMENT_GIVEN_UP;
}

/* One fragment with its resends; a full queue gets the receiver time to
 * drain it before the fragment is given up. The lines printed and the time
 * until a fragment is given up are those of six plain 50 ms pauses: the
 * tries of the first pause only let a fragment through sooner. */
FragmentOutcome send_with_resends(int msqid, IpcFragment* fragment, size_t chunk_size) {
    if (send_once(msqid, fragment, chunk_size) == 0) return FRAGMENT_SENT;
    if (error_is_incurable(errno)) return QUEUE_UNUSABLE;
    const bool full = errno == EAGAIN;
    const FragmentOutcome early = retry_within_first_pause(msqid, fragment, chunk_size);
    if (full) puts("\n###### msgsnd EAGAIN ######");
    if (early != FRAGMENT_GIVEN_UP) return early;
    for (int left = kResends; left > 0; --left) {
        usleep(kResendPause);
        if (send_once(msqid, fragment, chunk_size) == 0) return FRAGMENT_SENT;
        if (error_is_incurable(errno)) return QUEUE_UNUSABLE;
        if (errno == EAGAIN) puts("\n###### resend msgsnd EAGAIN ######");
    }
    return FRAGMENT_GIVEN_UP;
}

/* Copies the next piece of the payload into the fragment; returns the bytes
 * still to send after it. */
int32_t fill_next_fragment(IpcFragment* fragment, size_t chunk_size, const char* data, int32_t offset,
                           int32_t remaining) {
    const int32_t full = static_cast<int32_t>(IPC_FULL_CHUNK(chunk_size));
    const int32_t take = remaining < full ? remaining : full;
    memset(fragment->data, 0, IPC_FULL_CHUNK(chunk_size));
    if (take > 0) memcpy(fragment->data, data + offset, static_cast<size_t>(take));
    fragment->seq += 1;
    fragment->chunk_len = take;
    fragment->last = remaining - take <= 0 ? 1 : 0;
    return remaining - take;
}

/* Room for n more bytes and the closing NUL, growing by the 2 * cap - 1 rule
 * (1025, 2049, 4097 ... for a chunk size of 1024). Returns the capacity, or
 * 0 when the block could not grow (it is then left as it was). */
int ensure_room(char** buffer, int cap, int written, int n) {
    const long needed = static_cast<long>(written) + n + 1;
    if (needed <= cap) return cap;
    long grown = cap;
    while (grown < needed) grown = grown > 1 ? 2 * grown - 1 : needed;
    char* moved = static_cast<char*>(realloc(*buffer, static_cast<size_t>(grown)));
    if (moved == nullptr) return 0;
    *buffer = moved;
    return static_cast<int>(grown);
}

/* A chunk_len the fragment really carries and the block can take. */
bool chunk_len_plausible(int32_t n, ssize_t received, size_t chunk_size) {
    return n >= 0 && static_cast<size_t>(n) <= IPC_FULL_CHUNK(chunk_size) && n <= received - kHeaderWords;
}

void clear_fragment(IpcFragment* fragment, size_t chunk_size) {
    memset(fragment, 0, offsetof(IpcFragment, data) + IPC_FULL_CHUNK(chunk_size));
}

void report_receive_failure(ssize_t res) {
    const int err = errno;
    fprintf(stderr, "SERVER msgrcv res:%d, errno:%d, strerror:%s\n", static_cast<int>(res), err, strerror(err));
    errno = err;
}

/* A fragment larger than this receiver's chunk size would stay at the head
 * of the queue and fail every later receive of its type: take it out. */
void remove_oversized(int msqid, long msgtyp, size_t chunk_size, IpcFragment* fragment) {
    const int err = errno;
    msgrcv(msqid, fragment, IPC_FRAGMENT_MSGSZ(chunk_size), msgtyp, IPC_NOWAIT | MSG_NOERROR);
    errno = err;
}

}  // namespace

int ipc_chunk_size_fits(size_t chunk_size) {
    return chunk_size <= static_cast<size_t>(INT32_MAX) - IPC_FRAGMENT_BUFFER_SIZE(0);
}

int ipc_payload_readable(const IpcData* payload) {
    return payload != nullptr && payload->len >= 0 && (payload->data != nullptr || payload->len == 0);
}

namespace {

bool send_arguments_valid(long mtype, size_t chunk_size, const IpcData* payload) {
    return ipc_payload_readable(payload) && chunk_size != 0 && ipc_chunk_size_fits(chunk_size) && mtype >= 0;
}

}  // namespace

int ipc_snd_internal(int msqid, long mtype, size_t chunk_size, IpcData* payload, int kind) {
    if (!send_arguments_valid(mtype, chunk_size, payload)) return -3;
    IpcFragment* fragment = allocate_fragment(chunk_size);
    if (fragment == nullptr) {
        fprintf(stderr, "malloc failed, errno:%d, strerr:%s\n", errno, strerror(errno));
        return -4;
    }
    const int result = ipc_snd_through(msqid, mtype, chunk_size, payload, kind, fragment);
    free(fragment);
    return result;
}

int ipc_snd_through(int msqid, long mtype, size_t chunk_size, IpcData* payload, int kind, IpcFragment* fragment) {
    if (!send_arguments_valid(mtype, chunk_size, payload) || fragment == nullptr) return -3;
    /* The buffer may hold a fragment received before: every byte that goes
     * on the wire is written anew, the spare end of the area as zeros. */
    memset(fragment, 0, IPC_FRAGMENT_BUFFER_SIZE(chunk_size));
    fragment->mtype = mtype;
    fragment->kind = kind;
    fragment->total_len = payload->len;
    fragment->one = 1;
    fragment->zero = 0;
    int32_t remaining = payload->len;
    bool given_up = false;
    do {
        const int32_t offset = payload->len - remaining;
        remaining = fill_next_fragment(fragment, chunk_size, payload->data, offset, remaining);
        const FragmentOutcome outcome = send_with_resends(msqid, fragment, chunk_size);
        if (outcome == QUEUE_UNUSABLE) {
            /* Nothing more can reach a receiver on this queue. */
            given_up = true;
            break;
        }
        if (outcome == FRAGMENT_GIVEN_UP) given_up = true;
    } while (!fragment->last);
    return given_up ? -1 : 0;
}

int ipc_rcv_internal(int msqid, long msgtyp, size_t chunk_size, IpcFragment* fragment, char** buffer,
                     int* capacity) {
    if (fragment == nullptr || buffer == nullptr || *buffer == nullptr || capacity == nullptr || *capacity <= 0 ||
        !ipc_chunk_size_fits(chunk_size))
        return -3;
    /* A server's receive thread is cancelled inside this call: no local here
     * may have its address taken (see receive_payload). */
    int cap = *capacity;
    int written = 0;
    bool first = true;
    bool dropped = false;
    for (;;) {
        clear_fragment(fragment, chunk_size);
        const ssize_t res = msgrcv(msqid, fragment, IPC_FRAGMENT_MSGSZ(chunk_size), msgtyp, 0);
        if (res < 0) {
            /* A signal or a stop/continue between two fragments must not
             * split the payload; before the first one it ends the wait. */
            if (errno == EINTR && !first) continue;
            if (errno == E2BIG) remove_oversized(msqid, msgtyp, chunk_size, fragment);
            report_receive_failure(res);
            *capacity = cap;
            return -1;
        }
        /* A payload begins at its fragment numbered 1. Fragments before it
         * are the rest of a payload whose start an earlier receive took or
         * whose sender gave up: they are skipped, not joined. A first
         * fragment in the middle of a join likewise starts over, rather
         * than swallow the new payload with the broken one. */
        if (first && fragment->seq != 1) continue;
        if (!first && fragment->seq == 1) {
            written = 0;
            dropped = false;
        }
        first = false;
        const int32_t n = fragment->chunk_len;
        /* A payload is dropped whole, but its remaining fragments are still
         * taken so that the next receive starts at a payload boundary. */
        if (!dropped && (!chunk_len_plausible(n, res, chunk_size) || written + n > IPC_MAX_PAYLOAD)) dropped = true;
        if (!dropped) {
            const int room = ensure_room(buffer, cap, written, n);
            if (room == 0) {
                *capacity = cap;
                return -4;
            }
            cap = room;
            memcpy(*buffer + written, fragment->data, static_cast<size_t>(n));
            written += n;
        }
        if (fragment->last) break;
    }
    *capacity = cap;
    /* total_len is what callers hand on as the length: it must be what
     * arrived, or a lost or mixed-in fragment would pass as data. */
    if (dropped || fragment->total_len != written) return -1;
    (*buffer)[written] = '\0';
    return 0;
}

int ipc_discard_waiting(int msqid, long msgtyp, size_t chunk_size, IpcFragment* fragment) {
    int discarded = 0;
    for (;;) {
        const ssize_t res =
            msgrcv(msqid, fragment, IPC_FRAGMENT_MSGSZ(chunk_size), msgtyp, IPC_NOWAIT | MSG_NOERROR);
        if (res >= 0) {
            if (fragment->last) ++discarded;
            continue;
        }
        if (errno != EINTR) return discarded;
    }
}

int ipc_queue_gone(int msqid) {
    struct msqid_ds info;
    return msgctl(msqid, IPC_STAT, &info) < 0 && (errno == EIDRM || errno == EINVAL);
}
