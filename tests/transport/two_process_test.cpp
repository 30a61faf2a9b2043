// The transport between two real processes: the peer executable serves,
// this process sends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/msg.h>

#include <cstdio>

#include "peer_protocol.h"
#include "transport_support.h"

using namespace transport_test;
using hac_test::wait_until;

namespace {

std::string got_line(const std::string& bytes) {
    char line[64];
    snprintf(line, sizeof line, "got %zu %08x", bytes.size(), transport_peer::digest(bytes.data(), bytes.size()));
    return line;
}

struct PeerServer {
    explicit PeerServer(key_t key)
        : out(hac_test::temp_path("transport_peer")), peer(TRANSPORT_PEER, {"server", std::to_string(key)}, out) {}
    bool ready() {
        return wait_until([&] { return hac_test::read_file(out).find("ready\n") != std::string::npos; });
    }
    // The peer's own lines; a full reply queue adds the sender's EAGAIN notes.
    std::vector<std::string> lines() {
        std::vector<std::string> own;
        for (const std::string& line : hac_test::split_lines(hac_test::read_file(out)))
            if (!line.empty() && line.find("EAGAIN") == std::string::npos) own.push_back(line);
        return own;
    }
    ~PeerServer() { remove(out.c_str()); }
    std::string out;
    hac_test::Peer peer;
};

}  // namespace

TEST(TwoProcesses, MessagesAndRequestsCrossTheProcessBoundary) {
    const key_t key = hac_test::unique_queue_key();
    hac_test::QueueCleaner cleaner({key, key + 1});
    PeerServer server(key);
    ASSERT_TRUE(server.ready());
    IpcClient* client = nullptr;
    ASSERT_EQ(vetu_ipc_client_create(key, kMtype, 1, kChunk, &client), 0);
    std::string small = "hello", large = pattern(5000), largest = pattern(16384), stop = "exit";
    IpcData payload = as_payload(small);
    EXPECT_EQ(vetu_ipc_client_send(client, &payload), 0);
    payload = as_payload(large);
    EXPECT_EQ(vetu_ipc_client_send(client, &payload), 0);
    payload = as_payload(largest);
    IpcData reply = {0, nullptr};
    ASSERT_EQ(vetu_ipc_client_send_sync_with_params(client, &payload, &reply), 0);
    std::string expected = largest;
    for (char& c : expected) c = transport_peer::answer_byte(c);
    EXPECT_EQ(std::string(reply.data, static_cast<size_t>(reply.len)), expected);
    free(reply.data);
    payload = as_payload(stop);
    EXPECT_EQ(vetu_ipc_client_send(client, &payload), 0);
    vetu_ipc_client_destroy(client);
    EXPECT_EQ(server.peer.wait(), 0);
    const std::vector<std::string> want = {"ready", got_line(small), got_line(large), got_line(largest),
                                           got_line(stop), "done"};
    EXPECT_EQ(server.lines(), want);
}

TEST(TwoProcesses, StopAndContinueBetweenFragmentsKeepsThePayloadWhole) {
    const key_t key = hac_test::unique_queue_key();
    hac_test::QueueCleaner cleaner({key, key + 1});
    PeerServer server(key);
    ASSERT_TRUE(server.ready());
    const int msqid = msgget(key, 0);
    const std::string text = pattern(1030);
    put_fragment(msqid, kMtype, {IPC_KIND_MESSAGE, 1030, 0, 1025}, text.substr(0, 1025));
    ASSERT_TRUE(wait_until([&] { return queued(msqid) == 0; }));
    server.peer.kill_now(SIGSTOP);
    ASSERT_TRUE(wait_until([&] { return hac_test::process_stopped(server.peer.pid()); }));
    server.peer.kill_now(SIGCONT);
    ASSERT_TRUE(wait_until([&] { return !hac_test::process_stopped(server.peer.pid()); }));
    put_fragment(msqid, kMtype, {IPC_KIND_MESSAGE, 1030, 1, 5, 2}, text.substr(1025));
    put_fragment(msqid, kMtype, {IPC_KIND_MESSAGE, 4, 1, 4}, "exit");
    EXPECT_EQ(server.peer.wait(), 0);
    const std::vector<std::string> want = {"ready", got_line(text), got_line("exit"), "done"};
    EXPECT_EQ(server.lines(), want);
}
