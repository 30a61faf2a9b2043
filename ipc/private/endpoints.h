/*
 * The endpoint records behind the opaque IpcClient and IpcServer handles.
 * Private to the transport; not installed.
 */
#ifndef HAC_PRIVATE_ENDPOINTS_H
#define HAC_PRIVATE_ENDPOINTS_H

#include <pthread.h>
#include <sys/types.h>

#include "vetu_ipc.h"

struct IpcClient {
    key_t key;
    long mtype;             /* of every fragment sent and every answer taken */
    int msqid;              /* -1 until the first send opens the queue */
    pthread_mutex_t mutex;  /* held across every send and whole exchange */
    key_t reply_key;        /* key + 1 with a reply queue, else 0 */
    int reply_msqid;        /* -1 until opened with a reply queue, else 0 */
    int has_reply;
    size_t chunk_size;
    IpcFragment* fragment;  /* every send and answer goes through it; made at the first send */
};

struct IpcServer {
    key_t key;
    long mtype;   /* taken off the request queue; also the stop order's type */
    int running;  /* 1 until the receive thread leaves its loop (under state_mutex) */
    int msqid;
    pthread_t thread;
    pthread_mutex_t mutex; /* held across each callback call and its answer */
    IpcServerCallback callback; /* read and written atomically: register compares it unlocked */
    void* user_data;
    key_t reply_key;
    int reply_msqid;
    size_t chunk_size;
    int has_reply;
    int lends_answers; /* the callbacks' answers are lent (IPC_ANSWERS_LENT), fixed at creation */

    /* The thread is detached, so its end is announced here: destroy frees
     * the record only once finished is set, the thread's last touch of it,
     * unless it gave up waiting and left the record to the thread
     * (orphaned). Both under state_mutex. */
    pthread_mutex_t state_mutex;
    pthread_cond_t state_cond; /* signalled when finished becomes 1 */
    int finished;
    int orphaned;
    int32_t stop_token; /* of destroy's stop order, 0 before; read atomically */
    int stopping;       /* end after the payload in hand; read atomically */
    int busy;           /* the thread serves a payload (callback, answer); read atomically */
};

#endif /* HAC_PRIVATE_ENDPOINTS_H */
