/*
 * Client endpoint: the sending side of one queue, optionally waiting for
 * the server endpoint's answer on the reply queue (key + 1). It opens its
 * queues at the first send and never creates the request queue; a missing
 * reply queue it creates once the request queue exists (open_queues).
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include "endpoints.h"
#include "lock.h"
#include "transport.h"

namespace {

const int kQueueMode = 0666;

int open_existing(key_t key, int* msqid) {
    if (*msqid < 0) *msqid = msgget(key, kQueueMode);
    return *msqid < 0 ? VETU_ERR_REFUSED : 0;
}

/* With the mutex held. A failed open stays negative and is tried again.
 * The request queue must exist: its server endpoint creates it. Once it
 * does, a missing reply queue is created here: the server endpoint creates
 * the pair together, but one removed right after (an operator removing the
 * queues one by one under a running server, which creates them again)
 * would otherwise come back only with the server's next answer, which no
 * request could then ask for. */
int open_queues(IpcClient* client) {
    if (open_existing(client->key, &client->msqid) != 0) return VETU_ERR_REFUSED;
    if (!client->has_reply || client->reply_msqid >= 0) return 0;
    client->reply_msqid = msgget(client->reply_key, IPC_CREAT | kQueueMode);
    return client->reply_msqid < 0 ? VETU_ERR_REFUSED : 0;
}

/* The queues were removed (an operator's purge, a browser's start-up
 * script): their server endpoint creates them anew, under new identifiers,
 * so the next open looks them up by key again. */
void forget_queues(IpcClient* client) {
    client->msqid = -1;
    if (client->has_reply) client->reply_msqid = -1;
}

bool sendable(const IpcData* payload) { return ipc_payload_readable(payload) && payload->len != 0; }

bool can_exchange(const IpcClient* client, const IpcData* request) {
    return client != nullptr && sendable(request) && client->has_reply && client->chunk_size != 0;
}

/* With the mutex held: the endpoint's fragment buffer, made once, so that
 * steady traffic sends and receives without allocating. Null when memory
 * runs out; the next send tries again. */
IpcFragment* endpoint_fragment(IpcClient* client) {
    if (client->fragment == nullptr)
        client->fragment = static_cast<IpcFragment*>(malloc(IPC_FRAGMENT_BUFFER_SIZE(client->chunk_size)));
    return client->fragment;
}

int send_through_endpoint(IpcClient* client, const IpcData* payload, int kind, int32_t token) {
    return ipc_snd_through(client->msqid, client->mtype, client->chunk_size, payload, kind, token, client->fragment);
}

/* Sends the whole payload; when the queue turns out to be removed, opens
 * the queue of the same key again and sends once more: -3 while it does not
 * exist, as before it ever existed. */
int send_reopening(IpcClient* client, const IpcData* payload, int kind, int32_t token) {
    int rc = send_through_endpoint(client, payload, kind, token);
    if (rc == IPC_SEND_QUEUE_GONE) {
        forget_queues(client);
        if (open_queues(client) != 0) return VETU_ERR_REFUSED;
        rc = send_through_endpoint(client, payload, kind, token);
    }
    return rc == 0 ? 0 : VETU_ERR_FAILED;
}

/* Opens the queues and sends under the mutex the caller holds. */
int open_and_send(IpcClient* client, IpcData* payload, int kind) {
    const int opened = open_queues(client);
    if (opened != 0) return opened;
    if (payload->len > IPC_MAX_PAYLOAD) return VETU_ERR_FAILED;
    if (endpoint_fragment(client) == nullptr) return VETU_ERR_NO_MEMORY;
    return send_reopening(client, payload, kind, ipc_new_token());
}

/* The answer block of one exchange; the answer's fragments come through
 * the endpoint's buffer. */
struct Exchange {
    char* block;
    int capacity;
    int kind;         /* of the answer taken */
    int32_t length;   /* total_len of the answer taken */
    bool answer_lost; /* the receive of the answer failed */
    const struct timespec* deadline; /* null: wait without limit */
};

/* A block lent for the exchange is taken as it is. */
int allocate_exchange(IpcClient* client, Exchange* ex) {
    if (endpoint_fragment(client) == nullptr) return VETU_ERR_NO_MEMORY;
    if (ex->block != nullptr) return 0;
    ex->capacity = static_cast<int>(IPC_FULL_CHUNK(client->chunk_size));
    ex->block = static_cast<char*>(calloc(1, static_cast<size_t>(ex->capacity)));
    return ex->block != nullptr ? 0 : VETU_ERR_NO_MEMORY;
}

/* An answer carries its request's token. 0 comes from a server that names
 * nothing: that answer can only be taken on trust. */
bool answers(int32_t answer_token, int32_t request_token) {
    return answer_token == request_token || answer_token == 0;
}

struct AnswerWait {
    int32_t token;
    bool own_answer_spoiled;
};

void note_spoiled_answer(void* context, const IpcJoin* join) {
    AnswerWait* wait = static_cast<AnswerWait*>(context);
    if (answers(join->token, wait->token)) wait->own_answer_spoiled = true;
}

/* Waits for this request's answer. Answers to other requests (one a signal
 * broke off earlier, one of a process that gave up or died) may come first:
 * they are taken and thrown away, whether they come whole or spoiled. A
 * signal before the answer began ends the wait; the answer then comes
 * later and is thrown away the same way. */
int receive_answer(IpcClient* client, Exchange* ex, IpcReceiver* receiver, const AnswerWait* wait) {
    for (;;) {
        const int rc = ipc_receive_payload(client->reply_msqid, client->mtype, client->chunk_size, client->fragment,
                                           &ex->block, &ex->capacity, receiver);
        if (rc == IPC_RECEIVE_WOKEN) return VETU_ERR_TIMED_OUT;
        if (rc == 0 && answers(client->fragment->token, wait->token)) return 0;
        if (rc == IPC_RECEIVE_FAILED && ipc_queue_gone(client->reply_msqid)) forget_queues(client);
        if (rc == IPC_RECEIVE_FAILED || wait->own_answer_spoiled) return VETU_ERR_FAILED;
    }
}

/* Takes this request's answer; with a deadline, the alarm wakes the
 * receive when it passes (-6), and -5 means that no alarm thread could be
 * started to do so. */
int take_answer(IpcClient* client, Exchange* ex, int32_t token) {
    AnswerWait wait = {token, false};
    IpcReceiver receiver;
    memset(&receiver, 0, sizeof receiver);
    receiver.abandoned = note_spoiled_answer;
    receiver.context = &wait;
    if (ex->deadline == nullptr) return receive_answer(client, ex, &receiver, &wait);
    receiver.wake_token = token;
    IpcAlarm alarm;
    const int armed = ipc_alarm_arm(&alarm, client->reply_msqid, client->mtype, client->chunk_size, token,
                                    ex->deadline);
    if (armed != 0) return armed;
    const int rc = receive_answer(client, ex, &receiver, &wait);
    ipc_alarm_disarm(&alarm);
    return rc;
}

/* A request that will not be waited for is taken back off the request
 * queue, so that no server serves it later; one the server has begun to
 * take is answered, and the answer thrown away by token. */
bool given_up(int taken) { return taken == VETU_ERR_TIMED_OUT || taken == VETU_ERR_NO_THREAD; }

/* Sends the request and waits for its answer, with the mutex held. Answers
 * of this mtype still waiting (from a receive that failed, or a client that
 * died waiting) are dropped first; later ones are told apart by token. A
 * request whose time limit passed before the server took it is taken back
 * off the request queue, so that no server serves it later. */
int request_and_receive(IpcClient* client, IpcData* request, Exchange* ex) {
    const int opened = open_queues(client);
    if (opened != 0) return opened;
    if (request->len > IPC_MAX_PAYLOAD) return VETU_ERR_FAILED;
    if (allocate_exchange(client, ex) != 0) return VETU_ERR_NO_MEMORY;
    ipc_discard_waiting(client->reply_msqid, client->mtype, client->chunk_size, client->fragment);
    const int32_t token = ipc_new_token();
    const int sent = send_reopening(client, request, IPC_KIND_REQUEST, token);
    if (sent != 0) return sent;
    const int taken = take_answer(client, ex, token);
    if (given_up(taken)) ipc_withdraw(client->msqid, client->mtype, client->chunk_size, token, client->fragment);
    if (taken != 0) ex->answer_lost = true;
    if (taken != 0) return taken;
    ex->kind = client->fragment->kind;
    ex->length = client->fragment->total_len;
    return 0;
}

/* The exchange under the endpoint's mutex, awaited only until the deadline
 * when there is one. On 0 the answer is handed over in reply: a no-reply
 * answer ("a") too, with len untouched. */
int exchange_locked(IpcClient* client, IpcData* request, IpcData* reply, Exchange* ex) {
    ScopedLock lock(&client->mutex, ex->deadline);
    if (!lock.held()) return VETU_ERR_TIMED_OUT;
    const int result = request_and_receive(client, request, ex);
    if (result == 0) {
        if (ex->kind == IPC_KIND_REPLY) reply->len = ex->length;
        reply->data = ex->block;
    } else if (ex->answer_lost || result == VETU_ERR_NO_MEMORY) {
        reply->data = nullptr;
    }
    return result;
}

}  // namespace

int vetu_ipc_client_create(key_t key, long mtype, int has_reply, size_t chunk_size, IpcClient** out) {
    if (out == nullptr || !ipc_chunk_size_fits(chunk_size)) return VETU_ERR_REFUSED;
    IpcClient* client = static_cast<IpcClient*>(calloc(1, sizeof(IpcClient)));
    if (client == nullptr) return VETU_ERR_NO_MEMORY;
    client->key = key;
    client->mtype = mtype;
    client->msqid = -1;
    client->has_reply = has_reply;
    client->chunk_size = chunk_size;
    if (has_reply) {
        client->reply_key = key + 1;
        client->reply_msqid = -1;
    }
    pthread_mutex_init(&client->mutex, nullptr);
    *out = client;
    return 0;
}

int vetu_ipc_client_destroy(IpcClient* client) {
    if (client == nullptr) return VETU_ERR_REFUSED;
    pthread_mutex_destroy(&client->mutex);
    free(client->fragment);
    free(client);
    return 0;
}

int vetu_ipc_client_send(IpcClient* client, IpcData* payload) {
    if (client == nullptr || !sendable(payload)) return VETU_ERR_REFUSED;
    ScopedLock lock(&client->mutex);
    return open_and_send(client, payload, IPC_KIND_MESSAGE);
}

int vetu_ipc_client_send_sync_with_params(IpcClient* client, IpcData* request, IpcData* reply) {
    return ipc_client_exchange_until(client, request, reply, nullptr);
}

int ipc_client_exchange_until(IpcClient* client, IpcData* request, IpcData* reply, const struct timespec* deadline) {
    if (reply == nullptr || !can_exchange(client, request)) return VETU_ERR_REFUSED;
    Exchange ex = {nullptr, 0, 0, 0, false, deadline};
    const int result = exchange_locked(client, request, reply, &ex);
    /* The block is the caller's once handed over. */
    if (result != 0) free(ex.block);
    return result;
}

int ipc_client_exchange_into(IpcClient* client, IpcData* request, IpcData* reply, IpcAnswerBlock* block,
                             const struct timespec* deadline) {
    if (reply == nullptr || block == nullptr || !can_exchange(client, request)) return VETU_ERR_REFUSED;
    Exchange ex = {block->data, block->capacity, 0, 0, false, deadline};
    const int result = exchange_locked(client, request, reply, &ex);
    /* A receive may have moved or grown the block. */
    block->data = ex.block;
    block->capacity = ex.capacity;
    return result;
}

int vetu_ipc_client_send_sync_with_callback(IpcClient* client, IpcData* request, IpcReplyCallback callback) {
    if (!can_exchange(client, request)) return VETU_ERR_REFUSED;
    Exchange ex = {nullptr, 0, 0, 0, false, nullptr};
    ScopedLock lock(&client->mutex);
    const int result = request_and_receive(client, request, &ex);
    if (result == 0 && ex.kind == IPC_KIND_REPLY && callback != nullptr) {
        IpcData answer = {ex.length, ex.block};
        callback(&answer, 0);
    }
    free(ex.block);
    return result;
}
