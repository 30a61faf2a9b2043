/*
 * What the message-queue transport shares among its source files and with
 * the HAC halves; not installed and not exported.
 */
#ifndef HAC_PRIVATE_TRANSPORT_H
#define HAC_PRIVATE_TRANSPORT_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "vetu_ipc.h"

/* Bytes a full fragment carries: chunk_size + 1, one more than the name says,
 * which is what every peer on the wire expects. */
#define IPC_FULL_CHUNK(chunk_size) ((size_t)(chunk_size) + 1u)

/* A chunk size whose fragment buffer and header words stay representable on
 * both ABIs (chunk_len is an int32). Zero is left to each caller to judge. */
int ipc_chunk_size_fits(size_t chunk_size);

/* A payload descriptor that can be read without touching foreign memory. */
int ipc_payload_readable(const IpcData* payload);

/* A fresh payload token: never 0, and unlikely to be any other live
 * payload's, in this process or another (see IpcFragment::token). */
int32_t ipc_new_token(void);

/* Results of the internal transfers besides 0, -3 and -4. */
enum {
    IPC_SEND_GIVEN_UP = -1,   /* a fragment was given up on a full queue */
    IPC_SEND_QUEUE_GONE = -2, /* the queue was removed (or never valid) */
    IPC_RECEIVE_FAILED = -1,  /* msgrcv failed (signal, removed queue, oversized fragment) */
    IPC_PAYLOAD_DROPPED = -2, /* the fragments of a payload did not make it whole */
    IPC_RECEIVE_WOKEN = -6    /* the receiver's own wake fragment came: its time limit passed */
};

/* ipc_snd_internal through the caller's fragment buffer of
 * IPC_FRAGMENT_BUFFER_SIZE(chunk_size) bytes instead of one of its own, with
 * the payload's token in every fragment. The buffer's content on entry does
 * not matter; -3 when it is null. Returns 0, -3, IPC_SEND_GIVEN_UP or
 * IPC_SEND_QUEUE_GONE. */
int ipc_snd_through(int msqid, long mtype, size_t chunk_size, const IpcData* payload, int kind, int32_t token,
                    IpcFragment* fragment);

/* The payload a receive is joining. It lives with the receiver, not on the
 * receive's stack, so that a thread cancelled in the middle of a join can
 * still tell whose request it was holding. */
typedef struct IpcJoin {
    int active;  /* a first fragment was taken and the rest is awaited */
    int dropped; /* the payload is spoiled: its fragments are taken, not kept */
    long mtype;
    int32_t kind;
    int32_t token;
    int32_t total_len;
    int32_t next_seq;
    int32_t written;
} IpcJoin;

/* Called when a payload whose first fragment was taken is not delivered
 * (spoiled, cut short by another payload's start, or a failed receive), so
 * that a request can still be answered. */
typedef void (*IpcAbandonedHook)(void* context, const IpcJoin* join);

typedef struct IpcReceiver {
    IpcJoin join;
    IpcAbandonedHook abandoned; /* may be null */
    void* context;
    /* The token of this endpoint's own stop order, 0 while none was sent;
     * read atomically. A stop order that arrives in the middle of a join is
     * set aside, and stop_seen records it when it is this one. */
    const int32_t* stop_token;
    int stop_seen;
    /* The token of a wake fragment (IPC_KIND_WAKE) that ends this receive,
     * 0 for none. Wake fragments of other tokens are stale and skipped. */
    int32_t wake_token;
    /* How far from its start the receives wrote payload bytes into the
     * block (of dropped payloads too), at least what the owner last set it
     * to. The closing NULs and the block's growth are zeros, so a block
     * that was zero beyond what the owner set stays zero beyond this. */
    int32_t touched;
} IpcReceiver;

/* Receives one payload, as ipc_rcv_internal does, with the rules that keep
 * payloads whole when several senders, stop orders or leftovers share the
 * queue: a payload begins at a fragment numbered 1; a fragment of another
 * token, kind or length in the middle of a join belongs to another payload
 * and is skipped; a stop order there is set aside; a new first fragment
 * there starts over; a gap in the numbering, an implausible chunk_len, a
 * total over IPC_MAX_PAYLOAD or a total that does not match what arrived
 * spoils the payload, whose fragments are then taken up to its last.
 * Returns 0 (the payload's header is in fragment), IPC_RECEIVE_FAILED,
 * IPC_PAYLOAD_DROPPED or -4 (a growth of the block failed: the rest of the
 * payload stays queued). The block and *capacity are the caller's in every
 * case. */
int ipc_receive_payload(int msqid, long msgtyp, size_t chunk_size, IpcFragment* fragment, char** buffer,
                        int* capacity, IpcReceiver* receiver);

/* Takes this sender's fragments (those carrying token) off the queue
 * without waiting; the other fragments of message type msgtyp are put back
 * in their order. Returns how many were taken. */
int ipc_withdraw(int msqid, long msgtyp, size_t chunk_size, int32_t token, IpcFragment* fragment);

/* ---- time limits ---- */

/* The point on the monotonic clock ms milliseconds from now. */
struct timespec ipc_deadline_after(long ms);

/* Locks mutex; with a deadline, gives up with ETIMEDOUT once it passed. */
int ipc_lock_until(pthread_mutex_t* mutex, const struct timespec* deadline);

/* A condition variable whose timed waits run on the monotonic clock. */
void ipc_monotonic_cond_init(pthread_cond_t* cond);

/* ---- threads of the library ---- */

/* Starts a detached thread with the host's asynchronous signals blocked:
 * they go to the host's own threads, while faults the thread raises itself
 * stay deliverable. 0, or the error of pthread_create. */
int ipc_start_library_thread(pthread_t* thread, void* (*main)(void*), void* arg);

/* An alarm wakes a receive when its deadline passes: one thread of the
 * library, started by the first alarm, puts a wake fragment with the
 * alarm's token on the queue the receive waits on. The receive stays a
 * plain blocking msgrcv and no signal is used. The record belongs to the
 * caller and must stay until it is disarmed. */
typedef struct IpcAlarm {
    int msqid;
    long mtype;
    size_t chunk_size;
    int32_t token;
    struct timespec due; /* the deadline, then the next wake until disarmed */
    struct IpcAlarm* next;
} IpcAlarm;

/* 0, or -5 when the alarm thread cannot be started. */
int ipc_alarm_arm(IpcAlarm* alarm, int msqid, long mtype, size_t chunk_size, int32_t token,
                  const struct timespec* deadline);
/* After this returns the alarm thread no longer touches the record; a wake
 * fragment it sent before stays on the queue, for the next receive to skip. */
void ipc_alarm_disarm(IpcAlarm* alarm);

/* vetu_ipc_client_send_sync_with_params with a deadline on the monotonic
 * clock (null: none) for the endpoint's mutex and the answer. Past it the
 * call returns -6; the request is withdrawn from the request queue when the
 * server has not begun to take it, and its answer, should it come, is never
 * taken by another exchange. */
int ipc_client_exchange_until(IpcClient* client, IpcData* request, IpcData* reply, const struct timespec* deadline);

/* A block for answers that its owner lends to exchange after exchange, so
 * that they need not allocate one each: made at the first exchange and
 * grown as answers need; the owner frees data with free(). */
typedef struct IpcAnswerBlock {
    char* data;
    int capacity;
} IpcAnswerBlock;

/* ipc_client_exchange_until with the answer received into *block instead
 * of a block of its own: on 0, reply->data points into the block (valid
 * until its next exchange) and reply->len is set as that function sets
 * it. The block stays the owner's in every case. */
int ipc_client_exchange_into(IpcClient* client, IpcData* request, IpcData* reply, IpcAnswerBlock* block,
                             const struct timespec* deadline);

/* Takes every fragment of message type msgtyp already waiting on the queue
 * and throws it away, oversized ones included; never blocks. Returns how
 * many payloads ended among them (fragments with last set). fragment is a buffer of
 * IPC_FRAGMENT_BUFFER_SIZE(chunk_size) bytes. */
int ipc_discard_waiting(int msqid, long msgtyp, size_t chunk_size, IpcFragment* fragment);

/* True when the queue identifier no longer names a queue (removed or never
 * valid), so that waiting on it again cannot succeed. */
int ipc_queue_gone(int msqid);

/* Whose the answers of a server endpoint's callbacks are. */
typedef enum IpcAnswers {
    IPC_ANSWERS_GIVEN = 0, /* made with new and malloc: the receive thread frees them */
    IPC_ANSWERS_LENT = 1   /* the callback's own, valid until it is called again on
                            * the thread: the receive thread sends them, never frees */
} IpcAnswers;

/* vetu_ipc_server_create with the callback already registered when the
 * receive thread starts, so that requests already waiting in the queue are
 * served rather than answered with the no-reply answer, and with answers
 * given or lent as `answers` says, for as long as the endpoint lives. */
int ipc_server_create_serving(key_t key, long mtype, int has_reply, size_t chunk_size, IpcServerCallback callback,
                              void* user_data, IpcAnswers answers, IpcServer** out);

#endif /* HAC_PRIVATE_TRANSPORT_H */
