// Server endpoint and its receive thread on real queues.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/msg.h>

#include <future>
#include <memory>
#include <stdexcept>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "transport_support.h"

using namespace transport_test;
using std::chrono::milliseconds;

namespace {

void send_one_way(key_t key, std::string text) {
    Client client(key, 0);
    IpcData payload = as_payload(text);
    EXPECT_EQ(vetu_ipc_client_send(client.handle, &payload), 0);
}

// Bytes the heap holds in use, over every arena (the receive thread has
// one of its own). AddressSanitizer reports nothing here; its leak check
// stands in.
long heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>(info.uordblks + info.hblkhd);
}

using Answer = std::pair<int, std::string>;  // the kind of the answer and its bytes
const Answer kNoReply = {IPC_KIND_NO_REPLY, std::string("a", 2)};

Answer ask(const QueuePair& q, std::string text) {
    IpcData payload = as_payload(text);
    ipc_snd_internal(q.request, kMtype, kChunk, &payload, IPC_KIND_REQUEST);
    const Received r = receive(q.reply, kMtype);
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

// A server endpoint whose callback is held in a Gate.
std::unique_ptr<Server> held_server(const QueuePair& q, Gate* gate) {
    auto server = std::make_unique<Server>(q.key);
    vetu_ipc_server_register_callback(server->handle, Gate::callback, gate);
    send_one_way(q.key, "hold");
    EXPECT_TRUE(wait_until([&] { return gate->entered.load(); }));
    return server;
}

}  // namespace

TEST(IpcServer, DispatchesEachKindToItsPlaceAndAnswersEveryRequest) {
    QueuePair q;
    Recorder recorder;
    Server server(q.key, 1, &recorder);
    put_fragment(q.request, kMtype, {IPC_KIND_REPLY, 1, 1, 1}, "r");
    put_fragment(q.request, kMtype, {IPC_KIND_NO_REPLY, 2, 1, 2}, "a");
    put_fragment(q.request, kMtype, {IPC_KIND_STOP, 3, 1, 3}, "xyz");  // a stop order is empty
    put_fragment(q.request, kMtype, {9, 1, 1, 1}, "?");
    send_one_way(q.key, "hello");
    EXPECT_EQ(ask(q, "question"), Answer(IPC_KIND_REPLY, "question"));
    EXPECT_EQ(recorder.payloads(), (std::vector<std::string>{"hello", "question"}));
    // The host's asynchronous signals go to the host's threads; faults
    // raised by the receive thread itself stay deliverable.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGCHLD, SIGALRM, SIGPIPE})
        EXPECT_TRUE(recorder.blocked_on_its_thread(sig)) << sig;
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) EXPECT_FALSE(recorder.blocked_on_its_thread(sig)) << sig;

    recorder.set_reply(pattern(16384));
    EXPECT_EQ(ask(q, "largest"), Answer(IPC_KIND_REPLY, pattern(16384)));
    recorder.set_reply(pattern(16385));
    EXPECT_EQ(ask(q, "larger"), kNoReply);
    vetu_ipc_server_unregister_callback(server.handle);
    EXPECT_EQ(ask(q, "nobody"), kNoReply);
    EXPECT_EQ(recorder.payloads().size(), 4u);
    // A callback that throws (a host's C++ callback) answers nothing; the
    // thread serves the next request.
    vetu_ipc_server_register_callback(
        server.handle, [](const IpcData*, void*) -> IpcData* { throw std::runtime_error("host"); }, nullptr);
    EXPECT_EQ(ask(q, "first"), kNoReply);
    vetu_ipc_server_register_callback(server.handle, Recorder::callback, &recorder);
    recorder.set_reply("");
    EXPECT_EQ(ask(q, "second"), Answer(IPC_KIND_REPLY, "second"));

    // An answer names its request's token. A foreign sender's fragment
    // shorter than chunk_size + 32 bytes reads as zeros beyond what it
    // carries, not as what the thread's buffer held before: this request
    // carries kind, total_len, seq and last only, cannot be joined, and its
    // no-reply answer names token 0.
    put_payload(q.request, kMtype, IPC_KIND_REQUEST, "hello", 77);
    struct {
        long mtype;
        int32_t words[4];
    } shortest = {kMtype, {IPC_KIND_REQUEST, 0, 1, 1}};
    ASSERT_EQ(msgsnd(q.request, &shortest, sizeof shortest.words, IPC_NOWAIT), 0);
    const auto first = take_payload(q.reply, kMtype), second = take_payload(q.reply, kMtype);
    ASSERT_EQ(first.size() + second.size(), 2u);
    EXPECT_EQ(first[0]->kind, IPC_KIND_REPLY);
    EXPECT_EQ(first[0]->token, 77);
    EXPECT_EQ(second[0]->kind, IPC_KIND_NO_REPLY);
    EXPECT_EQ(second[0]->token, 0);
    EXPECT_EQ(queued(q.reply), 0u);
}

// Without a reply queue requests reach nobody; one-way payloads reach the
// callback, and what it answers to them is freed. Every payload comes in a
// block that is zero beyond it (Recorder), also where the block grew:
// memory that realloc adds may hold anything (AddressSanitizer fills it),
// and where a payload cut short by the next one left its bytes behind.
// Endpoints created and destroyed, and the answers a callback hands over
// for one-way payloads, are all freed: used over and over, the transport
// leaves the heap as it found it.
TEST(IpcEndpoints, OneWayPayloadsComeInCleanBlocksAndRepeatedUseLeavesTheHeapAsItFoundIt) {
    QueuePair q;
    Recorder recorder;
    recorder.set_reply(pattern(100000));
    const std::vector<std::string> texts = {std::string(3000, 'w'), "ab", std::string(IPC_MAX_PAYLOAD, 'x'), "cd",
                                            "ef"};
    {
        Server server(q.key, 0, &recorder);
        put_fragment(q.request, kMtype, {IPC_KIND_REQUEST, 1, 1, 1}, "q");
        for (size_t i = 0; i < texts.size(); ++i) {
            if (i == 3) put_payload(q.request, kMtype, IPC_KIND_MESSAGE, std::string(3000, 'y'), 11, 1, 2);
            send_one_way(q.key, texts[i]);
        }
        ASSERT_TRUE(wait_until([&] { return recorder.payloads().size() == texts.size(); }));
        EXPECT_EQ(recorder.payloads(), texts);
        EXPECT_TRUE(recorder.blocks_zero_beyond);
        // The thread's block has grown to its largest: the heap is as it stays.
        const long before = heap_in_use();
        for (int i = 0; i < 20000; ++i) {
            IpcClient* client = nullptr;
            ASSERT_EQ(vetu_ipc_client_create(q.key, kMtype, 1, kChunk, &client), 0);
            vetu_ipc_client_destroy(client);
        }
        for (int i = 0; i < 50; ++i) send_one_way(q.key, "m");
        ASSERT_TRUE(wait_until([&] { return recorder.payloads().size() == texts.size() + 50; }));
        // One answer may still be on its way to being freed.
        EXPECT_LT(heap_in_use() - before, 256 * 1024);
    }
    EXPECT_EQ(queued(q.reply), 0u);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

// A one-way "exit" ends the thread, and destroy then sends no stop order.
// The queue and what waits in it serve the next endpoint on the key, which a
// stop order left behind by another endpoint does not stop; its destroy
// wakes its thread blocked in the receive, and its stop order is taken.
TEST(IpcServer, ExitStopsTheThreadAndDestroyLeavesNoStopOrder) {
    QueuePair q;
    Recorder recorder, next_recorder;
    auto server = std::make_unique<Server>(q.key, 1, &recorder);
    send_one_way(q.key, "exit now");
    ASSERT_TRUE(wait_until([&] { return recorder.payloads().size() == 1; }));
    ASSERT_TRUE(wait_until([&] { return !task_exists(recorder.thread_id); }));
    send_one_way(q.key, "later");
    server.reset();
    EXPECT_EQ(queued(q.request), 1u);
    put_fragment(q.request, kMtype, {IPC_KIND_STOP, 0, 1, 0}, "");
    server = std::make_unique<Server>(q.key, 1, &next_recorder);
    ASSERT_TRUE(wait_until([&] { return queued(q.request) == 0; }));
    // "later" may come before the callback is registered, "again" does not.
    send_one_way(q.key, "again");
    ASSERT_TRUE(wait_until([&] {
        const std::vector<std::string> seen = next_recorder.payloads();
        return !seen.empty() && seen.back() == "again" && task_sleeps(next_recorder.thread_id);
    }));
    server.reset();
    EXPECT_TRUE(wait_until([&] { return !task_exists(next_recorder.thread_id); }));  // detached: it ends just after
    EXPECT_EQ(queued(q.request), 0u);
}

TEST(IpcServer, SamePairAgainDoesNotWaitForARunningCallback) {
    QueuePair q;
    Gate gate;
    auto server = held_server(q, &gate);
    auto same = std::async(std::launch::async,
                           [&] { return vetu_ipc_server_register_callback(server->handle, Gate::callback, &gate); });
    EXPECT_EQ(same.wait_for(milliseconds(5000)), std::future_status::ready);
    auto other = std::async(std::launch::async,
                            [&] { return vetu_ipc_server_register_callback(server->handle, Gate::callback, nullptr); });
    EXPECT_EQ(other.wait_for(milliseconds(200)), std::future_status::timeout);  // waits for the callback in hand
    gate.released = true;
    EXPECT_EQ(other.get(), 0);
    EXPECT_EQ(same.get(), 0);
}

TEST(IpcServer, DestroyNeverCancelsInsideACallback) {
    QueuePair q;
    Gate gate;
    auto server = held_server(q, &gate);
    auto destroyed = std::async(std::launch::async, [&] { server.reset(); });
    EXPECT_EQ(destroyed.wait_for(milliseconds(1500)), std::future_status::timeout);  // past the one second of grace
    gate.released = true;
    EXPECT_EQ(destroyed.wait_for(milliseconds(5000)), std::future_status::ready);
    EXPECT_TRUE(gate.finished);
    EXPECT_EQ(queued(q.request), 0u);  // the stop order was taken, not left behind
}

// Another reader of the request queue (a second browser, a purge) takes the
// stop order while the thread is busy: destroy still ends, by cancelling
// the thread once it waits again.
TEST(IpcServer, DestroyEndsWhenAnotherReaderTookItsStopOrder) {
    QueuePair q;
    Gate gate;
    auto server = held_server(q, &gate);
    auto destroyed = std::async(std::launch::async, [&] { server.reset(); });
    ASSERT_TRUE(wait_until([&] { return queued(q.request) == 1; }));
    ASSERT_EQ(take_all(q.request, kMtype).size(), 1u);  // the stop order, taken by someone else
    gate.released = true;
    EXPECT_EQ(destroyed.wait_for(milliseconds(10000)), std::future_status::ready)
        << "destroy waits for a stop order that never comes";
}

// Queues removed under the running thread (an operator's purge) are
// created again and served, and a client endpoint that sent there before
// opens them anew: neither half stays deaf, and the thread does not spin on
// a receive that fails at once.
TEST(IpcServer, RemovedQueuesAreCreatedAgainAndServed) {
    QueuePair q;
    Recorder recorder;
    Server server(q.key, 1, &recorder);
    Client client(q.key);
    EXPECT_EQ(exchange(client.handle, "first").bytes, "first");
    remove_queue(q.key);
    remove_queue(q.key + 1);
    ASSERT_TRUE(wait_until([&] { return queue_exists(q.key); }));
    EXPECT_EQ(exchange(client.handle, "again").bytes, "again");
    EXPECT_TRUE(wait_until([&] { return task_sleeps(recorder.thread_id); }));
}
