// The transport between two real processes: the peer process serves, this
// process sends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/msg.h>

#include "recording_halves.h"
#include "transport_support.h"

using namespace transport_test;
using hac_test::wait_until;

namespace {

Json::Value got(const std::string& bytes) {
    Json::Value line;
    line["m"] = "payload";
    line["len"] = static_cast<int>(bytes.size());
    line["digest"] = hac_test::digest(bytes);
    line["seq"] = -1;  // none of these is numbered
    return hac_test::as_read(line);
}

std::vector<Json::Value> lines_of(std::initializer_list<Json::Value> payloads) {
    std::vector<Json::Value> lines = {hac_test::parse_json(R"({"m":"ready"})")};
    lines.insert(lines.end(), payloads);
    lines.push_back(hac_test::parse_json(R"({"m":"done"})"));
    return lines;
}

}  // namespace

TEST(TwoProcesses, MessagesAndRequestsCrossTheProcessBoundary) {
    const key_t key = hac_test::unique_queue_key();
    hac_test::QueueCleaner cleaner({key, key + 1});
    hac_test::PeerProcess server({"transport", std::to_string(key)});
    ASSERT_TRUE(server.ready());
    IpcClient* client = nullptr;
    ASSERT_EQ(vetu_ipc_client_create(key, hac_test::kPeerMtype, 1, kChunk, &client), 0);
    std::string small = "hello", large = pattern(5000), largest = pattern(16384), stop = "exit";
    IpcData payload = as_payload(small);
    EXPECT_EQ(vetu_ipc_client_send(client, &payload), 0);
    payload = as_payload(large);
    EXPECT_EQ(vetu_ipc_client_send(client, &payload), 0);
    payload = as_payload(largest);
    IpcData reply = {0, nullptr};
    ASSERT_EQ(vetu_ipc_client_send_sync_with_params(client, &payload, &reply), 0);
    std::string expected = largest;
    for (char& c : expected) c = hac_test::answer_byte(c);
    EXPECT_EQ(std::string(reply.data, static_cast<size_t>(reply.len)), expected);
    free(reply.data);
    payload = as_payload(stop);
    EXPECT_EQ(vetu_ipc_client_send(client, &payload), 0);
    vetu_ipc_client_destroy(client);
    EXPECT_EQ(server.wait(), 0);
    EXPECT_EQ(server.reports(), lines_of({got(small), got(large), got(largest), got(stop)}));
}

TEST(TwoProcesses, StopAndContinueBetweenFragmentsKeepsThePayloadWhole) {
    const key_t key = hac_test::unique_queue_key();
    hac_test::QueueCleaner cleaner({key, key + 1});
    hac_test::PeerProcess server({"transport", std::to_string(key)});
    ASSERT_TRUE(server.ready());
    const int msqid = msgget(key, 0);
    const std::string text = pattern(1030);
    put_fragment(msqid, hac_test::kPeerMtype, {IPC_KIND_MESSAGE, 1030, 0, 1025}, text.substr(0, 1025));
    ASSERT_TRUE(wait_until([&] { return queued(msqid) == 0; }));
    ASSERT_TRUE(server.stop_all_threads());
    server.signal(SIGCONT);
    ASSERT_TRUE(wait_until([&] { return !hac_test::process_stopped(server.pid()); }));
    put_fragment(msqid, hac_test::kPeerMtype, {IPC_KIND_MESSAGE, 1030, 1, 5, 2}, text.substr(1025));
    put_fragment(msqid, hac_test::kPeerMtype, {IPC_KIND_MESSAGE, 4, 1, 4}, "exit");
    EXPECT_EQ(server.wait(), 0);
    EXPECT_EQ(server.reports(), lines_of({got(text), got("exit")}));
}
