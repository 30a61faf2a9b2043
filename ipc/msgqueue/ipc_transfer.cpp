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

#include "transport.h"

/* The wire layout: seven int32 words right after mtype, then the payload
 * area. With a 4-byte long this is offsets 4..28 and 32. */
static_assert(offsetof(IpcFragment, kind) == sizeof(long), "kind follows mtype");
static_assert(offsetof(IpcFragment, token) == sizeof(long) + 20, "the token is the sixth header word");
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

/* Bytes of the payload area: all of a fragment after its header words. */
size_t area_size(size_t chunk_size) { return IPC_FRAGMENT_MSGSZ(chunk_size) - static_cast<size_t>(kHeaderWords); }

/* Copies the next piece of the payload into the fragment, zeros after it
 * to the end of the area (the wire carries them), and returns the bytes
 * still to send after it. */
int32_t fill_next_fragment(IpcFragment* fragment, size_t chunk_size, const char* data, int32_t offset,
                           int32_t remaining) {
    const int32_t full = static_cast<int32_t>(IPC_FULL_CHUNK(chunk_size));
    const int32_t take = remaining < full ? remaining : full;
    if (take > 0) memcpy(fragment->data, data + offset, static_cast<size_t>(take));
    memset(fragment->data + take, 0, area_size(chunk_size) - static_cast<size_t>(take));
    fragment->seq += 1;
    fragment->chunk_len = take;
    fragment->last = remaining - take <= 0 ? 1 : 0;
    return remaining - take;
}

/* Room for n more bytes and the closing NUL, growing by the 2 * cap - 1 rule
 * (1025, 2049, 4097 ... for a chunk size of 1024). Returns the capacity, or
 * 0 when the block could not grow (it is then left as it was). The part
 * added is zeroed: a block that is zero beyond the bytes the receives wrote
 * (IpcReceiver::touched) stays so. */
int ensure_room(char** buffer, int cap, int written, int n) {
    const long needed = static_cast<long>(written) + n + 1;
    if (needed <= cap) return cap;
    long grown = cap;
    while (grown < needed) grown = grown > 1 ? 2 * grown - 1 : needed;
    char* moved = static_cast<char*>(realloc(*buffer, static_cast<size_t>(grown)));
    if (moved == nullptr) return 0;
    memset(moved + cap, 0, static_cast<size_t>(grown - cap));
    *buffer = moved;
    return static_cast<int>(grown);
}

/* A chunk_len the fragment really carries and the join can take. */
bool chunk_len_plausible(int32_t n, ssize_t received, size_t chunk_size, const IpcJoin* join) {
    return n >= 0 && static_cast<size_t>(n) <= IPC_FULL_CHUNK(chunk_size) && n <= received - kHeaderWords &&
           n <= join->total_len - join->written;
}

/* Zeros the fragment buffer from the byte at offset to its end. */
void clear_from(IpcFragment* fragment, size_t chunk_size, size_t offset) {
    const size_t end = IPC_FRAGMENT_BUFFER_SIZE(chunk_size);
    if (offset < end) memset(reinterpret_cast<char*>(fragment) + offset, 0, end - offset);
}

/* After a receive: zeros in all of the buffer that msgrcv did not write
 * (mtype and `received` bytes after it on success, nothing on failure),
 * which leaves the bytes that clearing the buffer before the receive
 * would. A short fragment (a foreign sender's) then reads as zero header
 * words and zero data; the full fragments every endpoint sends leave
 * nothing to clear. */
void clear_unreceived(IpcFragment* fragment, size_t chunk_size, ssize_t received) {
    clear_from(fragment, chunk_size, received < 0 ? 0 : sizeof(long) + static_cast<size_t>(received));
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

bool send_arguments_valid(long mtype, size_t chunk_size, const IpcData* payload) {
    return ipc_payload_readable(payload) && chunk_size != 0 && ipc_chunk_size_fits(chunk_size) && mtype >= 0;
}

/* ---- joining fragments ---- */

/* What a fragment taken off the queue means for the payload being joined. */
enum FragmentRole {
    SKIP_FRAGMENT,  /* the tail of a payload whose start is gone, or another sender's */
    BEGIN_PAYLOAD,  /* the first fragment of a payload */
    CONTINUE_JOIN,  /* the next fragment of the payload being joined */
    SPOIL_JOIN,     /* the payload being joined lost a fragment */
    SET_STOP_ASIDE, /* a stop order in the middle of a join */
    WAKE_UP         /* the receiver's own wake fragment: its time limit passed */
};

bool is_stop_order(const IpcFragment* f) {
    return f->kind == IPC_KIND_STOP && f->total_len == 0 && f->seq == 1 && f->last == 1;
}

/* Fragments of one payload share its token, kind and length. Two senders
 * writing to the same queue at once, or leftovers of an earlier run, must
 * not be joined into one payload that looks whole. */
bool same_payload(const IpcJoin* join, const IpcFragment* f) {
    return f->token == join->token && f->kind == join->kind && f->total_len == join->total_len;
}

FragmentRole role_of(const IpcReceiver* receiver, const IpcFragment* f) {
    /* A wake fragment is nobody's payload: the one meant for this receive
     * ends it, others were meant for receives that ended before. */
    if (f->kind == IPC_KIND_WAKE)
        return receiver->wake_token != 0 && f->token == receiver->wake_token ? WAKE_UP : SKIP_FRAGMENT;
    const IpcJoin* join = &receiver->join;
    if (!join->active) return f->seq == 1 ? BEGIN_PAYLOAD : SKIP_FRAGMENT;
    /* A stop order is never the next fragment of anything. */
    if (is_stop_order(f)) return SET_STOP_ASIDE;
    /* A payload whose sender gave up or died never ends: the next payload's
     * start takes over rather than be swallowed by it. */
    if (f->seq == 1) return BEGIN_PAYLOAD;
    if (!same_payload(join, f)) return SKIP_FRAGMENT;
    return f->seq == join->next_seq ? CONTINUE_JOIN : SPOIL_JOIN;
}

void begin_join(IpcJoin* join, const IpcFragment* f) {
    join->active = 1;
    join->mtype = f->mtype;
    join->kind = f->kind;
    join->token = f->token;
    join->total_len = f->total_len;
    join->next_seq = 1;
    join->written = 0;
    /* Known from the first fragment: more than any endpoint sends or takes. */
    join->dropped = f->total_len < 0 || f->total_len > IPC_MAX_PAYLOAD;
}

/* Ends the join without a payload, telling the receiver whose it was. */
void abandon_join(IpcReceiver* receiver) {
    IpcJoin* join = &receiver->join;
    if (!join->active) return;
    join->active = 0;
    if (receiver->abandoned != nullptr) receiver->abandoned(receiver->context, join);
}

void note_stop_order(IpcReceiver* receiver, const IpcFragment* f) {
    if (receiver->stop_token == nullptr) return;
    const int32_t own = __atomic_load_n(receiver->stop_token, __ATOMIC_ACQUIRE);
    if (own != 0 && f->token == own) receiver->stop_seen = 1;
}

/* Joins the fragment's bytes; false when the block could not grow. A
 * spoiled payload's bytes are taken off the queue but not kept. */
bool join_fragment(IpcReceiver* receiver, const IpcFragment* f, ssize_t received, size_t chunk_size, char** buffer,
                   int* capacity) {
    IpcJoin* join = &receiver->join;
    const int32_t n = f->chunk_len;
    join->next_seq += 1;
    if (!join->dropped && !chunk_len_plausible(n, received, chunk_size, join)) join->dropped = 1;
    if (join->dropped) return true;
    const int room = ensure_room(buffer, *capacity, join->written, n);
    if (room == 0) return false;
    *capacity = room;
    memcpy(*buffer + join->written, f->data, static_cast<size_t>(n));
    join->written += n;
    if (join->written > receiver->touched) receiver->touched = join->written;
    return true;
}

}  // namespace

int ipc_chunk_size_fits(size_t chunk_size) {
    return chunk_size <= static_cast<size_t>(INT32_MAX) - IPC_FRAGMENT_BUFFER_SIZE(0);
}

int ipc_payload_readable(const IpcData* payload) {
    return payload != nullptr && payload->len >= 0 && (payload->data != nullptr || payload->len == 0);
}

int ipc_snd_internal(int msqid, long mtype, size_t chunk_size, IpcData* payload, int kind) {
    if (!send_arguments_valid(mtype, chunk_size, payload)) return VETU_ERR_REFUSED;
    IpcFragment* fragment = allocate_fragment(chunk_size);
    if (fragment == nullptr) {
        fprintf(stderr, "malloc failed, errno:%d, strerr:%s\n", errno, strerror(errno));
        return VETU_ERR_NO_MEMORY;
    }
    const int result = ipc_snd_through(msqid, mtype, chunk_size, payload, kind, 0, fragment);
    free(fragment);
    return result == 0 ? 0 : VETU_ERR_FAILED;
}

int ipc_snd_through(int msqid, long mtype, size_t chunk_size, const IpcData* payload, int kind, int32_t token,
                    IpcFragment* fragment) {
    if (!send_arguments_valid(mtype, chunk_size, payload) || fragment == nullptr) return VETU_ERR_REFUSED;
    /* The buffer may hold a fragment received before: every byte that goes
     * on the wire is written anew, every header word here and the area by
     * fill_next_fragment. */
    fragment->mtype = mtype;
    fragment->kind = kind;
    fragment->total_len = payload->len;
    fragment->seq = 0;
    fragment->one = 1;
    fragment->token = token;
    int32_t remaining = payload->len;
    int result = 0;
    do {
        const int32_t offset = payload->len - remaining;
        remaining = fill_next_fragment(fragment, chunk_size, payload->data, offset, remaining);
        const FragmentOutcome outcome = send_with_resends(msqid, fragment, chunk_size);
        /* Nothing more can reach a receiver on this queue. */
        if (outcome == QUEUE_UNUSABLE) return errno == EIDRM || errno == EINVAL ? IPC_SEND_QUEUE_GONE : IPC_SEND_GIVEN_UP;
        if (outcome == FRAGMENT_GIVEN_UP) result = IPC_SEND_GIVEN_UP;
    } while (!fragment->last);
    return result;
}

int ipc_rcv_internal(int msqid, long msgtyp, size_t chunk_size, IpcFragment* fragment, char** buffer,
                     int* capacity) {
    if (fragment == nullptr || buffer == nullptr || *buffer == nullptr || capacity == nullptr || *capacity <= 0 ||
        !ipc_chunk_size_fits(chunk_size))
        return VETU_ERR_REFUSED;
    IpcReceiver receiver;
    memset(&receiver, 0, sizeof receiver);
    const int rc = ipc_receive_payload(msqid, msgtyp, chunk_size, fragment, buffer, capacity, &receiver);
    return rc == IPC_PAYLOAD_DROPPED ? VETU_ERR_FAILED : rc;
}

/* A server's receive thread is cancelled inside this call: no local here
 * may have its address taken (see receive_payload in ipc_server.cpp), and
 * everything a cancellation handler needs lives in the receiver. */
int ipc_receive_payload(int msqid, long msgtyp, size_t chunk_size, IpcFragment* fragment, char** buffer,
                        int* capacity, IpcReceiver* receiver) {
    IpcJoin* join = &receiver->join;
    join->active = 0;
    for (;;) {
        const ssize_t res = msgrcv(msqid, fragment, IPC_FRAGMENT_MSGSZ(chunk_size), msgtyp, 0);
        clear_unreceived(fragment, chunk_size, res);
        if (res < 0) {
            /* A signal or a stop/continue between two fragments must not
             * split the payload; before the first one it ends the wait. */
            if (errno == EINTR && join->active) continue;
            if (errno == E2BIG) remove_oversized(msqid, msgtyp, chunk_size, fragment);
            report_receive_failure(res);
            abandon_join(receiver);
            return IPC_RECEIVE_FAILED;
        }
        switch (role_of(receiver, fragment)) {
            case SKIP_FRAGMENT:
                continue;
            case WAKE_UP:
                abandon_join(receiver);
                return IPC_RECEIVE_WOKEN;
            case SET_STOP_ASIDE:
                note_stop_order(receiver, fragment);
                continue;
            case SPOIL_JOIN:
                join->dropped = 1;
                break;
            case BEGIN_PAYLOAD:
                abandon_join(receiver);
                begin_join(join, fragment);
                break;
            case CONTINUE_JOIN:
                break;
        }
        if (!join_fragment(receiver, fragment, res, chunk_size, buffer, capacity)) {
            abandon_join(receiver);
            return VETU_ERR_NO_MEMORY;
        }
        if (!fragment->last) continue;
        /* total_len is what callers hand on as the length: it must be what
         * arrived, or a lost fragment would pass as data. */
        if (join->dropped || join->written != join->total_len) {
            abandon_join(receiver);
            return IPC_PAYLOAD_DROPPED;
        }
        join->active = 0;
        (*buffer)[join->written] = '\0';
        return 0;
    }
}

int ipc_withdraw(int msqid, long msgtyp, size_t chunk_size, int32_t token, IpcFragment* fragment) {
    struct msqid_ds info;
    if (msgctl(msqid, IPC_STAT, &info) != 0) return 0;
    int taken = 0;
    /* Each fragment waiting is looked at once: those put back go to the
     * end, behind the ones still to look at, and keep their order. */
    for (msgqnum_t left = info.msg_qnum; left > 0; --left) {
        const ssize_t res = msgrcv(msqid, fragment, IPC_FRAGMENT_MSGSZ(chunk_size), msgtyp, IPC_NOWAIT);
        if (res < 0) break;
        if (fragment->token == token) {
            ++taken;
            continue;
        }
        msgsnd(msqid, fragment, static_cast<size_t>(res), IPC_NOWAIT);
    }
    return taken;
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
