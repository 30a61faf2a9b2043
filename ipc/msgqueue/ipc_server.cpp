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

#include "endpoints.h"
#include "lock.h"
#include "transport.h"

namespace {

const int kQueueFlags = IPC_CREAT | 0666;
/* How long destroy waits for its stop order to end the thread, and then
 * for the cancelled thread to end. */
const long kStopGraceMs = 1000;
/* A thread busy in a callback at the end of the grace gets as long again to
 * finish it and take its stop order; a cancelled thread waiting in its
 * receive ends at once. */
const long kCallbackGraceMs = 1000;
const long kCancelGraceMs = 500;

/* The endpoint whose receive thread is the calling thread, if any: a
 * callback that registers on or destroys its own endpoint must neither take
 * the mutex it already holds nor wait for its own thread. */
thread_local const IpcServer* t_served_here = nullptr;

/* The receive thread's buffers, kept for its whole life and freed by its
 * cleanup handler, on its own return or on cancellation alike. Answers go
 * out through a buffer of their own, so a request dropped in the middle of
 * a receive can be answered there. */
struct ReceiveContext {
    IpcServer* server;
    IpcFragment* fragment;
    IpcFragment* answer_fragment;
    char* block;
    int capacity;
    IpcReceiver receiver;
};

bool on_receive_thread(const IpcServer* server) { return t_served_here == server; }

IpcServerCallback registered_callback(const IpcServer* server) {
    return __atomic_load_n(&server->callback, __ATOMIC_ACQUIRE);
}

void* registered_user_data(const IpcServer* server) { return __atomic_load_n(&server->user_data, __ATOMIC_ACQUIRE); }

void store_pair(IpcServer* server, IpcServerCallback callback, void* user_data) {
    if (registered_callback(server) == callback && registered_user_data(server) == user_data) return;
    /* On its own receive thread a callback runs with the mutex held. */
    bool held_here = on_receive_thread(server);
    ScopedLock lock(&server->mutex, &held_here);
    __atomic_store_n(&server->callback, callback, __ATOMIC_RELEASE);
    __atomic_store_n(&server->user_data, user_data, __ATOMIC_RELEASE);
}

bool stop_requested(const IpcServer* server) { return __atomic_load_n(&server->stopping, __ATOMIC_ACQUIRE) != 0; }

void request_stop(IpcServer* server) { __atomic_store_n(&server->stopping, 1, __ATOMIC_RELEASE); }

/* An answer handed over is freed; a lent one stays its callback's. */
void release_answer(const IpcServer* server, IpcData* answer) {
    if (answer == nullptr || server->lends_answers) return;
    free(answer->data);
    delete answer;
}

/* With the endpoint mutex held. A callback that throws answers nothing:
 * the exception must not end the thread, and with it the process. */
IpcData* call_registered(const ReceiveContext* ctx) {
    IpcServerCallback callback = registered_callback(ctx->server);
    if (callback == nullptr) return nullptr;
    const IpcData payload = {ctx->fragment->total_len, ctx->block};
    try {
        return callback(&payload, registered_user_data(ctx->server));
    } catch (...) {
        return nullptr;
    }
}

void set_busy(IpcServer* server, int busy) { __atomic_store_n(&server->busy, busy, __ATOMIC_RELEASE); }

bool thread_busy(const IpcServer* server) { return __atomic_load_n(&server->busy, __ATOMIC_ACQUIRE) != 0; }

void deliver_message(const ReceiveContext* ctx) {
    ScopedLock lock(&ctx->server->mutex);
    /* One-way senders expect nothing back, but an answer handed over is ours. */
    release_answer(ctx->server, call_registered(ctx));
}

int request_queue_of(const IpcServer* server) { return __atomic_load_n(&server->msqid, __ATOMIC_ACQUIRE); }

/* Creates (or opens) a queue of the endpoint again after it was removed
 * under the running thread; false when that is refused. */
bool recreate_queue(key_t key, int* msqid) {
    const int id = msgget(key, kQueueFlags);
    if (id < 0) return false;
    __atomic_store_n(msqid, id, __ATOMIC_RELEASE);
    return true;
}

/* The answer carries the request's token: that is how the waiting client
 * tells it from answers to other requests. A reply queue removed under the
 * thread is created again, and the answer sent once more. */
int send_answer(const ReceiveContext* ctx, long mtype, int32_t token, IpcData* answer, int kind) {
    IpcServer* server = ctx->server;
    int rc = ipc_snd_through(server->reply_msqid, mtype, server->chunk_size, answer, kind, token,
                             ctx->answer_fragment);
    if (rc == IPC_SEND_QUEUE_GONE && recreate_queue(server->reply_key, &server->reply_msqid))
        rc = ipc_snd_through(server->reply_msqid, mtype, server->chunk_size, answer, kind, token,
                             ctx->answer_fragment);
    return rc;
}

void send_no_reply(const ReceiveContext* ctx, long mtype, int32_t token) {
    char no_reply[] = "a";
    IpcData none = {2, no_reply};
    send_answer(ctx, mtype, token, &none, IPC_KIND_NO_REPLY);
}

/* A waiting client is always released: with the answer or the no-reply one. */
void answer_request(const ReceiveContext* ctx) {
    if (!ctx->server->has_reply) return;
    const long mtype = ctx->fragment->mtype;
    const int32_t token = ctx->fragment->token;
    ScopedLock lock(&ctx->server->mutex);
    IpcData* answer = call_registered(ctx);
    const bool answered = answer != nullptr && answer->len <= IPC_MAX_PAYLOAD &&
                          send_answer(ctx, mtype, token, answer, IPC_KIND_REPLY) == 0;
    release_answer(ctx->server, answer);
    if (!answered) send_no_reply(ctx, mtype, token);
}

/* A request whose fragments did not make it whole (spoiled, cut short by
 * another payload, too long, no memory to join it, or the thread stopped
 * in the middle of it) still releases its client. */
void answer_abandoned_request(void* context, const IpcJoin* join) {
    const ReceiveContext* ctx = static_cast<const ReceiveContext*>(context);
    if (join->kind != IPC_KIND_REQUEST || !ctx->server->has_reply) return;
    int previous;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    send_no_reply(ctx, join->mtype, join->token);
    pthread_setcancelstate(previous, nullptr);
}

/* Cancellation is taken only while waiting here, never inside a callback or
 * an answer. No local of this frame or those below it has its address
 * taken: cancellation unwinds them without their epilogues, which
 * address-sanitized builds would otherwise mistake for stack corruption. */
int receive_payload(ReceiveContext* ctx) {
    IpcServer* server = ctx->server;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    const int rc = ipc_receive_payload(request_queue_of(server), server->mtype, server->chunk_size, ctx->fragment,
                                       &ctx->block, &ctx->capacity, &ctx->receiver);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    return rc;
}

/* The block holds at least a chunk's bytes, and a NUL among the first four
 * makes them differ from "exit" as strncmp would find. */
bool is_exit_order(const ReceiveContext* ctx) { return memcmp(ctx->block, "exit", 4) == 0; }

/* Only destroy's own stop order stops the thread: one left in the queue by
 * an earlier endpoint, or sent by anyone else, names another token. */
bool is_own_stop_order(const ReceiveContext* ctx) {
    const int32_t own = __atomic_load_n(&ctx->server->stop_token, __ATOMIC_ACQUIRE);
    return ctx->fragment->total_len == 0 && own != 0 && ctx->fragment->token == own;
}

/* Hands the payload received to its place; true when the thread is to end. */
bool serve_payload(const ReceiveContext* ctx) {
    switch (ctx->fragment->kind) {
        case IPC_KIND_STOP:
            return is_own_stop_order(ctx);
        case IPC_KIND_MESSAGE:
            set_busy(ctx->server, 1);
            deliver_message(ctx);
            set_busy(ctx->server, 0);
            return is_exit_order(ctx);
        case IPC_KIND_REQUEST:
            set_busy(ctx->server, 1);
            answer_request(ctx);
            set_busy(ctx->server, 0);
            return false;
        default:
            return false;
    }
}

bool recreate_request_queues(IpcServer* server) {
    if (!recreate_queue(server->key, &server->msqid)) return false;
    return !server->has_reply || recreate_queue(server->reply_key, &server->reply_msqid);
}

/* Every payload reaches its callback in a block that is zero beyond it, as
 * the block was made. The payload and its NUL overwrite what the receives
 * before left at the start of the block; only what lies beyond them, up to
 * where any receive wrote, is cleared, not the whole capacity. A callback
 * may write into its payload and NUL: they count as written. */
void clear_beyond_payload(ReceiveContext* ctx) {
    const int32_t end = ctx->fragment->total_len + 1;
    if (ctx->receiver.touched > end) memset(ctx->block + end, 0, static_cast<size_t>(ctx->receiver.touched - end));
    ctx->receiver.touched = end;
}

/* Returns when the thread is to end. The fragment buffer needs no clearing:
 * each receive leaves it as if cleared before it. */
void serve_payloads(ReceiveContext* ctx) {
    IpcServer* server = ctx->server;
    while (!stop_requested(server)) {
        const int rc = receive_payload(ctx);
        if (rc == IPC_RECEIVE_FAILED) {
            /* A removed queue (an operator's purge, a peer's start-up
             * script) is created again and served, so that the half does
             * not stay deaf; when that is refused the thread ends rather
             * than spin on a receive that fails at once. */
            if (ipc_queue_gone(request_queue_of(server)) && !recreate_request_queues(server)) return;
            continue;
        }
        /* A payload that did not arrive whole was answered, if it was a
         * request, when it was dropped. */
        if (rc != 0) continue;
        clear_beyond_payload(ctx);
        if (serve_payload(ctx)) return;
        /* Destroy's stop order came in the middle of this payload. */
        if (ctx->receiver.stop_seen) return;
    }
}

bool allocate_receive_buffers(ReceiveContext* ctx) {
    const size_t chunk_size = ctx->server->chunk_size;
    ctx->capacity = static_cast<int>(IPC_FULL_CHUNK(chunk_size));
    ctx->block = static_cast<char*>(calloc(1, IPC_FULL_CHUNK(chunk_size)));
    ctx->fragment = static_cast<IpcFragment*>(calloc(1, IPC_FRAGMENT_BUFFER_SIZE(chunk_size)));
    ctx->answer_fragment = static_cast<IpcFragment*>(malloc(IPC_FRAGMENT_BUFFER_SIZE(chunk_size)));
    return ctx->block != nullptr && ctx->fragment != nullptr && ctx->answer_fragment != nullptr;
}

void destroy_sync(IpcServer* server) {
    pthread_cond_destroy(&server->state_cond);
    pthread_mutex_destroy(&server->state_mutex);
    pthread_mutex_destroy(&server->mutex);
}

/* The thread's last act on the record: destroy may free it right after, or
 * left it for the thread to free. */
void finish_receive_thread(void* arg) {
    ReceiveContext* ctx = static_cast<ReceiveContext*>(arg);
    /* Cancelled in the middle of a request: its client still gets an answer. */
    if (ctx->receiver.join.active && ctx->answer_fragment != nullptr) {
        ctx->receiver.join.active = 0;
        answer_abandoned_request(ctx, &ctx->receiver.join);
    }
    free(ctx->block);
    free(ctx->fragment);
    free(ctx->answer_fragment);
    IpcServer* server = ctx->server;
    bool orphaned;
    {
        ScopedLock lock(&server->state_mutex);
        server->running = 0;
        server->finished = 1;
        orphaned = server->orphaned != 0;
        pthread_cond_broadcast(&server->state_cond);
    }
    if (orphaned) {
        destroy_sync(server);
        free(server);
    }
}

void* receive_thread_main(void* arg) {
    ReceiveContext ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.server = static_cast<IpcServer*>(arg);
    ctx.receiver.abandoned = answer_abandoned_request;
    ctx.receiver.context = &ctx;
    ctx.receiver.stop_token = &ctx.server->stop_token;
    t_served_here = ctx.server;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_cleanup_push(finish_receive_thread, &ctx);
    if (ctx.server->chunk_size != 0 && allocate_receive_buffers(&ctx)) serve_payloads(&ctx);
    pthread_cleanup_pop(1);
    return nullptr;
}

void init_sync(IpcServer* server) {
    pthread_mutex_init(&server->mutex, nullptr);
    pthread_mutex_init(&server->state_mutex, nullptr);
    ipc_monotonic_cond_init(&server->state_cond);
}

int open_queues(IpcServer* server, key_t key, int has_reply) {
    server->msqid = msgget(key, kQueueFlags);
    if (server->msqid < 0) return VETU_ERR_REFUSED;
    if (has_reply) {
        server->reply_msqid = msgget(key + 1, kQueueFlags);
        if (server->reply_msqid < 0) return VETU_ERR_REFUSED;
        server->reply_key = key + 1;
    }
    return 0;
}

/* With state_mutex held; gives up after ms. */
void wait_finished(IpcServer* server, long ms) {
    const struct timespec deadline = ipc_deadline_after(ms);
    while (!server->finished) {
        if (pthread_cond_timedwait(&server->state_cond, &server->state_mutex, &deadline) == ETIMEDOUT) return;
    }
}

/* With state_mutex held. Only a running thread gets a stop order. Its token
 * is the endpoint's own, so that the thread tells it from any other stop
 * order on the queue; one that is not taken stops nobody later. */
void send_stop_order(IpcServer* server) {
    const int msqid = request_queue_of(server);
    if (!server->running || msqid < 0) return;
    IpcFragment* fragment = static_cast<IpcFragment*>(malloc(IPC_FRAGMENT_BUFFER_SIZE(server->chunk_size)));
    if (fragment == nullptr) return;  /* the thread is cancelled instead */
    const int32_t token = ipc_new_token();
    __atomic_store_n(&server->stop_token, token, __ATOMIC_RELEASE);
    char empty[] = "";
    IpcData stop = {0, empty};
    ipc_snd_through(msqid, server->mtype, server->chunk_size, &stop, IPC_KIND_STOP, token, fragment);
    free(fragment);
}

/* Destroy called by a callback on the endpoint's own thread: the thread
 * ends when the callback returns, and frees the record itself. */
void leave_to_receive_thread(IpcServer* server) {
    ScopedLock lock(&server->state_mutex);
    request_stop(server);
    server->orphaned = 1;
}

/* Stops the receive thread: its stop order, a second of waiting (a second
 * more while a callback runs), then cancellation. False when the thread is
 * still in a callback after all that: the record is then left to it. */
bool stop_receive_thread(IpcServer* server) {
    ScopedLock lock(&server->state_mutex);
    send_stop_order(server);
    wait_finished(server, kStopGraceMs);
    if (!server->finished && thread_busy(server)) wait_finished(server, kCallbackGraceMs);
    if (!server->finished) {
        /* The stop order is late, or another reader of the queue took it.
         * Cancellation takes effect only while the thread waits in its
         * receive; a thread busy in a callback ends after it. */
        request_stop(server);
        pthread_cancel(server->thread);
        wait_finished(server, kCancelGraceMs);
    }
    if (!server->finished) server->orphaned = 1;
    return server->finished != 0;
}

}  // namespace

int vetu_ipc_server_create(key_t key, long mtype, int has_reply, size_t chunk_size, IpcServer** out) {
    return ipc_server_create_serving(key, mtype, has_reply, chunk_size, nullptr, nullptr, IPC_ANSWERS_GIVEN, out);
}

int ipc_server_create_serving(key_t key, long mtype, int has_reply, size_t chunk_size, IpcServerCallback callback,
                              void* user_data, IpcAnswers answers, IpcServer** out) {
    if (out == nullptr || !ipc_chunk_size_fits(chunk_size)) return VETU_ERR_REFUSED;
    IpcServer* server = static_cast<IpcServer*>(calloc(1, sizeof(IpcServer)));
    if (server == nullptr) return VETU_ERR_NO_MEMORY;
    server->has_reply = has_reply;
    server->chunk_size = chunk_size;
    server->mtype = mtype;
    server->callback = callback;
    server->user_data = user_data;
    server->lends_answers = answers == IPC_ANSWERS_LENT;
    if (open_queues(server, key, has_reply) != 0) {
        free(server);
        return VETU_ERR_REFUSED;
    }
    server->key = key;
    server->running = 1;
    init_sync(server);
    if (ipc_start_library_thread(&server->thread, receive_thread_main, server) != 0) {
        destroy_sync(server);
        free(server);
        return VETU_ERR_NO_THREAD;
    }
    *out = server;
    return 0;
}

int vetu_ipc_server_destroy(IpcServer* server) {
    if (server == nullptr) return VETU_ERR_REFUSED;
    if (on_receive_thread(server)) {
        leave_to_receive_thread(server);
        return 0;
    }
    if (!stop_receive_thread(server)) return 0;  /* the thread frees the record */
    destroy_sync(server);
    free(server);
    return 0;
}

int vetu_ipc_server_register_callback(IpcServer* server, IpcServerCallback callback, void* user_data) {
    if (server == nullptr) return VETU_ERR_REFUSED;
    store_pair(server, callback, user_data);
    return 0;
}

int vetu_ipc_server_unregister_callback(IpcServer* server) {
    if (server == nullptr) return VETU_ERR_REFUSED;
    store_pair(server, nullptr, nullptr);
    return 0;
}

int ipc_start_library_thread(pthread_t* thread, void* (*main)(void*), void* arg) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    sigset_t set, previous;
    sigfillset(&set);
    const int synchronous[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT};
    for (int sig : synchronous) sigdelset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &previous);
    const int rc = pthread_create(thread, &attr, main, arg);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attr);
    return rc;
}
