/*
 * Message-queue transport of libhbbtv_hac.
 *
 * A payload travels over a System V queue as a run of fixed-size fragments
 * (IpcFragment). A client endpoint sends one-way or waits for a reply; a
 * server endpoint's receive thread hands each payload to one callback and
 * sends its answer back on the reply queue (the request queue's key + 1).
 *
 * Every function of the library returns one of the VetuStatus codes below.
 */
#ifndef VETU_IPC_H
#define VETU_IPC_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "vetu_status.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef VETU_EXPORT
#define VETU_EXPORT __attribute__((visibility("default")))
#endif

/* Largest payload any endpoint sends or answers. */
#define IPC_MAX_PAYLOAD 16384

/* Payload descriptor taken by every send, handed to callbacks and returned
 * by server callbacks. */
typedef struct IpcData {
    int32_t len;
    char* data;
} IpcData;

/* The kind word of a fragment. */
typedef enum IpcKind {
    IPC_KIND_STOP = 0,     /* stop order of a server endpoint to its own thread */
    IPC_KIND_MESSAGE = 1,  /* one-way payload */
    IPC_KIND_REQUEST = 2,  /* a reply is awaited */
    IPC_KIND_REPLY = 3,    /* the answer of a server callback */
    IPC_KIND_NO_REPLY = 4, /* a request that got no answer: "a" and NUL */
    IPC_KIND_WAKE = 5      /* an exchange's own time limit passed: sent by this
                            * library to its own reply queue, empty, with the
                            * request's token; nobody else takes it */
} IpcKind;

/* One queue message. After mtype come seven 32-bit header words and the
 * payload area of chunk_size + 4 bytes. With a 4-byte long (the 32-bit
 * target) the header words sit at offsets 4 to 28 and the payload at 32;
 * with an 8-byte long everything after mtype moves 4 bytes further. The size
 * handed to the queue is always chunk_size + 32. */
typedef struct IpcFragment {
    long mtype;
    int32_t kind;
    int32_t total_len;
    int32_t seq;        /* 1 for the first fragment of a payload */
    int32_t last;       /* 1 in the last fragment */
    int32_t one;        /* always 1 */
    /* Names the payload: the endpoints of this library write a token of
     * their own in every fragment of a payload, and the receive thread
     * writes the request's token into its answer, so that an answer is
     * never taken for another request's and fragments of two senders are
     * never joined into one payload. 0 (the word's old constant) means the
     * sender names nothing; ipc_snd_internal writes 0. */
    int32_t token;
    int32_t chunk_len;  /* payload bytes carried by this fragment */
    char data[];        /* chunk_size + 4 bytes */
} IpcFragment;

/* Bytes handed to msgsnd/msgrcv with every fragment (the part after mtype). */
#define IPC_FRAGMENT_MSGSZ(chunk_size) ((size_t)(chunk_size) + 32u)
/* Bytes of a whole fragment buffer, mtype included. */
#define IPC_FRAGMENT_BUFFER_SIZE(chunk_size) (sizeof(long) + IPC_FRAGMENT_MSGSZ(chunk_size))

typedef struct IpcClient IpcClient;
typedef struct IpcServer IpcServer;

/* Server callback: payload and its bytes are valid during the call only. For
 * a request, the result is the answer (null, or an IpcData made with new
 * whose data comes from malloc/strdup); the receive thread frees it. */
typedef IpcData* (*IpcServerCallback)(const IpcData* payload, void* user_data);

/* Reply callback of vetu_ipc_client_send_sync_with_callback; status is 0. */
typedef void (*IpcReplyCallback)(const IpcData* reply, int status);

/* Fragment transfer: the only code that touches msgsnd and msgrcv. */
VETU_EXPORT int ipc_snd_internal(int msqid, long mtype, size_t chunk_size, IpcData* payload, int kind);
VETU_EXPORT int ipc_rcv_internal(int msqid, long msgtyp, size_t chunk_size, IpcFragment* fragment,
                                 char** buffer, int* capacity);

/* Client endpoint: opens its queues lazily at the first send (-3 while the
 * request queue does not exist). It never creates the request queue; a
 * missing reply queue it creates once the request queue exists. */
VETU_EXPORT int vetu_ipc_client_create(key_t key, long mtype, int has_reply, size_t chunk_size, IpcClient** out);
VETU_EXPORT int vetu_ipc_client_destroy(IpcClient* client);
VETU_EXPORT int vetu_ipc_client_send(IpcClient* client, IpcData* payload);
/* On 0 the caller owns reply->data and frees it with free(). */
VETU_EXPORT int vetu_ipc_client_send_sync_with_params(IpcClient* client, IpcData* request, IpcData* reply);
VETU_EXPORT int vetu_ipc_client_send_sync_with_callback(IpcClient* client, IpcData* request,
                                                        IpcReplyCallback callback);

/* Server endpoint: creates its queues and one detached receive thread.
 * Every request gets an answer: the callback's, or the no-reply answer (no
 * callback, no answer, an answer over the limit, or a request whose
 * fragments did not arrive whole). Destroy sends the thread a stop order
 * with the endpoint's own token, waits up to one second for the thread to
 * end (a second more while a callback runs), then cancels it; a thread
 * still in a callback after that frees the record itself once the callback
 * returns. Called from the endpoint's own callback, destroy returns at once
 * and the thread ends after the callback. A callback that throws answers
 * nothing. */
VETU_EXPORT int vetu_ipc_server_create(key_t key, long mtype, int has_reply, size_t chunk_size, IpcServer** out);
VETU_EXPORT int vetu_ipc_server_destroy(IpcServer* server);
VETU_EXPORT int vetu_ipc_server_register_callback(IpcServer* server, IpcServerCallback callback, void* user_data);
VETU_EXPORT int vetu_ipc_server_unregister_callback(IpcServer* server);

#ifdef __cplusplus
}
#endif

#endif /* VETU_IPC_H */
