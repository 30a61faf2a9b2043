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

#include "test_support.h"
#include "vetu_ipc.h"

namespace {

const size_t kChunk = 1024;
using std::chrono::milliseconds;
using std::chrono::seconds;

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

// The numbers of the intact payloads the peer got, in order; -1 for a
// damaged one.
std::vector<long> numbers_received(const hac_test::PeerProcess& peer) {
    std::vector<long> out;
    for (const Json::Value& line : peer.reports())
        if (line["m"] == "payload") out.push_back(line["seq"].asInt64());
    return out;
}

// The receiving process is stopped until its queue is full; sends then fail
// in bounded time. After SIGCONT every payload whose send returned 0 arrives
// intact, those sent afterwards too. Four fragments a payload: the queue
// fills in the middle of a payload, whose remaining fragments, its last one
// included, are given up.
TEST(FullQueue, ReceiverStoppedSendsFailInBoundedTimeAndNothingAcceptedIsLost) {
    const size_t payload_len = 4000;
    const key_t key = hac_test::unique_queue_key();
    hac_test::QueueCleaner cleaner({key, key + 1});
    hac_test::PeerProcess sink({"transport", std::to_string(key)});
    ASSERT_TRUE(sink.ready());
    IpcClient* client = nullptr;
    ASSERT_EQ(vetu_ipc_client_create(key, hac_test::kPeerMtype, 0, kChunk, &client), 0);
    sink.signal(SIGSTOP);
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
    sink.signal(SIGCONT);
    for (int i = 0; i < 5; ++i) {
        std::string text = hac_test::numbered_payload(++seq, payload_len);
        IpcData payload = view(text);
        ASSERT_EQ(vetu_ipc_client_send(client, &payload), 0);
        accepted.push_back(seq);
    }
    EXPECT_TRUE(hac_test::wait_until([&] { return numbers_received(sink).size() >= accepted.size(); }, seconds(5)));
    EXPECT_EQ(numbers_received(sink), accepted) << "accepted payloads lost or reordered, or damaged (-1)";
    vetu_ipc_client_destroy(client);
}

}  // namespace
