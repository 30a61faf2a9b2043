// Fragment format and transfer, checked against real kernel queues.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "transport_support.h"

using namespace transport_test;

namespace {

// A fragment as it must come off the queue: chunk_size + 32 bytes whatever
// it carries, the seven header words (kind, total_len, seq, last, one, token,
// chunk_len, read at their wire offsets after mtype, not through
// IpcFragment, so that a change of layout shows), its bytes and zeros to
// the end of the area.
void expect_fragment(const RawFragment& f, const std::vector<int32_t>& words, const std::string& bytes) {
    const size_t area = kChunk + 4;
    std::vector<int32_t> header(7);
    memcpy(header.data(), f.bytes.data() + sizeof(long), 7 * sizeof(int32_t));
    EXPECT_EQ(f.size, 1056);
    EXPECT_EQ(f->mtype, kMtype);
    EXPECT_EQ(header, words);
    EXPECT_EQ(std::string(f.bytes.data() + sizeof(long) + 28, area), bytes + std::string(area - bytes.size(), '\0'));
}

// The next n payloads off the queue: their bytes, or "dropped" (any failure).
std::vector<std::string> receive_payloads(int msqid, size_t n) {
    std::vector<std::string> out;
    for (size_t i = 0; i < n; ++i) {
        const Received r = receive(msqid, kMtype);
        out.push_back(r.rc == 0 ? r.bytes : "dropped");
    }
    return out;
}

// Binds the calling thread to one CPU, as on a single-core box.
bool pin_to_cpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

}  // namespace

// Fragments of chunk_size + 1 bytes, the last one shorter; 16384 bytes in
// 16 fragments cross in PayloadsUpToTheLimitCrossWholeAlsoWhenBothEndsShareOneCpu.
// Endpoints send through buffers of their own, which hold what went through
// them before: here a received answer whose area is full to its last byte.
// A short payload after it carries the same bytes as through a fresh buffer.
TEST(FragmentTransfer, PayloadsAreCutIntoFragmentsCarryingEveryHeaderWordAndNothingStale) {
    QueuePair q;
    struct Row {
        size_t size;
        int full;  // fragments of 1025 bytes before the last one
        int last_len;
    };
    for (const Row& row : {Row{0, 0, 0}, Row{1025, 0, 1025}, Row{1026, 1, 1}, Row{2100, 2, 50}}) {
        SCOPED_TRACE(std::to_string(row.size) + " bytes");
        std::string text = pattern(row.size);
        IpcData payload = as_payload(text);
        EXPECT_EQ(ipc_snd_internal(q.request, kMtype, kChunk, &payload, IPC_KIND_REQUEST), 0);
        const auto fragments = take_all(q.request, kMtype);
        ASSERT_EQ(fragments.size(), static_cast<size_t>(row.full + 1));
        for (int i = 0; i <= row.full; ++i) {
            const int len = i < row.full ? 1025 : row.last_len;
            const int32_t size = static_cast<int32_t>(row.size);
            expect_fragment(fragments[i], {IPC_KIND_REQUEST, size, i + 1, i == row.full, 1, 0, len},
                            text.substr(1025 * i, len));
        }
    }

    Client client(q.key);
    std::thread peer([&] {
        take_payload(q.request, kMtype);
        // A foreign answer with no zero byte anywhere in its area.
        put_fragment(q.reply, kMtype, {IPC_KIND_REPLY, 1025, 1, 1025}, std::string(kChunk + 4, '\x7f'));
    });
    EXPECT_EQ(exchange(client.handle, "question").bytes, std::string(1025, '\x7f'));
    peer.join();
    std::string note = "ab";
    IpcData message = as_payload(note);
    ASSERT_EQ(vetu_ipc_client_send(client.handle, &message), 0);
    auto sent = take_all(q.request, kMtype);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_NE(sent[0]->token, 0);
    expect_fragment(sent[0], {IPC_KIND_MESSAGE, 2, 1, 1, 1, sent[0]->token, 2}, "ab");
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

// 16 fragments of 1056 bytes overflow a 16384-byte queue: the sender meets
// a full queue in the middle of every large payload and retries while the
// receiver, on the same CPU as on a single-core box, drains it. Every
// payload up to the limit arrives whole, in a block grown by the 2 * cap - 1
// rule and closed with a NUL; one over the limit is dropped without growing
// the block, and the next one arrives whole.
TEST(FragmentTransfer, PayloadsUpToTheLimitCrossWholeAlsoWhenBothEndsShareOneCpu) {
    QueuePair q;
    put_fragment(q.request, kMtype + 1, {IPC_KIND_MESSAGE, 1, 1, 1}, "x");  // another type: left alone
    std::vector<std::string> texts;
    for (int i = 0; i < 20; ++i) texts.push_back(pattern(16384 - i));
    texts.push_back(pattern(20000));  // the send itself sets no limit
    texts.push_back("");
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
    std::vector<Received> got;
    for (size_t i = 0; i < texts.size(); ++i) got.push_back(receive(q.request, kMtype));
    sender.join();
    const std::string out = capture.stop();
    ASSERT_TRUE(pinned && sender_pinned);
    EXPECT_EQ(rcs, std::vector<int>(texts.size(), 0));
    for (size_t i = 0; i < texts.size(); ++i) {
        SCOPED_TRACE(std::to_string(texts[i].size()) + " bytes");
        const bool over = texts[i].size() > IPC_MAX_PAYLOAD;
        EXPECT_EQ(got[i].rc, over ? -1 : 0);
        EXPECT_EQ(got[i].bytes, over ? "" : texts[i]);
        EXPECT_EQ(got[i].capacity, over || texts[i].empty() ? 1025 : 16385);
        EXPECT_EQ(got[i].nul_after, !over);
    }
    // A full queue is still reported, once per refused fragment at least.
    for (const std::string& line : split_lines(out))
        EXPECT_TRUE(line.empty() || line.find("msgsnd EAGAIN ######") != std::string::npos) << line;
    EXPECT_EQ(queued(q.request), 1u);
}

// Payloads with implausible, lost or abandoned fragments, or mixed with
// another sender's fragments or a stop order: only the broken payload is
// lost, never delivered short or mixed, and the payloads after it come whole.
TEST(FragmentTransfer, BrokenPayloadsAreDroppedWholeAndSpoilNoOther) {
    QueuePair q;
    const int m = q.request;
    // chunk_len below zero, above chunk_size + 1 and beyond what was carried
    put_fragment(m, kMtype, {IPC_KIND_MESSAGE, 30, 0, -5}, "");
    put_fragment(m, kMtype, {IPC_KIND_MESSAGE, 30, 0, 1026}, "");
    put_fragment(m, kMtype, {IPC_KIND_MESSAGE, 30, 1, INT32_MAX}, "");
    // a fragment of a larger chunk size cannot be received and is removed
    put_fragment(m, kMtype, {IPC_KIND_MESSAGE, 3, 1, 3}, "big", 4 * kChunk);
    put_fragment(m, kMtype, {IPC_KIND_MESSAGE, 1, 1, 100}, "s", 8);  // claims more than it carries
    put_payload(m, kMtype, IPC_KIND_MESSAGE, "ok", 0);
    EXPECT_EQ(receive_payloads(m, 4), (std::vector<std::string>{"dropped", "dropped", "dropped", "ok"}));

    put_fragment(m, kMtype, {IPC_KIND_MESSAGE, 2050, 1, 1025}, pattern(1025));  // its second was lost
    put_fragment(m, kMtype, {IPC_KIND_MESSAGE, 2050, 0, 1025}, pattern(1025));  // its sender died
    put_fragment(m, kMtype, {IPC_KIND_MESSAGE, 3, 1, 3}, "new");
    put_fragment(m, kMtype, {IPC_KIND_MESSAGE, 3000, 0, 1025, 2}, pattern(1025));  // a tail whose
    put_fragment(m, kMtype, {IPC_KIND_MESSAGE, 3000, 1, 950, 3}, pattern(950));    // start is gone
    put_fragment(m, kMtype, {IPC_KIND_MESSAGE, 4, 1, 4}, "next");
    EXPECT_EQ(receive_payloads(m, 3), (std::vector<std::string>{"dropped", "new", "next"}));

    // Two senders writing payloads of the same length at once: each token
    // keeps the other's fragments out; the one cut short by the other's
    // start is dropped.
    const std::string a(2050, 'A'), b(2050, 'B');
    put_payload(m, kMtype, IPC_KIND_MESSAGE, a, 0x1111, 1, 1);
    put_payload(m, kMtype, IPC_KIND_MESSAGE, b, 0x2222, 1, 1);
    put_payload(m, kMtype, IPC_KIND_MESSAGE, a, 0x1111, 2, 2);
    put_payload(m, kMtype, IPC_KIND_MESSAGE, b, 0x2222, 2, 2);
    EXPECT_EQ(receive_payloads(m, 1), std::vector<std::string>{b});

    // A stop order between two fragments of a request (a browser told to
    // stop while a request is half taken) is not its next fragment.
    const std::string text = pattern(3000);
    put_payload(m, kMtype, IPC_KIND_REQUEST, text, 77, 1, 1);
    put_fragment(m, kMtype, {IPC_KIND_STOP, 0, 1, 0, 1, 78}, "");
    put_payload(m, kMtype, IPC_KIND_REQUEST, text, 77, 2);
    const Received r = receive(m, kMtype);
    EXPECT_EQ(r.kind, IPC_KIND_REQUEST);
    EXPECT_EQ(r.bytes, text);
    EXPECT_EQ(queued(m), 0u);
}

TEST(FragmentTransfer, SignalSplitsNoPayloadButEndsAnIdleWait) {
    QueuePair q;
    static std::atomic<int> signals;
    signals = 0;
    struct sigaction action = {};
    action.sa_handler = [](int) { signals.fetch_add(1); };  // no SA_RESTART: msgrcv fails with EINTR
    struct sigaction previous;
    sigaction(SIGUSR1, &action, &previous);
    std::atomic<pid_t> tid{0};
    std::vector<std::string> results;
    std::thread receiver([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        results = receive_payloads(q.request, 2);  // interrupted while idle, then between fragments
    });
    auto interrupt_waiting_receiver = [&](int expected) {
        ASSERT_TRUE(wait_until([&] { return tid != 0 && queued(q.request) == 0 && task_sleeps(tid); }));
        pthread_kill(receiver.native_handle(), SIGUSR1);
        ASSERT_TRUE(wait_until([&] { return signals == expected; }));
    };
    interrupt_waiting_receiver(1);
    const std::string text = pattern(1030);
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 1030, 0, 1025}, text.substr(0, 1025));
    interrupt_waiting_receiver(2);
    put_fragment(q.request, kMtype, {IPC_KIND_MESSAGE, 1030, 1, 5, 2}, text.substr(1025));
    receiver.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(results, (std::vector<std::string>{"dropped", text}));
}
