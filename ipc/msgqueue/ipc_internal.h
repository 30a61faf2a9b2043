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

/* ipc_snd_internal through the caller's fragment buffer of
 * IPC_FRAGMENT_BUFFER_SIZE(chunk_size) bytes instead of one of its own, so
 * that an endpoint that keeps a buffer sends without allocating. The
 * buffer's content on entry does not matter; -3 when it is null. */
int ipc_snd_through(int msqid, long mtype, size_t chunk_size, IpcData* payload, int kind, IpcFragment* fragment);

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
