// The transport between two real processes: the peer process serves, this
// process sends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/msg.h>
#include <sys/wait.h>

#include "recording_halves.h"
#include "transport_support.h"

using namespace transport_test;

namespace {

Json::Value got(const std::string& bytes) {
    Json::Value line;
    line["m"] = "payload";
    line["len"] = static_cast<int>(bytes.size());
    line["digest"] = digest(bytes);
    line["seq"] = -1;  // none of these is numbered
    return as_read(line);
}

}  // namespace

// A payload whose fragments the peer takes on either side of a SIGSTOP and
// SIGCONT arrives whole; then messages and a request of every size cross.
// Then two processes send multi-fragment payloads to one queue at once (two
// application managers): each payload arrives whole or not at all, never
// made of both senders' fragments.
TEST(TwoProcesses, PayloadsCrossWholeAcrossAStopAndTwoSendersAtOnceNeverMakeAMixedPayload) {
    QueuePair q;
    PeerProcess server({"transport", std::to_string(q.key)});
    ASSERT_TRUE(server.ready());
    const std::string split = pattern(1030);
    put_fragment(q.request, kPeerMtype, {IPC_KIND_MESSAGE, 1030, 0, 1025}, split.substr(0, 1025));
    ASSERT_TRUE(wait_until([&] { return queued(q.request) == 0; }));
    ASSERT_TRUE(server.stop_all_threads());
    server.signal(SIGCONT);
    ASSERT_TRUE(wait_until([&] { return !process_stopped(server.pid()); }));
    put_fragment(q.request, kPeerMtype, {IPC_KIND_MESSAGE, 1030, 1, 5, 2}, split.substr(1025));

    Client client(q.key);
    static_assert(kMtype == kPeerMtype, "the peer serves the message type of these tests");
    const std::string small = "hello", large = pattern(5000), largest = pattern(16384);
    for (std::string text : {small, large}) {
        IpcData payload = as_payload(text);
        EXPECT_EQ(vetu_ipc_client_send(client.handle, &payload), 0);
    }
    std::string answer = largest;
    for (char& c : answer) c = answer_byte(c);
    EXPECT_EQ(exchange(client.handle, largest).bytes, answer);

    const int kEach = 300;
    auto send_numbered = [&q, kEach](long first) {
        Client client(q.key, 0);
        int failed = 0;
        for (long seq = first; seq < first + kEach; ++seq) {
            std::string text = numbered_payload(seq, 3000);
            IpcData payload = as_payload(text);
            failed += vetu_ipc_client_send(client.handle, &payload) != 0;
        }
        return failed;
    };
    fflush(stdout);
    const pid_t other = fork();
    if (other == 0) _exit(send_numbered(1000) == 0 ? 0 : 1);
    EXPECT_EQ(send_numbered(0), 0);
    int status = 0;
    ASSERT_EQ(waitpid(other, &status, 0), other);
    EXPECT_EQ(status, 0);
    put_payload(q.request, kPeerMtype, IPC_KIND_MESSAGE, "exit", 0);
    EXPECT_EQ(server.wait(), 0);
    const std::vector<Json::Value> reports = server.reports();
    const std::vector<Json::Value> first = {parse_json(R"({"m":"ready"})"), got(split), got(small), got(large),
                                            got(largest)};
    ASSERT_GT(reports.size(), first.size() + 2);
    EXPECT_EQ(std::vector<Json::Value>(reports.begin(), reports.begin() + first.size()), first);
    EXPECT_EQ(reports.end()[-2], got("exit"));
    EXPECT_EQ(reports.back(), parse_json(R"({"m":"done"})"));
    int whole = 0;
    for (const Json::Value& report : reports) {
        if (report["m"] != "payload" || report["len"] != 3000) continue;
        EXPECT_NE(report["seq"].asInt(), -1) << "a mixed payload was delivered";
        ++whole;
    }
    EXPECT_GT(whole, 0);
}
