// Transport under queue faults, on real queues of the test's own keys: a
// queue removed under a waiting receive or a running send, a full queue
// whose receiver is stopped, and leftovers of an earlier run in a queue.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fault_payload.h"
#include "fault_support.h"
#include "test_support.h"
#include "vetu_ipc.h"

namespace {

const size_t kChunk = 1024;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct Collected {
    std::mutex mutex;
    std::vector<std::string> payloads;
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return payloads.size();
    }
};

IpcData* collect(const IpcData* payload, void* user_data) {
    Collected* c = static_cast<Collected*>(user_data);
    std::lock_guard<std::mutex> lock(c->mutex);
    c->payloads.emplace_back(payload->data, static_cast<size_t>(payload->len));
    return nullptr;
}

IpcData view(std::string& s) { return IpcData{static_cast<int32_t>(s.size()), &s[0]}; }

TEST(QueueRemoved, WhileAnExchangeWaitsForItsAnswerTheCallFails) {
    const key_t key = hac_test::unique_queue_key();
    hac_test::QueueCleaner cleaner({key, key + 1});
    const int request_q = msgget(key, IPC_CREAT | 0600);
    const int reply_q = msgget(key + 1, IPC_CREAT | 0600);
    IpcClient* client = nullptr;
    ASSERT_EQ(vetu_ipc_client_create(key, 1, 1, kChunk, &client), 0);
    std::atomic<int> rc{1};
    IpcData reply = {0, nullptr};
    std::thread asker([&] {
        char text[] = "question";
        IpcData request = {8, text};
        rc = vetu_ipc_client_send_sync_with_params(client, &request, &reply);
    });
    ASSERT_TRUE(hac_test::wait_until([&] { return hac_test::queued(request_q) == 1; }));
    ASSERT_EQ(msgctl(reply_q, IPC_RMID, nullptr), 0);
    EXPECT_TRUE(hac_test::wait_until([&] { return rc != 1; }, seconds(3)));
    asker.join();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(reply.data, nullptr);
    vetu_ipc_client_destroy(client);
}

// The queue takes two fragments; the send of sixteen waits in its resends
// when the queue goes: it stops at once, with the status of a queue that
// does not exist. Once the queue is there again, the next send opens it.
TEST(QueueRemoved, InTheMiddleOfAMultiFragmentSendTheSendStopsAndTheNextReopens) {
    const key_t key = hac_test::unique_queue_key();
    hac_test::QueueCleaner cleaner({key, key + 1});
    const int q = msgget(key, IPC_CREAT | 0600);
    msqid_ds ds;
    ASSERT_EQ(msgctl(q, IPC_STAT, &ds), 0);
    ds.msg_qbytes = 2 * IPC_FRAGMENT_MSGSZ(kChunk);
    ASSERT_EQ(msgctl(q, IPC_SET, &ds), 0);
    IpcClient* client = nullptr;
    ASSERT_EQ(vetu_ipc_client_create(key, 1, 0, kChunk, &client), 0);
    std::string text = hac_test::numbered_payload(1, IPC_MAX_PAYLOAD);
    IpcData payload = view(text);
    std::atomic<int> rc{1};
    std::thread sender([&] { rc = vetu_ipc_client_send(client, &payload); });
    ASSERT_TRUE(hac_test::wait_until([&] { return hac_test::queued(q) == 2; }));
    ASSERT_EQ(msgctl(q, IPC_RMID, nullptr), 0);
    EXPECT_TRUE(hac_test::wait_until([&] { return rc != 1; }, seconds(2)));
    sender.join();
    EXPECT_EQ(rc, -3);
    const int again = msgget(key, IPC_CREAT | 0600);
    std::string small = "after";
    IpcData next = view(small);
    EXPECT_EQ(vetu_ipc_client_send(client, &next), 0);
    EXPECT_EQ(hac_test::queued(again), 1u);
    vetu_ipc_client_destroy(client);
}

// The sink process is stopped until its queue is full; sends then fail in
// bounded time. After SIGCONT every payload whose send returned 0 arrives
// intact, those sent afterwards too.
void run_full_queue_case(size_t payload_len) {
    SCOPED_TRACE("payloads of " + std::to_string(payload_len) + " bytes");
    const key_t key = hac_test::unique_queue_key();
    hac_test::QueueCleaner cleaner({key, key + 1});
    const std::string out = hac_test::temp_path("fault_sink");
    hac_test::Peer sink(FAULT_PEER_PATH, {"sink", std::to_string(key)}, out);
    ASSERT_TRUE(hac_test::peer_printed(out, "ready"));
    IpcClient* client = nullptr;
    ASSERT_EQ(vetu_ipc_client_create(key, 1, 0, kChunk, &client), 0);
    sink.kill_now(SIGSTOP);
    std::vector<long> accepted;
    int failures = 0;
    long seq = 0;
    while (failures < 2 && seq < 100) {
        std::string text = hac_test::numbered_payload(++seq, payload_len);
        IpcData payload = view(text);
        std::atomic<int> rc{1};
        std::thread sender([&] { rc = vetu_ipc_client_send(client, &payload); });
        const bool returned = hac_test::wait_until([&] { return rc != 1; }, seconds(10));
        sender.join();
        ASSERT_TRUE(returned) << "send of " << seq << " did not return";
        if (rc == 0) accepted.push_back(seq);
        else {
            EXPECT_EQ(rc, -1);
            ++failures;
        }
    }
    EXPECT_EQ(failures, 2) << "the queue never filled";
    sink.kill_now(SIGCONT);
    for (int i = 0; i < 5; ++i) {
        std::string text = hac_test::numbered_payload(++seq, payload_len);
        IpcData payload = view(text);
        ASSERT_EQ(vetu_ipc_client_send(client, &payload), 0);
        accepted.push_back(seq);
    }
    const bool all = hac_test::wait_until([&] { return hac_test::peer_numbers(out, "ok ").size() >= accepted.size(); },
                                          seconds(5));
    EXPECT_TRUE(all);
    EXPECT_EQ(hac_test::peer_numbers(out, "ok "), accepted) << "accepted payloads lost or reordered";
    EXPECT_TRUE(hac_test::peer_numbers(out, "bad").empty());
    vetu_ipc_client_destroy(client);
    unlink(out.c_str());
}

// Four fragments a payload: the queue fills in the middle of a payload,
// whose remaining fragments, its last one included, are given up.
TEST(FullQueue, ReceiverStoppedSendsFailInBoundedTimeAndNothingAcceptedIsLost) { run_full_queue_case(4000); }

// A server endpoint collecting what a client endpoint sends one-way on the
// same queue; both are destroyed with it.
struct OneWayPair {
    Collected got;
    IpcServer* server = nullptr;
    IpcClient* client = nullptr;
    bool open(key_t key) {
        return vetu_ipc_server_create(key, 1, 0, kChunk, &server) == 0 &&
               vetu_ipc_server_register_callback(server, collect, &got) == 0 &&
               vetu_ipc_client_create(key, 1, 0, kChunk, &client) == 0;
    }
    ~OneWayPair() {
        if (client != nullptr) vetu_ipc_client_destroy(client);
        if (server != nullptr) vetu_ipc_server_destroy(server);
    }
};

// What a process that died left in the queue before the server starts.
TEST(Leftovers, AStaleStopOrderDoesNotStopTheNextServer) {
    const key_t key = hac_test::unique_queue_key();
    hac_test::QueueCleaner cleaner({key, key + 1});
    const int q = msgget(key, IPC_CREAT | 0600);
    char empty[] = "";
    IpcData stop = {0, empty};
    ASSERT_EQ(ipc_snd_internal(q, 1, kChunk, &stop, IPC_KIND_STOP), 0);
    OneWayPair pair;
    ASSERT_TRUE(pair.open(key));
    Collected& got = pair.got;
    IpcClient* client = pair.client;
    char text[] = "after";
    IpcData payload = {5, text};
    ASSERT_EQ(vetu_ipc_client_send(client, &payload), 0);
    EXPECT_TRUE(hac_test::wait_until([&] { return got.count() == 1; }, seconds(2)))
        << "the stale stop order stopped the new receive thread";
}

TEST(Leftovers, AHalfSentPayloadDoesNotSwallowTheNextOne) {
    const key_t key = hac_test::unique_queue_key();
    hac_test::QueueCleaner cleaner({key, key + 1});
    const int q = msgget(key, IPC_CREAT | 0600);
    std::vector<char> buffer(IPC_FRAGMENT_BUFFER_SIZE(kChunk));
    IpcFragment* f = reinterpret_cast<IpcFragment*>(buffer.data());
    for (int seq = 1; seq <= 2; ++seq) {  // two fragments of three, the sender died
        memset(buffer.data(), 0, buffer.size());
        f->mtype = 1;
        f->kind = IPC_KIND_MESSAGE;
        f->total_len = 3000;
        f->seq = seq;
        f->last = 0;
        f->one = 1;
        f->chunk_len = static_cast<int32_t>(kChunk + 1);
        memset(f->data, 'h', kChunk + 1);
        ASSERT_EQ(msgsnd(q, f, IPC_FRAGMENT_MSGSZ(kChunk), IPC_NOWAIT), 0);
    }
    OneWayPair pair;
    ASSERT_TRUE(pair.open(key));
    Collected& got = pair.got;
    IpcClient* client = pair.client;
    for (long seq = 1; seq <= 2; ++seq) {
        std::string text = hac_test::numbered_payload(seq, 2000);
        IpcData payload = view(text);
        ASSERT_EQ(vetu_ipc_client_send(client, &payload), 0);
    }
    EXPECT_TRUE(hac_test::wait_until([&] { return got.count() == 2; }, seconds(2)))
        << "a payload sent after the leftover fragments was lost";
    {
        std::lock_guard<std::mutex> lock(got.mutex);
        for (size_t i = 0; i < got.payloads.size(); ++i)
            EXPECT_EQ(hac_test::check_numbered_payload(got.payloads[i]), static_cast<long>(i + 1));
    }
}

}  // namespace
