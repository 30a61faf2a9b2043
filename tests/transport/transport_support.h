// Helpers of the transport tests: direct queue access with plain
// msgsnd/msgrcv, so that the wire format is checked from outside the
// library, and server endpoints whose callbacks record what they get.
#ifndef TRANSPORT_SUPPORT_H
#define TRANSPORT_SUPPORT_H

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "test_support.h"
#include "vetu_ipc.h"

namespace transport_test {

using namespace hac_test;

const size_t kChunk = 1024;
const long kMtype = 7;

// A fresh request queue and its reply queue (key + 1), removed afterwards.
struct QueuePair {
    QueuePair();
    key_t key;
    QueueCleaner cleaner;
    int request;
    int reply;
};

// n bytes of a pattern that holds NUL bytes.
std::string pattern(size_t n);

IpcData as_payload(std::string& bytes);

// One ipc_rcv_internal call with a block of the given starting capacity.
struct Received {
    int rc;
    std::string bytes;  // up to the closing NUL's position (total_len)
    int capacity;
    int kind;
    bool nul_after;  // a NUL right after the joined bytes
};
Received receive(int msqid, long mtype, int capacity = kChunk + 1);

// State of a thread of this process, from /proc/self/task.
bool task_sleeps(pid_t tid);
bool task_exists(pid_t tid);

// Records every payload its callback gets and answers with a copy of it,
// or with `reply` when that is set (new, malloc: the thread frees it).
// It also checks that each payload comes in a block that is zero beyond
// it, up to the block's capacity: 1025 bytes, grown by the 2 * cap - 1 rule
// to hold the largest payload so far. One recorder per server endpoint.
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> seen;
    std::string reply;
    std::atomic<pid_t> thread_id{0};
    sigset_t thread_mask{};  // blocked on the callback's thread
    int capacity = kChunk + 1;
    bool blocks_zero_beyond = true;
    std::vector<std::string> payloads();
    bool blocked_on_its_thread(int sig);
    void set_reply(const std::string& bytes);
    static IpcData* callback(const IpcData* payload, void* self);
};

// A client endpoint destroyed with the test.
struct Client {
    explicit Client(key_t key, int has_reply = 1);
    ~Client();
    IpcClient* handle = nullptr;
};

// One exchange through the params variant, the reply freed here. A no-reply
// answer leaves len alone; its bytes are then the string "a".
struct Exchange {
    int rc;
    int len;
    std::string bytes;
};
Exchange exchange(IpcClient* client, std::string request, int len_before = 77);

// A server endpoint destroyed with the test; a failed create fails the test.
struct Server {
    explicit Server(key_t key, int has_reply = 1, Recorder* recorder = nullptr);
    ~Server();
    IpcServer* handle = nullptr;
};

}  // namespace transport_test

#endif
