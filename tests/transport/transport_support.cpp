#include "transport_support.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace transport_test {

QueuePair::QueuePair()
    : key(hac_test::unique_queue_key()),
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
    r.rc = ipc_rcv_internal(msqid, mtype, kChunk, reinterpret_cast<IpcFragment*>(fragment.data()), &block,
                            &r.capacity);
    const IpcFragment* f = reinterpret_cast<const IpcFragment*>(fragment.data());
    r.kind = f->kind;
    if (r.rc == 0) {
        r.bytes.assign(block, static_cast<size_t>(f->total_len));
        r.nul_after = block[f->total_len] == '\0';
    }
    free(block);
    return r;
}

static std::string task_file(pid_t tid, const char* name) {
    return hac_test::read_file("/proc/self/task/" + std::to_string(tid) + "/" + name);
}

bool task_sleeps(pid_t tid) {
    const std::string stat = task_file(tid, "stat");
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && stat.compare(paren + 2, 1, "S") == 0;
}

bool task_exists(pid_t tid) { return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0; }

std::string task_status(pid_t tid, const std::string& field) {
    for (const std::string& line : hac_test::split_lines(task_file(tid, "status")))
        if (line.compare(0, field.size() + 1, field + ":") == 0) return line.substr(field.size() + 1);
    return "";
}

IpcData* new_answer(const std::string& bytes) {
    IpcData* answer = new IpcData;
    answer->len = static_cast<int32_t>(bytes.size());
    answer->data = static_cast<char*>(malloc(bytes.size() + 1));
    memcpy(answer->data, bytes.c_str(), bytes.size() + 1);
    return answer;
}

size_t Recorder::count() {
    std::lock_guard<std::mutex> lock(mutex);
    return seen.size();
}

std::string Recorder::at(size_t i) {
    std::lock_guard<std::mutex> lock(mutex);
    return i < seen.size() ? seen[i] : std::string();
}

IpcData* Recorder::callback(const IpcData* payload, void* self) {
    Recorder* r = static_cast<Recorder*>(self);
    r->thread_id = static_cast<pid_t>(syscall(SYS_gettid));
    std::lock_guard<std::mutex> lock(r->mutex);
    r->seen.emplace_back(payload->data, static_cast<size_t>(payload->len));
    return new_answer(r->reply.empty() ? r->seen.back() : r->reply);
}

Server::Server(key_t key, int has_reply, Recorder* recorder, long mtype)
    : rc(vetu_ipc_server_create(key, mtype, has_reply, kChunk, &handle)) {
    if (rc == 0 && recorder != nullptr) vetu_ipc_server_register_callback(handle, Recorder::callback, recorder);
}

Server::~Server() {
    if (handle != nullptr) vetu_ipc_server_destroy(handle);
}

}  // namespace transport_test
