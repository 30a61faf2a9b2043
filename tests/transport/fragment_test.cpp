// Fragment format and transfer, checked against real kernel queues.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "transport_support.h"

using namespace transport_test;

namespace {

// The seven header words read at their wire offsets after mtype, not
// through IpcFragment, so that a change of layout shows: kind, total_len,
// seq, last, one, token, chunk_len.
std::vector<int32_t> header_words(const RawFragment& f) {
    std::vector<int32_t> words(7);
    memcpy(words.data(), f.bytes.data() + sizeof(long), 7 * sizeof(int32_t));
    return words;
}

// A fragment as it must come off the queue: chunk_size + 32 bytes whatever
// it carries, the header words, its bytes and zeros to the end of the area.
void expect_fragment(const RawFragment& f, const std::vector<int32_t>& words, const std::string& bytes) {
    const size_t area = kChunk + 4;
    EXPECT_EQ(f.size, 1056);
    EXPECT_EQ(f->mtype, kMtype);
    EXPECT_EQ(header_words(f), words);
    EXPECT_EQ(std::string(f.bytes.data() + sizeof(long) + 28, area), bytes + std::string(area - bytes.size(), '\0'));
}

// The next n payloads off the queue: their bytes, or "dropped".
std::vector<std::string> receive_payloads(int msqid, size_t n) {
    std::vector<std::string> out;
    for (size_t i = 0; i < n; ++i) {
        const Received r = receive(msqid, kMtype);
        out.push_back(r.rc == 0 ? r.bytes : "dropped");
    }
    return out;
}

}  // namespace

TEST(FragmentTransfer, PayloadsAreCutIntoFragmentsCarryingEveryHeaderWord) {
    QueuePair q;
    struct Row {
        size_t size;
        int full;  // fragments of 1025 bytes before the last one
        int last_len;
    };
    for (const Row& row : {Row{0, 0, 0}, Row{1024, 0, 1024}, Row{1025, 0, 1025}, Row{1026, 1, 1}, Row{2100, 2, 50},
                           Row{16384, 15, 1009}}) {
        SCOPED_TRACE(std::to_string(row.size) + " bytes");
        std::string text = pattern(row.size);
        IpcData payload = as_payload(text);
        int rc = -9;
        // 16 fragments are more than the queue holds at once: read meanwhile
        std::thread sender([&] { rc = ipc_snd_internal(q.request, kMtype, kChunk, &payload, IPC_KIND_REQUEST); });
        const auto fragments = take_payload(q.request, kMtype);
        sender.join();
        EXPECT_EQ(rc, 0);
        ASSERT_EQ(fragments.size(), static_cast<size_t>(row.full + 1));
        for (int i = 0; i <= row.full; ++i) {
            const int len = i < row.full ? 1025 : row.last_len;
            const int32_t size = static_cast<int32_t>(row.size);
            expect_fragment(fragments[i], {IPC_KIND_REQUEST, size, i + 1, i == row.full, 1, 0, len},
                            text.substr(1025 * i, len));
        }
    }
}

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
    std::string question = "question", note = "ab";
    IpcData request = as_payload(question), message = as_payload(note), reply = {0, nullptr};
    EXPECT_EQ(vetu_ipc_client_send_sync_with_params(client, &request, &reply), 0);
    peer.join();
    EXPECT_EQ(std::string(reply.data, static_cast<size_t>(reply.len)), std::string(1025, '\x7f'));
    free(reply.data);
    ASSERT_EQ(vetu_ipc_client_send(client, &message), 0);
    vetu_ipc_client_destroy(client);
    auto sent = take_all(q.request, kMtype);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0]->token, 0);
    expect_fragment(sent[0], {IPC_KIND_MESSAGE, 2, 1, 1, 1, sent[0]->token, 2}, "ab");

    // The server endpoint's answer buffer, after an answer of a full area.
    Recorder echo;
    Server server(q.key, 1, &echo);
    ASSERT_EQ(server.rc, 0);
    for (const std::string& text : {std::string(1025, 'x'), std::string("cd")}) {
        put_payload(q.request, kMtype, IPC_KIND_REQUEST, text, 42);
        const auto answer = take_payload(q.reply, kMtype);
        ASSERT_EQ(answer.size(), 1u);
        if (text == "cd") expect_fragment(answer[0], {IPC_KIND_REPLY, 2, 1, 1, 1, 42, 2}, "cd");
    }
}

// The block grows by the 2 * cap - 1 rule up to 16385 bytes and ends with a
// NUL; a payload over the limit is dropped without growing it further.
TEST(FragmentTransfer, ReceiveJoinsUpToTheLimitAndDropsLargerPayloadsWithBoundedMemory) {
    QueuePair q;
    put_fragment(q.request, kMtype + 1, {IPC_KIND_MESSAGE, 1, 1, 1}, "x");  // another type: left alone
    auto send_and_receive = [&](std::string text, int kind) {
        IpcData payload = as_payload(text);
        std::thread sender([&] { EXPECT_EQ(ipc_snd_internal(q.request, kMtype, kChunk, &payload, kind), 0); });
        const Received r = receive(q.request, kMtype);
        sender.join();
        return r;
    };
    const std::string largest = pattern(16384);  // holds NUL bytes
    Received r = send_and_receive(largest, IPC_KIND_MESSAGE);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.capacity, 16385);
    EXPECT_EQ(r.bytes, largest);
    EXPECT_TRUE(r.nul_after);
    r = send_and_receive(pattern(20000), IPC_KIND_MESSAGE);  // the send itself sets no limit
    EXPECT_EQ(r.rc, -1);
    EXPECT_LE(r.capacity, 16385);
    r = send_and_receive("", IPC_KIND_STOP);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.kind, IPC_KIND_STOP);
    EXPECT_EQ(r.bytes, "");
    EXPECT_TRUE(r.nul_after);
    EXPECT_EQ(r.capacity, 1025);
    EXPECT_EQ(queued(q.request), 1u);
}

// A full queue: each fragment is given up after its five resends and the
// transfer goes on. A removed queue: the send fails at once, silently.
TEST(FragmentTransfer, FullOrRemovedQueueFailsTheSend) {
    QueuePair q;
    struct msqid_ds info;
    ASSERT_EQ(msgctl(q.request, IPC_STAT, &info), 0);
    info.msg_qbytes = 2 * IPC_FRAGMENT_MSGSZ(kChunk);  // room for two fragments
    ASSERT_EQ(msgctl(q.request, IPC_SET, &info), 0);
    std::string text = pattern(4100);  // four fragments
    IpcData payload = as_payload(text);
    StdoutCapture capture;
    EXPECT_EQ(ipc_snd_internal(q.request, kMtype, kChunk, &payload, IPC_KIND_MESSAGE), -1);
    std::string one_fragment = "\n###### msgsnd EAGAIN ######\n";
    for (int i = 0; i < 5; ++i) one_fragment += "\n###### resend msgsnd EAGAIN ######\n";
    EXPECT_EQ(capture.stop(), one_fragment + one_fragment);  // fragments 3 and 4
    EXPECT_EQ(take_all(q.request, kMtype).size(), 2u);

    msgctl(q.request, IPC_RMID, nullptr);
    StdoutCapture silent;
    EXPECT_EQ(ipc_snd_internal(q.request, kMtype, kChunk, &payload, IPC_KIND_MESSAGE), -1);
    EXPECT_EQ(silent.stop(), "");
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
    std::atomic<bool> sender_pinned{false};
    StdoutCapture capture;
    std::vector<int> rcs;
    std::thread sender([&] {
        sender_pinned = pin_to_cpu(0);
        for (std::string& text : texts) {
            IpcData payload = as_payload(text);
            rcs.push_back(ipc_snd_internal(q.request, kMtype, kChunk, &payload, IPC_KIND_MESSAGE));
        }
    });
    const bool pinned = pin_to_cpu(0);
    const std::vector<std::string> got = receive_payloads(q.request, kPayloads);
    sender.join();
    const std::string out = capture.stop();
    ASSERT_TRUE(pinned && sender_pinned);
    EXPECT_EQ(rcs, std::vector<int>(kPayloads, 0));
    EXPECT_EQ(got, texts);
    // A full queue is still reported, once per refused fragment at least.
    for (const std::string& line : split_lines(out))
        EXPECT_TRUE(line.empty() || line.find("msgsnd EAGAIN ######") != std::string::npos) << line;
    EXPECT_EQ(queued(q.request), 0u);
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
    put_payload(q.request, kMtype, IPC_KIND_MESSAGE, "ok", 0);
    EXPECT_EQ(receive_payloads(q.request, 4), (std::vector<std::string>{"dropped", "dropped", "dropped", "ok"}));
}

TEST(FragmentTransfer, LostOrAbandonedFragmentsSpoilOnlyTheirOwnPayload) {
    QueuePair q;
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 2050, 1, 1025}, pattern(1025));  // its second was lost
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 2050, 0, 1025}, pattern(1025));  // its sender died
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 3, 1, 3}, "new");
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 3000, 0, 1025, 2}, pattern(1025));  // a tail whose
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 3000, 1, 950, 3}, pattern(950));    // start is gone
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 4, 1, 4}, "next");
    // The first is dropped: total_len is not what arrived.
    EXPECT_EQ(receive_payloads(q.request, 3), (std::vector<std::string>{"dropped", "new", "next"}));
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
    EXPECT_EQ(receive_payloads(q.request, 1), std::vector<std::string>{b});
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
    IpcData ok = as_payload(text), negative = {-1, &text[0]}, null_data = {5, nullptr};
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
