#include "transport_support.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace transport_test {

QueuePair::QueuePair()
    : key(unique_queue_key()),
      cleaner({key, key + 1}),
      request(msgget(key, IPC_CREAT | 0666)),
      reply(msgget(key + 1, IPC_CREAT | 0666)) {}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 7 == 3 ? 0 : 'a' + i % 26);
    return s;
}

IpcData as_payload(std::string& bytes) { return IpcData{static_cast<int32_t>(bytes.size()), &bytes[0]}; }

Received receive(int msqid, long mtype, int capacity) {
    std::vector<char> fragment(IPC_FRAGMENT_BUFFER_SIZE(kChunk));
    char* block = static_cast<char*>(calloc(1, static_cast<size_t>(capacity)));
    Received r{};
    r.capacity = capacity;
    r.rc = ipc_rcv_internal(msqid, mtype, kChunk, reinterpret_cast<IpcFragment*>(fragment.data()), &block, &r.capacity);
    const IpcFragment* f = reinterpret_cast<const IpcFragment*>(fragment.data());
    r.kind = f->kind;
    if (r.rc == 0) {
        r.bytes.assign(block, static_cast<size_t>(f->total_len));
        r.nul_after = block[f->total_len] == '\0';
    }
    free(block);
    return r;
}

bool task_sleeps(pid_t tid) {
    const std::string stat = read_file("/proc/self/task/" + std::to_string(tid) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && stat.compare(paren + 2, 1, "S") == 0;
}

bool task_exists(pid_t tid) { return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0; }

std::vector<std::string> Recorder::payloads() {
    std::lock_guard<std::mutex> lock(mutex);
    return seen;
}

bool Recorder::blocked_on_its_thread(int sig) {
    std::lock_guard<std::mutex> lock(mutex);
    return sigismember(&thread_mask, sig) == 1;
}

void Recorder::set_reply(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    reply = bytes;
}

IpcData* Recorder::callback(const IpcData* payload, void* self) {
    Recorder* r = static_cast<Recorder*>(self);
    r->thread_id = static_cast<pid_t>(syscall(SYS_gettid));
    std::lock_guard<std::mutex> lock(r->mutex);
    pthread_sigmask(SIG_BLOCK, nullptr, &r->thread_mask);
    while (r->capacity < payload->len + 1) r->capacity = 2 * r->capacity - 1;
    if (!std::all_of(payload->data + payload->len, payload->data + r->capacity, [](char c) { return c == 0; }))
        r->blocks_zero_beyond = false;
    r->seen.emplace_back(payload->data, static_cast<size_t>(payload->len));
    const std::string& answer = r->reply.empty() ? r->seen.back() : r->reply;
    IpcData* copy = new IpcData{static_cast<int32_t>(answer.size()), static_cast<char*>(malloc(answer.size() + 1))};
    memcpy(copy->data, answer.c_str(), answer.size() + 1);
    return copy;
}

Client::Client(key_t key, int has_reply) { vetu_ipc_client_create(key, kMtype, has_reply, kChunk, &handle); }

Client::~Client() { vetu_ipc_client_destroy(handle); }

Exchange exchange(IpcClient* client, std::string request, int len_before) {
    IpcData req = as_payload(request), reply = {len_before, nullptr};
    Exchange ex{vetu_ipc_client_send_sync_with_params(client, &req, &reply), reply.len, ""};
    if (ex.rc == 0) ex.bytes.assign(reply.data, reply.len != len_before ? reply.len : strlen(reply.data));
    free(reply.data);
    return ex;
}

Server::Server(key_t key, int has_reply, Recorder* recorder) {
    EXPECT_EQ(vetu_ipc_server_create(key, kMtype, has_reply, kChunk, &handle), 0);
    if (handle != nullptr && recorder != nullptr)
        vetu_ipc_server_register_callback(handle, Recorder::callback, recorder);
}

Server::~Server() {
    if (handle != nullptr) vetu_ipc_server_destroy(handle);
}

}  // namespace transport_test
