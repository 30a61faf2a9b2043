/*
 * Server endpoint: creates its queues and one detached receive thread that
 * hands every payload of its message type to the registered callback and
 * sends a request's answer back on the reply queue.
 */
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <time.h>

#include "ipc_endpoint.h"
#include "ipc_internal.h"

namespace {

const int kQueueFlags = IPC_CREAT | 0666;
const long kStopGraceNs = 1000L * 1000L * 1000L;

/* The receive thread's buffers, kept for its whole life and freed by its
 * cleanup handler, on its own return or on cancellation alike. */
struct ReceiveContext {
    IpcServer* server;
    IpcFragment* fragment;
    char* block;
    int capacity;
};

IpcServerCallback registered_callback(const IpcServer* server) {
    return __atomic_load_n(&server->callback, __ATOMIC_ACQUIRE);
}

void* registered_user_data(const IpcServer* server) { return __atomic_load_n(&server->user_data, __ATOMIC_ACQUIRE); }

void store_pair(IpcServer* server, IpcServerCallback callback, void* user_data) {
    if (registered_callback(server) == callback && registered_user_data(server) == user_data) return;
    pthread_mutex_lock(&server->mutex);
    __atomic_store_n(&server->callback, callback, __ATOMIC_RELEASE);
    __atomic_store_n(&server->user_data, user_data, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&server->mutex);
}

void free_answer(IpcData* answer) {
    if (answer == nullptr) return;
    free(answer->data);
    delete answer;
}

/* With the endpoint mutex held. */
IpcData* call_registered(const ReceiveContext* ctx) {
    IpcServerCallback callback = registered_callback(ctx->server);
    if (callback == nullptr) return nullptr;
    const IpcData payload = {ctx->fragment->total_len, ctx->block};
    return callback(&payload, registered_user_data(ctx->server));
}

void deliver_message(const ReceiveContext* ctx) {
    pthread_mutex_lock(&ctx->server->mutex);
    /* One-way senders expect nothing back, but an answer handed over is ours. */
    free_answer(call_registered(ctx));
    pthread_mutex_unlock(&ctx->server->mutex);
}

/* The request is served by now, so its fragment buffer carries the answer:
 * the thread answers without allocating. */
int send_answer(const ReceiveContext* ctx, long mtype, IpcData* answer, int kind) {
    const IpcServer* server = ctx->server;
    return ipc_snd_through(server->reply_msqid, mtype, server->chunk_size, answer, kind, ctx->fragment);
}

/* A waiting client is always released: with the answer or the no-reply one. */
void answer_request(const ReceiveContext* ctx) {
    if (!ctx->server->has_reply) return;
    const long mtype = ctx->fragment->mtype;
    pthread_mutex_lock(&ctx->server->mutex);
    IpcData* answer = call_registered(ctx);
    const bool answered = answer != nullptr && answer->len <= IPC_MAX_PAYLOAD &&
                          send_answer(ctx, mtype, answer, IPC_KIND_REPLY) == 0;
    free_answer(answer);
    if (!answered) {
        char no_reply[] = "a";
        IpcData none = {2, no_reply};
        send_answer(ctx, mtype, &none, IPC_KIND_NO_REPLY);
    }
    pthread_mutex_unlock(&ctx->server->mutex);
}

bool stop_order_pending(IpcServer* server) {
    pthread_mutex_lock(&server->state_mutex);
    const bool pending = server->stop_sent != 0;
    pthread_mutex_unlock(&server->state_mutex);
    return pending;
}

/* Cancellation is taken only while waiting here, never inside a callback or
 * an answer. Once destroy has queued its stop order the wait is not
 * cancellable: the thread takes the order, so none is left for the next
 * thread on this queue. No local of this frame or those below it has its
 * address taken: cancellation unwinds them without their epilogues, which
 * address-sanitized builds would otherwise mistake for stack corruption. */
int receive_payload(ReceiveContext* ctx) {
    IpcServer* server = ctx->server;
    const bool cancellable = !stop_order_pending(server);
    if (cancellable) pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    const int rc = ipc_rcv_internal(server->msqid, server->mtype, server->chunk_size, ctx->fragment, &ctx->block,
                                    &ctx->capacity);
    if (cancellable) pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    return rc;
}

bool is_exit_order(const ReceiveContext* ctx) { return strncmp(ctx->block, "exit", 4) == 0; }

/* Returns when the thread is to end. */
void serve_payloads(ReceiveContext* ctx) {
    IpcServer* server = ctx->server;
    for (;;) {
        memset(ctx->block, 0, static_cast<size_t>(ctx->capacity));
        memset(ctx->fragment, 0, IPC_FRAGMENT_BUFFER_SIZE(server->chunk_size));
        if (receive_payload(ctx) != 0) {
            /* A removed queue fails every receive at once: stop, not spin. */
            if (ipc_queue_gone(server->msqid)) return;
            continue;
        }
        switch (ctx->fragment->kind) {
            case IPC_KIND_STOP:
                /* Only destroy's own order stops the thread: one left in the
                 * queue by an endpoint before it is stale. */
                if (ctx->fragment->total_len == 0 && stop_order_pending(server)) return;
                break;
            case IPC_KIND_MESSAGE:
                deliver_message(ctx);
                if (is_exit_order(ctx) && !stop_order_pending(server)) return;
                break;
            case IPC_KIND_REQUEST:
                answer_request(ctx);
                break;
            default:
                break;
        }
    }
}

bool allocate_receive_buffers(ReceiveContext* ctx) {
    const size_t chunk_size = ctx->server->chunk_size;
    ctx->capacity = static_cast<int>(IPC_FULL_CHUNK(chunk_size));
    ctx->block = static_cast<char*>(calloc(1, IPC_FULL_CHUNK(chunk_size)));
    ctx->fragment = static_cast<IpcFragment*>(calloc(1, IPC_FRAGMENT_BUFFER_SIZE(chunk_size)));
    return ctx->block != nullptr && ctx->fragment != nullptr;
}

/* The thread's last act on the record: destroy may free it right after. */
void finish_receive_thread(void* arg) {
    ReceiveContext* ctx = static_cast<ReceiveContext*>(arg);
    free(ctx->block);
    free(ctx->fragment);
    IpcServer* server = ctx->server;
    pthread_mutex_lock(&server->state_mutex);
    server->running = 0;
    server->finished = 1;
    pthread_cond_broadcast(&server->state_cond);
    pthread_mutex_unlock(&server->state_mutex);
}

void* receive_thread_main(void* arg) {
    ReceiveContext ctx = {static_cast<IpcServer*>(arg), nullptr, nullptr, 0};
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_cleanup_push(finish_receive_thread, &ctx);
    if (ctx.server->chunk_size != 0 && allocate_receive_buffers(&ctx)) serve_payloads(&ctx);
    pthread_cleanup_pop(1);
    return nullptr;
}

/* The host's asynchronous signals go to the host's own threads; faults
 * raised by the thread itself stay deliverable. */
void block_async_signals(sigset_t* previous) {
    sigset_t set;
    sigfillset(&set);
    const int synchronous[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT};
    for (int sig : synchronous) sigdelset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, previous);
}

void init_sync(IpcServer* server) {
    pthread_mutex_init(&server->mutex, nullptr);
    pthread_mutex_init(&server->state_mutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&server->state_cond, &attr);
    pthread_condattr_destroy(&attr);
}

void destroy_sync(IpcServer* server) {
    pthread_cond_destroy(&server->state_cond);
    pthread_mutex_destroy(&server->state_mutex);
    pthread_mutex_destroy(&server->mutex);
}

int start_receive_thread(IpcServer* server) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    sigset_t previous;
    block_async_signals(&previous);
    const int rc = pthread_create(&server->thread, &attr, receive_thread_main, server);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attr);
    return rc;
}

int open_queues(IpcServer* server, key_t key, int has_reply) {
    server->msqid = msgget(key, kQueueFlags);
    if (server->msqid < 0) return -3;
    if (has_reply) {
        server->reply_msqid = msgget(key + 1, kQueueFlags);
        if (server->reply_msqid < 0) return -3;
        server->reply_key = key + 1;
    }
    return 0;
}

/* With state_mutex held; gives up at the deadline. */
void wait_finished(IpcServer* server, const struct timespec* deadline) {
    while (!server->finished) {
        if (deadline == nullptr) {
            pthread_cond_wait(&server->state_cond, &server->state_mutex);
        } else if (pthread_cond_timedwait(&server->state_cond, &server->state_mutex, deadline) == ETIMEDOUT) {
            return;
        }
    }
}

struct timespec grace_deadline() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_nsec += kStopGraceNs % 1000000000L;
    t.tv_sec += kStopGraceNs / 1000000000L + t.tv_nsec / 1000000000L;
    t.tv_nsec %= 1000000000L;
    return t;
}

/* With state_mutex held. Only a running thread gets a stop order: one sent
 * to a stopped thread would stay queued and stop the next one. */
void send_stop_order(IpcServer* server) {
    if (!server->running || server->msqid < 0) return;
    char empty[] = "";
    IpcData stop = {0, empty};
    server->stop_sent = ipc_snd_internal(server->msqid, server->mtype, server->chunk_size, &stop, IPC_KIND_STOP) == 0;
}

}  // namespace

int vetu_ipc_server_create(key_t key, long mtype, int has_reply, size_t chunk_size, IpcServer** out) {
    return ipc_server_create_serving(key, mtype, has_reply, chunk_size, nullptr, nullptr, out);
}

int ipc_server_create_serving(key_t key, long mtype, int has_reply, size_t chunk_size, IpcServerCallback callback,
                              void* user_data, IpcServer** out) {
    if (out == nullptr || !ipc_chunk_size_fits(chunk_size)) return -3;
    IpcServer* server = static_cast<IpcServer*>(calloc(1, sizeof(IpcServer)));
    if (server == nullptr) return -4;
    server->has_reply = has_reply;
    server->chunk_size = chunk_size;
    server->mtype = mtype;
    server->callback = callback;
    server->user_data = user_data;
    if (open_queues(server, key, has_reply) != 0) {
        free(server);
        return -3;
    }
    server->key = key;
    server->running = 1;
    init_sync(server);
    if (start_receive_thread(server) != 0) {
        destroy_sync(server);
        free(server);
        return -5;
    }
    *out = server;
    return 0;
}

int vetu_ipc_server_destroy(IpcServer* server) {
    if (server == nullptr) return -3;
    pthread_mutex_lock(&server->state_mutex);
    send_stop_order(server);
    const struct timespec deadline = grace_deadline();
    wait_finished(server, &deadline);
    if (!server->finished) {
        /* Takes effect only while the thread waits in its receive. */
        pthread_cancel(server->thread);
        wait_finished(server, nullptr);
    }
    pthread_mutex_unlock(&server->state_mutex);
    destroy_sync(server);
    free(server);
    return 0;
}

int vetu_ipc_server_register_callback(IpcServer* server, IpcServerCallback callback, void* user_data) {
    if (server == nullptr) return -3;
    store_pair(server, callback, user_data);
    return 0;
}

int vetu_ipc_server_unregister_callback(IpcServer* server) {
    if (server == nullptr) return -3;
    store_pair(server, nullptr, nullptr);
    return 0;
}
