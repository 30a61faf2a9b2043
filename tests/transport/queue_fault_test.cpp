// Transport under queue faults: a queue removed under a waiting exchange or
// a running send, and a full queue whose receiver, the peer process, is
// stopped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/msg.h>

#include <future>

#include "transport_support.h"

using namespace transport_test;
using std::chrono::seconds;

namespace {

// The status of a call run meanwhile on a thread of its own, or 1 when it
// has not returned in time.
int status_of(std::future<int>& call, seconds timeout) {
    return call.wait_for(timeout) == std::future_status::ready ? call.get() : 1;
}

}  // namespace

// An exchange waits for its answer when its reply queue goes: it fails.
// The request queue takes two fragments; a send of sixteen waits in its
// resends when that queue goes: it stops at once, with the status of a
// queue that does not exist. Once the queue is there again, the next send
// opens it.
TEST(QueueRemoved, UnderAWaitingExchangeOrARunningSendTheCallFailsAndTheNextSendReopens) {
    QueuePair q;
    Client client(q.key);
    char question[] = "question";
    IpcData request = {8, question}, reply = {0, question};  // a lost answer leaves no data
    auto exchange =
        std::async(std::launch::async, vetu_ipc_client_send_sync_with_params, client.handle, &request, &reply);
    ASSERT_TRUE(wait_until([&] { return queued(q.request) == 1; }));
    ASSERT_EQ(msgctl(q.reply, IPC_RMID, nullptr), 0);
    EXPECT_EQ(status_of(exchange, seconds(3)), -1);
    EXPECT_EQ(reply.data, nullptr);

    msqid_ds ds;
    ASSERT_EQ(msgctl(q.request, IPC_STAT, &ds), 0);
    ds.msg_qbytes = 2 * IPC_FRAGMENT_MSGSZ(kChunk);
    ASSERT_EQ(msgctl(q.request, IPC_SET, &ds), 0);
    ASSERT_EQ(take_all(q.request, kMtype).size(), 1u);
    std::string text = numbered_payload(1, IPC_MAX_PAYLOAD), small = "after";
    IpcData payload = as_payload(text), next = as_payload(small);
    auto send = std::async(std::launch::async, vetu_ipc_client_send, client.handle, &payload);
    ASSERT_TRUE(wait_until([&] { return queued(q.request) == 2; }));
    ASSERT_EQ(msgctl(q.request, IPC_RMID, nullptr), 0);
    EXPECT_EQ(status_of(send, seconds(2)), -3);
    const int again = msgget(q.key, IPC_CREAT | 0600);
    EXPECT_EQ(vetu_ipc_client_send(client.handle, &next), 0);
    EXPECT_EQ(queued(again), 1u);
}

// The receiving process is stopped until its queue is full; sends then fail
// in bounded time. After SIGCONT every payload whose send returned 0 arrives
// intact, those sent afterwards too. Four fragments a payload: the queue
// fills in the middle of a payload, whose remaining fragments, its last one
// included, are given up.
TEST(FullQueue, ReceiverStoppedSendsFailInBoundedTimeAndNothingAcceptedIsLost) {
    QueuePair q;
    PeerProcess sink({"transport", std::to_string(q.key)});
    ASSERT_TRUE(sink.ready());
    Client client(q.key, 0);
    sink.signal(SIGSTOP);
    std::vector<long> accepted;
    long seq = 0;
    const auto send_next = [&] {
        std::string text = numbered_payload(++seq, 4000);
        IpcData payload = as_payload(text);
        auto send = std::async(std::launch::async, vetu_ipc_client_send, client.handle, &payload);
        return status_of(send, seconds(10));
    };
    for (int failures = 0; failures < 2;) {
        const int rc = send_next();
        ASSERT_TRUE(rc == 0 || rc == -1) << "send of " << seq << ": " << rc << " (1: did not return)";
        if (rc == 0) accepted.push_back(seq);
        failures += rc != 0;
        ASSERT_LT(seq, 100) << "the queue never filled";
    }
    sink.signal(SIGCONT);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(send_next(), 0);
        accepted.push_back(seq);
    }
    const auto received = [&] {
        std::vector<long> numbers;  // -1 for a damaged payload
        for (const Json::Value& line : sink.reports())
            if (line["m"] == "payload") numbers.push_back(line["seq"].asInt64());
        return numbers;
    };
    EXPECT_TRUE(wait_until([&] { return received().size() >= accepted.size(); }, seconds(5)));
    EXPECT_EQ(received(), accepted) << "accepted payloads lost or reordered, or damaged (-1)";
}
