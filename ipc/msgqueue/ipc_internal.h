/*
 * Internals of the message-queue transport shared by its source files; not
 * installed and not exported.
 */
#ifndef IPC_INTERNAL_H
#define IPC_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

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
    IPC_PAYLOAD_DROPPED = -2  /* the fragments of a payload did not make it whole */
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

/* Takes every fragment of message type msgtyp already waiting on the queue
 * and throws it away, oversized ones included; never blocks. Returns how
 * many payloads ended among them (fragments with last set). fragment is a buffer of
 * IPC_FRAGMENT_BUFFER_SIZE(chunk_size) bytes. */
int ipc_discard_waiting(int msqid, long msgtyp, size_t chunk_size, IpcFragment* fragment);

/* True when the queue identifier no longer names a queue (removed or never
 * valid), so that waiting on it again cannot succeed. */
int ipc_queue_gone(int msqid);

/* vetu_ipc_server_create with the callback already registered when the
 * receive thread starts, so that requests already waiting in the queue are
 * served rather than answered with the no-reply answer. */
int ipc_server_create_serving(key_t key, long mtype, int has_reply, size_t chunk_size, IpcServerCallback callback,
                              void* user_data, IpcServer** out);

#endif /* IPC_INTERNAL_H */
