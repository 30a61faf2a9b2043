// Fragment format and transfer, checked against real kernel queues.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "transport_support.h"

using namespace transport_test;
using hac_test::wait_until;

TEST(FragmentLayout, HeaderWordsFollowMtypeOnEitherAbi) {
    // With a 4-byte long these are the wire offsets 4..28 and 32.
    const size_t l = sizeof(long);
    EXPECT_EQ(offsetof(IpcFragment, kind), l + 0);
    EXPECT_EQ(offsetof(IpcFragment, total_len), l + 4);
    EXPECT_EQ(offsetof(IpcFragment, seq), l + 8);
    EXPECT_EQ(offsetof(IpcFragment, last), l + 12);
    EXPECT_EQ(offsetof(IpcFragment, one), l + 16);
    EXPECT_EQ(offsetof(IpcFragment, token), l + 20);
    EXPECT_EQ(offsetof(IpcFragment, chunk_len), l + 24);
    EXPECT_EQ(offsetof(IpcFragment, data), l + 28);
    EXPECT_EQ(IPC_FRAGMENT_MSGSZ(1024), 1056u);
    EXPECT_EQ(IPC_FRAGMENT_BUFFER_SIZE(1024), l + 1056);
}

TEST(FragmentTransfer, RealFragmentsCarryEveryHeaderWord) {
    QueuePair q;
    std::string text = pattern(2100);
    IpcData payload = as_payload(text);
    ASSERT_EQ(ipc_snd_internal(q.request, kMtype, kChunk, &payload, IPC_KIND_REQUEST), 0);
    const auto fragments = take_all(q.request, kMtype);
    ASSERT_EQ(fragments.size(), 3u);
    const int lens[] = {1025, 1025, 50};
    for (int i = 0; i < 3; ++i) {
        const RawFragment& f = fragments[i];
        EXPECT_EQ(f.size, 1056);  // chunk_size + 32 whatever chunk_len is
        EXPECT_EQ(f->mtype, kMtype);
        EXPECT_EQ(f->kind, IPC_KIND_REQUEST);
        EXPECT_EQ(f->total_len, 2100);
        EXPECT_EQ(f->seq, i + 1);
        EXPECT_EQ(f->last, i == 2 ? 1 : 0);
        EXPECT_EQ(f->one, 1);
        EXPECT_EQ(f->token, 0);
        EXPECT_EQ(f->chunk_len, lens[i]);
        EXPECT_EQ(std::string(f->data, lens[i]), text.substr(1025 * i, lens[i]));
        EXPECT_EQ(std::string(f->data + lens[i], kChunk + 4 - lens[i]), std::string(kChunk + 4 - lens[i], '\0'));
    }
}

namespace {

// One fragment of a payload that fits in it, as it must come off the
// queue: every header word, the bytes, and zeros to the end of the area.
void expect_whole_fragment(const RawFragment& f, int kind, int32_t token, const std::string& bytes) {
    const size_t n = bytes.size();
    EXPECT_EQ(f.size, 1056);
    EXPECT_EQ(f->mtype, kMtype);
    EXPECT_EQ(f->kind, kind);
    EXPECT_EQ(f->total_len, static_cast<int>(n));
    EXPECT_EQ(f->seq, 1);
    EXPECT_EQ(f->last, 1);
    EXPECT_EQ(f->one, 1);
    EXPECT_EQ(f->token, token);
    EXPECT_EQ(f->chunk_len, static_cast<int>(n));
    EXPECT_EQ(std::string(f->data, n), bytes);
    EXPECT_EQ(std::string(f->data + n, kChunk + 4 - n), std::string(kChunk + 4 - n, '\0'));
}

}  // namespace

// Endpoints send through buffers of their own, which hold what went through
// them before: a received fragment whose area is full to its last byte, a
// longer answer. A short payload after it carries the same bytes as through
// a fresh buffer.
TEST(FragmentTransfer, EndpointBuffersSendNothingOfWhatTheyHeldBefore) {
    QueuePair q;
    IpcClient* client = nullptr;
    ASSERT_EQ(vetu_ipc_client_create(q.key, kMtype, 1, kChunk, &client), 0);
    std::thread peer([&] {
        take_payload(q.request, kMtype);
        // A foreign answer with no zero byte anywhere in its area.
        put_fragment(q.reply, kMtype, {IPC_KIND_REPLY, 1025, 1, 1025}, std::string(kChunk + 4, '\x7f'));
    });
    std::string question = "question";
    IpcData request = as_payload(question);
    IpcData reply = {0, nullptr};
    EXPECT_EQ(vetu_ipc_client_send_sync_with_params(client, &request, &reply), 0);
    peer.join();
    EXPECT_EQ(std::string(reply.data, static_cast<size_t>(reply.len)), std::string(1025, '\x7f'));
    free(reply.data);
    std::string note = "ab";
    IpcData message = as_payload(note);
    ASSERT_EQ(vetu_ipc_client_send(client, &message), 0);
    vetu_ipc_client_destroy(client);
    auto sent = take_all(q.request, kMtype);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0]->token, 0);
    expect_whole_fragment(sent[0], IPC_KIND_MESSAGE, sent[0]->token, "ab");

    // The server endpoint's answer buffer, after an answer of a full area.
    Recorder echo;
    Server server(q.key, 1, &echo);
    ASSERT_EQ(server.rc, 0);
    for (const std::string& text : {std::string(1025, 'x'), std::string("cd")}) {
        put_payload(q.request, kMtype, IPC_KIND_REQUEST, text, 42);
        const auto answer = take_payload(q.reply, kMtype);
        ASSERT_EQ(answer.size(), 1u);
        if (text == "cd") expect_whole_fragment(answer[0], IPC_KIND_REPLY, 42, "cd");
    }
}

TEST(FragmentTransfer, FragmentCountsAtTheEdges) {
    QueuePair q;
    const std::vector<std::pair<size_t, std::vector<int>>> cases = {
        {0, {0}}, {1024, {1024}}, {1025, {1025}}, {1026, {1025, 1}}, {2050, {1025, 1025}},
        {16384, {1025, 1025, 1025, 1025, 1025, 1025, 1025, 1025, 1025, 1025, 1025, 1025, 1025, 1025, 1025, 1009}}};
    for (const auto& c : cases) {
        std::string text = pattern(c.first);
        IpcData payload = as_payload(text);
        int rc = -9;
        // 16 fragments are more than the queue holds at once: read meanwhile
        std::thread sender([&] { rc = ipc_snd_internal(q.request, kMtype, kChunk, &payload, IPC_KIND_MESSAGE); });
        std::vector<int> lens;
        for (const RawFragment& f : take_payload(q.request, kMtype)) lens.push_back(f->chunk_len);
        sender.join();
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(lens, c.second) << c.first << " bytes";
    }
}

TEST(FragmentTransfer, ReceiveJoinsGrowsAndEndsWithNul) {
    QueuePair q;
    std::string text = pattern(16384);  // holds NUL bytes
    IpcData payload = as_payload(text);
    put_fragment(q.request, kMtype + 1, {IPC_KIND_MESSAGE, 1, 1, 1}, "x");  // another type: left alone
    int rc = -9;
    std::thread sender([&] { rc = ipc_snd_internal(q.request, kMtype, kChunk, &payload, IPC_KIND_MESSAGE); });
    Received r = receive(q.request, kMtype);
    sender.join();
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.capacity, 16385);
    EXPECT_EQ(r.bytes, text);
    EXPECT_TRUE(r.nul_after);
    EXPECT_EQ(queued(q.request), 1u);

    std::string empty;
    IpcData none = as_payload(empty);
    ASSERT_EQ(ipc_snd_internal(q.request, kMtype, kChunk, &none, IPC_KIND_STOP), 0);
    r = receive(q.request, kMtype);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.kind, IPC_KIND_STOP);
    EXPECT_EQ(r.bytes, "");
    EXPECT_TRUE(r.nul_after);
    EXPECT_EQ(r.capacity, 1025);
}

TEST(FragmentTransfer, FragmentGivenUpOnAFullQueueFailsTheSend) {
    QueuePair q;
    struct msqid_ds info;
    ASSERT_EQ(msgctl(q.request, IPC_STAT, &info), 0);
    info.msg_qbytes = 2 * IPC_FRAGMENT_MSGSZ(kChunk);  // room for two fragments
    ASSERT_EQ(msgctl(q.request, IPC_SET, &info), 0);
    std::string text = pattern(4100);  // four fragments
    IpcData payload = as_payload(text);
    hac_test::StdoutCapture capture;
    EXPECT_EQ(ipc_snd_internal(q.request, kMtype, kChunk, &payload, IPC_KIND_MESSAGE), -1);
    const std::string out = capture.stop();
    // Fragments 3 and 4 each got their five resends: the transfer went on.
    std::string one_fragment = "\n###### msgsnd EAGAIN ######\n";
    for (int i = 0; i < 5; ++i) one_fragment += "\n###### resend msgsnd EAGAIN ######\n";
    EXPECT_EQ(out, one_fragment + one_fragment);
    EXPECT_EQ(take_all(q.request, kMtype).size(), 2u);
}

// Binds the calling thread to one CPU, as on a single-core box.
bool pin_to_cpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

TEST(FragmentTransfer, PayloadsLargerThanTheQueueCrossWholeWhenBothEndsShareOneCpu) {
    // 16 fragments of 1056 bytes overflow a 16384-byte queue: the sender
    // meets a full queue in the middle of every payload and retries while
    // the receiver, on the same CPU, drains it.
    QueuePair q;
    const int kPayloads = 20;
    std::vector<std::string> texts;
    for (int i = 0; i < kPayloads; ++i) texts.push_back(pattern(16384 - i));
    std::atomic<int> sender_pinned{-1};
    hac_test::StdoutCapture capture;
    std::vector<int> rcs;
    std::thread sender([&] {
        sender_pinned = pin_to_cpu(0) ? 1 : 0;
        for (std::string& text : texts) {
            IpcData payload = as_payload(text);
            rcs.push_back(ipc_snd_internal(q.request, kMtype, kChunk, &payload, IPC_KIND_MESSAGE));
        }
    });
    const bool pinned = pin_to_cpu(0);
    std::vector<Received> got;
    for (int i = 0; i < kPayloads; ++i) got.push_back(receive(q.request, kMtype));
    sender.join();
    const std::string out = capture.stop();
    ASSERT_TRUE(pinned && sender_pinned == 1);
    EXPECT_EQ(rcs, std::vector<int>(kPayloads, 0));
    for (int i = 0; i < kPayloads; ++i) {
        EXPECT_EQ(got[i].rc, 0) << "payload " << i;
        EXPECT_EQ(got[i].bytes, texts[i]) << "payload " << i;
    }
    // A full queue is still reported, once per refused fragment at least.
    for (const std::string& line : hac_test::split_lines(out))
        EXPECT_TRUE(line.empty() || line.find("msgsnd EAGAIN ######") != std::string::npos) << line;
    EXPECT_EQ(queued(q.request), 0u);
}

TEST(FragmentTransfer, RemovedQueueFailsAtOnceWithoutOutput) {
    const int msqid = msgget(IPC_PRIVATE, 0600);
    msgctl(msqid, IPC_RMID, nullptr);
    std::string text = pattern(5000);
    IpcData payload = as_payload(text);
    hac_test::StdoutCapture capture;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ipc_snd_internal(msqid, kMtype, kChunk, &payload, IPC_KIND_MESSAGE), -1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(capture.stop(), "");
    RecordProperty("send_to_removed_queue_us",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
}

TEST(FragmentTransfer, ImplausibleFragmentsDropTheirPayloadWhole) {
    QueuePair q;
    // chunk_len below zero, above chunk_size + 1 and beyond what was carried
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 30, 0, -5}, "");
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 30, 0, 1026}, "");
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 30, 1, INT32_MAX}, "");
    // a fragment of a larger chunk size cannot be received and is removed
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 3, 1, 3}, "big", 4 * kChunk);
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 1, 1, 100}, "s", 8);  // claims more than it carries
    std::string ok = "ok";
    IpcData payload = as_payload(ok);
    ipc_snd_internal(q.request, kMtype, kChunk, &payload, IPC_KIND_MESSAGE);
    EXPECT_EQ(receive(q.request, kMtype).rc, -1);
    EXPECT_EQ(receive(q.request, kMtype).rc, -1);
    EXPECT_EQ(receive(q.request, kMtype).rc, -1);
    const Received r = receive(q.request, kMtype);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.bytes, "ok");
}

TEST(FragmentTransfer, PayloadOverTheLimitIsDroppedWithBoundedMemory) {
    QueuePair q;
    std::string text = pattern(20000);  // the send itself sets no limit
    IpcData payload = as_payload(text);
    std::thread sender([&] { ipc_snd_internal(q.request, kMtype, kChunk, &payload, IPC_KIND_MESSAGE); });
    Received r = receive(q.request, kMtype);
    sender.join();
    EXPECT_EQ(r.rc, -1);
    EXPECT_LE(r.capacity, 16385);
    std::string ok = "after";
    payload = as_payload(ok);
    ipc_snd_internal(q.request, kMtype, kChunk, &payload, IPC_KIND_MESSAGE);
    r = receive(q.request, kMtype);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.bytes, "after");
}

TEST(FragmentTransfer, LostOrAbandonedFragmentsSpoilOnlyTheirOwnPayload) {
    QueuePair q;
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 2050, 1, 1025}, pattern(1025));  // its second was lost
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 2050, 0, 1025}, pattern(1025));  // its sender died
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 3, 1, 3}, "new");
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 3000, 0, 1025, 2}, pattern(1025));  // a tail whose
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 3000, 1, 950, 3}, pattern(950));    // start is gone
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 4, 1, 4}, "next");
    EXPECT_EQ(receive(q.request, kMtype).rc, -1);  // total_len is not what arrived
    EXPECT_EQ(receive(q.request, kMtype).bytes, "new");
    EXPECT_EQ(receive(q.request, kMtype).bytes, "next");
    EXPECT_EQ(queued(q.request), 0u);
}

// Two senders writing payloads of the same length to one queue at once:
// their fragments interleave. Each payload's token keeps the other sender's
// fragments out of it; the one cut short by the other's start is dropped,
// never delivered mixed.
TEST(FragmentTransfer, InterleavedSendersNeverMakeAMixedPayload) {
    QueuePair q;
    const std::string a(2050, 'A'), b(2050, 'B');
    put_payload(q.request, kMtype, IPC_KIND_MESSAGE, a, 0x1111, 1, 1);
    put_payload(q.request, kMtype, IPC_KIND_MESSAGE, b, 0x2222, 1, 1);
    put_payload(q.request, kMtype, IPC_KIND_MESSAGE, a, 0x1111, 2, 2);
    put_payload(q.request, kMtype, IPC_KIND_MESSAGE, b, 0x2222, 2, 2);
    const Received r = receive(q.request, kMtype);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.bytes, b);
    EXPECT_EQ(queued(q.request), 0u);
}

// A stop order that arrives between two fragments of a payload (a browser
// told to stop while a request is half taken) is not the payload's next
// fragment: the payload is joined whole.
TEST(FragmentTransfer, AStopOrderNeverEndsAJoin) {
    QueuePair q;
    const std::string text = pattern(3000);
    put_payload(q.request, kMtype, IPC_KIND_REQUEST, text, 77, 1, 1);
    put_fragment(q.request, kMtype, {IPC_KIND_STOP, 0, 1, 0, 1, 78}, "");
    put_payload(q.request, kMtype, IPC_KIND_REQUEST, text, 77, 2);
    const Received r = receive(q.request, kMtype);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.kind, IPC_KIND_REQUEST);
    EXPECT_EQ(r.bytes, text);
}

namespace {
std::atomic<int> g_signals{0};
void count_signal(int) { g_signals.fetch_add(1); }
}  // namespace

TEST(FragmentTransfer, SignalSplitsNoPayloadButEndsAnIdleWait) {
    QueuePair q;
    struct sigaction action = {};
    action.sa_handler = count_signal;  // no SA_RESTART: msgrcv fails with EINTR
    struct sigaction previous;
    sigaction(SIGUSR1, &action, &previous);
    std::atomic<pid_t> tid{0};
    std::vector<Received> results;
    std::thread receiver([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        results.push_back(receive(q.request, kMtype));  // interrupted while idle
        results.push_back(receive(q.request, kMtype));  // interrupted between fragments
    });
    auto interrupt_waiting_receiver = [&](int expected) {
        ASSERT_TRUE(wait_until([&] { return tid != 0 && queued(q.request) == 0 && task_sleeps(tid); }));
        pthread_kill(receiver.native_handle(), SIGUSR1);
        ASSERT_TRUE(wait_until([&] { return g_signals == expected; }));
    };
    interrupt_waiting_receiver(1);
    const std::string text = pattern(1030);
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 1030, 0, 1025}, text.substr(0, 1025));
    interrupt_waiting_receiver(2);
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 1030, 1, 5, 2}, text.substr(1025));
    receiver.join();
    sigaction(SIGUSR1, &previous, nullptr);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].rc, -1);
    EXPECT_EQ(results[1].rc, 0);
    EXPECT_EQ(results[1].bytes, text);
}

TEST(FragmentTransfer, ArgumentsThatWouldCorruptMemoryAreRefused) {
    QueuePair q;
    std::string text = "abc";
    IpcData ok = as_payload(text);
    IpcData negative = {-1, &text[0]};
    IpcData null_data = {5, nullptr};
    EXPECT_EQ(ipc_snd_internal(q.request, kMtype, kChunk, nullptr, IPC_KIND_MESSAGE), -3);
    EXPECT_EQ(ipc_snd_internal(q.request, kMtype, 0, &ok, IPC_KIND_MESSAGE), -3);
    EXPECT_EQ(ipc_snd_internal(q.request, -1, kChunk, &ok, IPC_KIND_MESSAGE), -3);
    EXPECT_EQ(ipc_snd_internal(q.request, kMtype, kChunk, &negative, IPC_KIND_MESSAGE), -3);
    EXPECT_EQ(ipc_snd_internal(q.request, kMtype, kChunk, &null_data, IPC_KIND_MESSAGE), -3);
    EXPECT_EQ(ipc_snd_internal(q.request, kMtype, SIZE_MAX - 20, &ok, IPC_KIND_MESSAGE), -3);
    EXPECT_EQ(queued(q.request), 0u);

    std::vector<char> fragment(IPC_FRAGMENT_BUFFER_SIZE(kChunk));
    IpcFragment* f = reinterpret_cast<IpcFragment*>(fragment.data());
    char* block = nullptr;
    int capacity = 10;
    EXPECT_EQ(ipc_rcv_internal(q.request, kMtype, kChunk, f, &block, &capacity), -3);
    block = static_cast<char*>(malloc(10));
    EXPECT_EQ(ipc_rcv_internal(q.request, kMtype, kChunk, nullptr, &block, &capacity), -3);
    EXPECT_EQ(ipc_rcv_internal(q.request, kMtype, kChunk, f, nullptr, &capacity), -3);
    capacity = 0;
    EXPECT_EQ(ipc_rcv_internal(q.request, kMtype, kChunk, f, &block, &capacity), -3);
    free(block);
}
