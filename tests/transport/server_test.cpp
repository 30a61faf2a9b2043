// Server endpoint and its receive thread on real queues.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "transport_support.h"

using namespace transport_test;
using hac_test::wait_until;
using std::chrono::milliseconds;

namespace {

void send_one_way(key_t key, std::string text) {
    IpcClient* client = nullptr;
    vetu_ipc_client_create(key, kMtype, 0, kChunk, &client);
    IpcData payload = as_payload(text);
    EXPECT_EQ(vetu_ipc_client_send(client, &payload), 0);
    vetu_ipc_client_destroy(client);
}

// The kind of the answer and its bytes.
std::pair<int, std::string> ask(int request_queue, int reply_queue, std::string text) {
    IpcData payload = as_payload(text);
    ipc_snd_internal(request_queue, kMtype, kChunk, &payload, IPC_KIND_REQUEST);
    const Received r = receive(reply_queue, kMtype);
    return {r.rc == 0 ? r.kind : -1, r.bytes};
}

// A callback that holds the endpoint until the test lets it go.
struct Gate {
    std::atomic<bool> entered{false};
    std::atomic<bool> released{false};
    std::atomic<bool> finished{false};
    static IpcData* callback(const IpcData*, void* self) {
        Gate* g = static_cast<Gate*>(self);
        g->entered = true;
        wait_until([g] { return g->released.load(); }, milliseconds(20000));
        g->finished = true;
        return nullptr;
    }
};

template <typename T>
bool ready(std::future<T>& f, milliseconds within) {
    return f.wait_for(within) == std::future_status::ready;
}

}  // namespace

TEST(IpcServer, DispatchesEachKindToItsPlace) {
    QueuePair q;
    Recorder recorder;
    Server server(q.key, 1, &recorder);
    ASSERT_EQ(server.rc, 0);
    put_fragment(q.request, kMtype, {IPC_KIND_REPLY, 1, 1, 1}, "r");
    put_fragment(q.request, kMtype, {IPC_KIND_NO_REPLY, 2, 1, 2}, "a");
    put_fragment(q.request, kMtype, {IPC_KIND_STOP, 3, 1, 3}, "xyz");  // a stop order is empty
    put_fragment(q.request, kMtype, {9, 1, 1, 1}, "?");
    send_one_way(q.key, "hello");
    EXPECT_EQ(ask(q.request, q.reply, "question"), std::make_pair(int(IPC_KIND_REPLY), std::string("question")));
    EXPECT_EQ(recorder.count(), 2u);
    EXPECT_EQ(recorder.at(0), "hello");

    vetu_ipc_server_unregister_callback(server.handle);
    EXPECT_EQ(ask(q.request, q.reply, "nobody"), std::make_pair(int(IPC_KIND_NO_REPLY), std::string("a", 2)));
    EXPECT_EQ(recorder.count(), 2u);
}

namespace {

// Records, for each payload, whether its block is zero from the payload's
// end to the end of the block, whose capacity follows from the largest
// payload so far (see FragmentTransfer.ReceiveJoinsGrowsAndEndsWithNul).
struct BlockWatch {
    std::mutex mutex;
    std::vector<std::pair<std::string, bool>> seen;
    int capacity = 1025;
    static IpcData* callback(const IpcData* payload, void* self) {
        BlockWatch* w = static_cast<BlockWatch*>(self);
        std::lock_guard<std::mutex> lock(w->mutex);
        while (w->capacity < payload->len + 1) w->capacity = 2 * w->capacity - 1;
        const char* from = payload->data + payload->len;
        const char* end = payload->data + w->capacity;
        const bool zero = std::all_of(from, end, [](char c) { return c == 0; });
        w->seen.emplace_back(std::string(payload->data, static_cast<size_t>(payload->len)), zero);
        return nullptr;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size();
    }
};

}  // namespace

TEST(IpcServer, EveryPayloadComesInABlockThatIsZeroBeyondIt) {
    QueuePair q;
    BlockWatch watch;
    Server server(q.key, 0);
    ASSERT_EQ(server.rc, 0);
    vetu_ipc_server_register_callback(server.handle, BlockWatch::callback, &watch);
    // The growth of a block is zeroed too: memory that realloc adds may
    // hold anything (AddressSanitizer fills it).
    send_one_way(q.key, std::string(3000, 'w'));  // grows the block to 4097 bytes
    send_one_way(q.key, "ab");
    send_one_way(q.key, std::string(IPC_MAX_PAYLOAD, 'x'));  // and to its largest
    // A payload cut short by the next one leaves its bytes behind the next
    // one's, which finds them cleared all the same.
    put_payload(q.request, kMtype, IPC_KIND_MESSAGE, std::string(3000, 'y'), 11, 1, 2);
    send_one_way(q.key, "cd");
    send_one_way(q.key, "ef");
    ASSERT_TRUE(wait_until([&] { return watch.count() == 5; }));
    std::lock_guard<std::mutex> lock(watch.mutex);
    using Seen = std::pair<std::string, bool>;
    EXPECT_EQ(watch.seen[0], Seen(std::string(3000, 'w'), true));
    EXPECT_EQ(watch.seen[1], Seen("ab", true));
    EXPECT_EQ(watch.seen[2], Seen(std::string(IPC_MAX_PAYLOAD, 'x'), true));
    EXPECT_EQ(watch.seen[3], Seen("cd", true));
    EXPECT_EQ(watch.seen[4], Seen("ef", true));
}

// A foreign sender's fragment shorter than chunk_size + 32 bytes: the words
// it does not carry read as zeros, not as what the thread's buffer held
// from the fragment before. This request carries kind, total_len, seq and
// last only; it cannot be joined, and its no-reply answer names token 0.
TEST(IpcServer, AShortFragmentReadsAsZerosBeyondWhatItCarries) {
    QueuePair q;
    Recorder recorder;
    Server server(q.key, 1, &recorder);
    ASSERT_EQ(server.rc, 0);
    put_payload(q.request, kMtype, IPC_KIND_REQUEST, "hello", 77);
    struct {
        long mtype;
        int32_t words[4];
    } shortest = {kMtype, {IPC_KIND_REQUEST, 0, 1, 1}};
    ASSERT_EQ(msgsnd(q.request, &shortest, sizeof shortest.words, IPC_NOWAIT), 0);
    const auto first = take_payload(q.reply, kMtype);
    const auto second = take_payload(q.reply, kMtype);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0]->kind, IPC_KIND_REPLY);
    EXPECT_EQ(first[0]->token, 77);
    EXPECT_EQ(second[0]->kind, IPC_KIND_NO_REPLY);
    EXPECT_EQ(second[0]->token, 0);
}

TEST(IpcServer, EndpointWithoutReplyQueueDropsRequests) {
    QueuePair q;
    Recorder recorder;
    Server server(q.key, 0, &recorder);
    put_fragment(q.request, kMtype, {IPC_KIND_REQUEST, 1, 1, 1}, "q");
    send_one_way(q.key, "m");
    ASSERT_TRUE(wait_until([&] { return recorder.count() == 1; }));
    EXPECT_EQ(recorder.at(0), "m");
    EXPECT_EQ(queued(q.reply), 0u);
}

TEST(IpcServer, OneWayAnswersAreFreed) {
    QueuePair q;
    Recorder recorder;  // answers one-way payloads too
    {
        Server server(q.key, 0, &recorder);
        for (int i = 0; i < 3; ++i) send_one_way(q.key, "note");
        ASSERT_TRUE(wait_until([&] { return recorder.count() == 3; }));
    }
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

TEST(IpcServer, AnswersUpToTheLimitAndNoReplyBeyond) {
    QueuePair q;
    Recorder recorder;
    recorder.reply = pattern(16384);
    Server server(q.key, 1, &recorder);
    const auto largest = ask(q.request, q.reply, "big");
    EXPECT_EQ(largest.first, IPC_KIND_REPLY);
    EXPECT_EQ(largest.second, recorder.reply);
    {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        recorder.reply = pattern(16385);
    }
    EXPECT_EQ(ask(q.request, q.reply, "bigger"), std::make_pair(int(IPC_KIND_NO_REPLY), std::string("a", 2)));
    EXPECT_EQ(queued(q.reply), 0u);
}

TEST(IpcServer, ExitStopsTheThreadAndDestroyLeavesNoStopOrder) {
    QueuePair q;
    Recorder recorder;
    auto server = std::make_unique<Server>(q.key, 1, &recorder);
    send_one_way(q.key, "exit now");
    ASSERT_TRUE(wait_until([&] { return recorder.count() == 1; }));
    ASSERT_TRUE(wait_until([&] { return !task_exists(recorder.thread_id); }));
    send_one_way(q.key, "later");
    server.reset();
    EXPECT_EQ(queued(q.request), 1u);
    // The queue and what waits in it serve the next endpoint on the key;
    // "later" may come before its callback is registered, "again" does not.
    Server next(q.key, 1, &recorder);
    ASSERT_TRUE(wait_until([&] { return queued(q.request) == 0; }));
    send_one_way(q.key, "again");
    ASSERT_TRUE(wait_until([&] { return recorder.count() >= 2 && recorder.at(recorder.count() - 1) == "again"; }));
}

TEST(IpcServer, StaleStopOrderDoesNotStopTheNextThread) {
    QueuePair q;
    char empty[] = "";
    IpcData stop = {0, empty};
    ipc_snd_internal(q.request, kMtype, kChunk, &stop, IPC_KIND_STOP);  // left by an endpoint before
    Recorder recorder;
    Server server(q.key, 1, &recorder);
    send_one_way(q.key, "still here");
    ASSERT_TRUE(wait_until([&] { return recorder.count() == 1; }));
}

TEST(IpcServer, DestroyWakesABlockedReceive) {
    QueuePair q;
    Recorder recorder;
    auto server = std::make_unique<Server>(q.key, 1, &recorder);
    send_one_way(q.key, "wake");
    ASSERT_TRUE(wait_until([&] { return recorder.count() == 1 && task_sleeps(recorder.thread_id); }));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(vetu_ipc_server_destroy(server->handle), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    server->handle = nullptr;
    RecordProperty("destroy_us", static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
    EXPECT_TRUE(wait_until([&] { return !task_exists(recorder.thread_id); }));  // detached: it ends just after
    EXPECT_EQ(queued(q.request), 0u);
}

TEST(IpcServer, SamePairAgainDoesNotWaitForARunningCallback) {
    QueuePair q;
    Gate gate;
    Server server(q.key);
    vetu_ipc_server_register_callback(server.handle, Gate::callback, &gate);
    send_one_way(q.key, "hold");
    ASSERT_TRUE(wait_until([&] { return gate.entered.load(); }));
    auto same = std::async(std::launch::async, [&] { return vetu_ipc_server_register_callback(server.handle, Gate::callback, &gate); });
    EXPECT_TRUE(ready(same, milliseconds(5000)));
    auto other = std::async(std::launch::async, [&] { return vetu_ipc_server_register_callback(server.handle, Gate::callback, nullptr); });
    EXPECT_FALSE(ready(other, milliseconds(200)));  // waits for the callback in hand
    gate.released = true;
    EXPECT_EQ(other.get(), 0);
    EXPECT_EQ(same.get(), 0);
}

TEST(IpcServer, DestroyNeverCancelsInsideACallback) {
    QueuePair q;
    Gate gate;
    auto server = std::make_unique<Server>(q.key);
    vetu_ipc_server_register_callback(server->handle, Gate::callback, &gate);
    send_one_way(q.key, "hold");
    ASSERT_TRUE(wait_until([&] { return gate.entered.load(); }));
    auto destroyed = std::async(std::launch::async, [&] { server.reset(); });
    EXPECT_FALSE(ready(destroyed, milliseconds(1500)));  // past the one second of grace
    gate.released = true;
    EXPECT_TRUE(ready(destroyed, milliseconds(5000)));
    EXPECT_TRUE(gate.finished);
    EXPECT_EQ(queued(q.request), 0u);  // the stop order was taken, not left behind
}

// Another reader of the request queue (a second browser, a purge) takes the
// stop order while the thread is busy: destroy still ends, by cancelling
// the thread once it waits again.
TEST(IpcServer, DestroyEndsWhenAnotherReaderTookItsStopOrder) {
    QueuePair q;
    Gate gate;
    auto server = std::make_unique<Server>(q.key);
    vetu_ipc_server_register_callback(server->handle, Gate::callback, &gate);
    send_one_way(q.key, "hold");
    ASSERT_TRUE(wait_until([&] { return gate.entered.load(); }));
    auto destroyed = std::async(std::launch::async, [&] { server.reset(); });
    ASSERT_TRUE(wait_until([&] { return queued(q.request) == 1; }));
    ASSERT_EQ(take_all(q.request, kMtype).size(), 1u);  // the stop order, taken by someone else
    gate.released = true;
    const bool ended = ready(destroyed, milliseconds(10000));
    EXPECT_TRUE(ended) << "destroy waits for a stop order that never comes";
    if (!ended) {
        std::string empty;
        IpcData stop = as_payload(empty);
        ipc_snd_internal(q.request, kMtype, kChunk, &stop, IPC_KIND_STOP);
    }
}

// A callback that throws (a host's C++ callback) answers nothing: the
// request gets the no-reply answer and the thread serves the next one.
TEST(IpcServer, ACallbackThatThrowsAnswersNothingAndTheThreadGoesOn) {
    QueuePair q;
    Recorder recorder;
    Server server(q.key, 1, &recorder);
    vetu_ipc_server_register_callback(
        server.handle, [](const IpcData*, void*) -> IpcData* { throw std::runtime_error("host"); }, nullptr);
    EXPECT_EQ(ask(q.request, q.reply, "first"), std::make_pair(int(IPC_KIND_NO_REPLY), std::string("a", 2)));
    vetu_ipc_server_register_callback(server.handle, Recorder::callback, &recorder);
    EXPECT_EQ(ask(q.request, q.reply, "second"), std::make_pair(int(IPC_KIND_REPLY), std::string("second")));
}

// A callback that destroys its own endpoint (a half finalised from inside a
// callback): destroy returns at once, and the thread ends after the
// callback and frees what it holds.
TEST(IpcServer, DestroyFromItsOwnCallbackDoesNotWaitForItself) {
    QueuePair q;
    struct SelfDestroy {
        IpcServer* server = nullptr;
        std::atomic<int> rc{1};
        static IpcData* callback(const IpcData*, void* self) {
            SelfDestroy* s = static_cast<SelfDestroy*>(self);
            vetu_ipc_server_unregister_callback(s->server);
            s->rc = vetu_ipc_server_destroy(s->server);
            return nullptr;
        }
    } self;
    ASSERT_EQ(vetu_ipc_server_create(q.key, kMtype, 1, kChunk, &self.server), 0);
    vetu_ipc_server_register_callback(self.server, SelfDestroy::callback, &self);
    send_one_way(q.key, "bye");
    EXPECT_TRUE(wait_until([&] { return self.rc == 0; }));
}

TEST(IpcServer, ThreadWithoutItsStopOrderIsCancelledInItsReceive) {
    QueuePair q;
    struct msqid_ds info;
    msgctl(q.request, IPC_STAT, &info);
    info.msg_qbytes = 64;  // no fragment fits: the stop order cannot be queued
    ASSERT_EQ(msgctl(q.request, IPC_SET, &info), 0);
    Recorder recorder;
    auto server = std::make_unique<Server>(q.key, 1, &recorder);
    hac_test::StdoutCapture capture;
    auto destroyed = std::async(std::launch::async, [&] { server.reset(); });
    EXPECT_TRUE(ready(destroyed, milliseconds(10000)));
    EXPECT_NE(capture.stop().find("###### msgsnd EAGAIN ######"), std::string::npos);
}

TEST(IpcServer, ReceiveThreadLeavesAsynchronousSignalsToTheHost) {
    QueuePair q;
    Recorder recorder;
    Server server(q.key, 1, &recorder);
    send_one_way(q.key, "who");
    ASSERT_TRUE(wait_until([&] { return recorder.count() == 1; }));
    const unsigned long long blocked = std::strtoull(task_status(recorder.thread_id, "SigBlk").c_str(), nullptr, 16);
    auto is_blocked = [&](int sig) { return (blocked >> (sig - 1)) & 1u; };
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGCHLD, SIGALRM, SIGPIPE}) EXPECT_TRUE(is_blocked(sig)) << sig;
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) EXPECT_FALSE(is_blocked(sig)) << sig;
}

// Queues removed under the running thread (an operator's purge) are
// created again and served, and a client endpoint that sent there before
// opens them anew: neither half stays deaf, and the thread does not spin on
// a receive that fails at once.
TEST(IpcServer, RemovedQueuesAreCreatedAgainAndServed) {
    QueuePair q;
    Recorder recorder;
    Server server(q.key, 1, &recorder);
    IpcClient* client = nullptr;
    ASSERT_EQ(vetu_ipc_client_create(q.key, kMtype, 1, kChunk, &client), 0);
    auto exchange = [&](std::string text) {
        IpcData request = as_payload(text), reply = {0, nullptr};
        const int rc = vetu_ipc_client_send_sync_with_params(client, &request, &reply);
        const std::string answer = rc == 0 ? std::string(reply.data, static_cast<size_t>(reply.len)) : "";
        free(reply.data);
        return std::to_string(rc) + " " + answer;
    };
    EXPECT_EQ(exchange("first"), "0 first");
    hac_test::remove_queue(q.key);
    hac_test::remove_queue(q.key + 1);
    ASSERT_TRUE(wait_until([&] { return hac_test::queue_exists(q.key); }));
    EXPECT_EQ(exchange("again"), "0 again");
    EXPECT_TRUE(wait_until([&] { return task_sleeps(recorder.thread_id); }));
    vetu_ipc_client_destroy(client);
}

TEST(IpcServer, BadArgumentsAreRefused) {
    QueuePair q;
    IpcServer* out = nullptr;
    EXPECT_EQ(vetu_ipc_server_create(q.key, kMtype, 1, kChunk, nullptr), -3);
    EXPECT_EQ(vetu_ipc_server_create(q.key, kMtype, 1, SIZE_MAX - 20, &out), -3);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(vetu_ipc_server_destroy(nullptr), -3);
    EXPECT_EQ(vetu_ipc_server_register_callback(nullptr, Recorder::callback, nullptr), -3);
    EXPECT_EQ(vetu_ipc_server_unregister_callback(nullptr), -3);
}
