// Seeing the channel: hac monitor traces a real browser and a real
// application manager, hac queues --peek looks into real queues, hac send
// puts a raw message in front of a real peer.
#include <sys/ptrace.h>
#include <sys/wait.h>

#include <algorithm>
#include <map>

#include "tool_support.h"
#include "vetu_ipc.h"

using namespace hac_tool_test;

namespace {

// Whether this process may trace a child of its own. Under user-mode
// emulation (qemu-user) ptrace is not there at all.
std::string why_tracing_is_impossible() {
    const pid_t child = fork();
    if (child == 0) {
        pause();
        _exit(0);
    }
    if (child < 0) return "fork failed";
    const long seized = ptrace(PTRACE_SEIZE, child, nullptr, nullptr);
    const int error = errno;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    if (seized == 0) return "";
    return std::string("system-call tracing (ptrace) is not available here: ") + strerror(error) +
           " (user-mode emulation such as qemu-user does not provide it), so hac monitor cannot run";
}

class MonitorTest : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        const std::string why = why_tracing_is_impossible();
        if (!why.empty()) GTEST_SKIP() << why;
    }
};

// Three records: the message takes two fragments.
const char* const kRecordFile =
    R"([{"appid": 5, "orgid": 7, "visib": 3, "name": "News", "iso": "eng", "isb": true,
         "tranprotocols": [{"pi": 3, "bu": "http://a/", "ip": "i.html"}, {"pi": 1, "pp": 9}],
         "bd": ["http://a/", "http://b/"], "apptype": 16, "profileversion": 257},
        {"appid": 6, "orgid": 7, "name": "Weather", "tranprotocols": [{"pi": 3, "bu": "http://w/"}]},
        {"appid": 8, "orgid": 7, "name": "Sport", "tranprotocols": [{"pi": 3, "bu": "http://s/"}]}])";

std::vector<Json::Value> records_of(const Tool& tool, const std::string& kind) {
    std::vector<Json::Value> found;
    for (const Json::Value& record : tool.records())
        if (record["kind"] == kind) found.push_back(record);
    return found;
}

// The names of the messages one process sent or received, in the order the
// monitor printed them.
std::vector<std::string> stream(const std::vector<Json::Value>& messages, pid_t pid, const std::string& op) {
    std::vector<std::string> names;
    for (const Json::Value& message : messages)
        if (message["pid"].asInt() == pid && message["op"] == op) names.push_back(message["name"].asString());
    return names;
}

Json::Value message_named(const std::vector<Json::Value>& messages, const std::string& name, const std::string& op) {
    for (const Json::Value& message : messages)
        if (message["name"] == name && message["op"] == op) return message;
    return Json::Value();
}

// Starts a monitor and waits until it watches both processes.
std::unique_ptr<Tool> watching(const std::vector<std::string>& args, pid_t browser, pid_t manager) {
    auto monitor = std::make_unique<Tool>(args);
    if (std::find(args.begin(), args.end(), "--json") == args.end()) {
        const std::string expected = "watching browser " + std::to_string(browser) + " (hac, ";
        EXPECT_TRUE(wait_until([&] { return monitor->output().find(expected) != std::string::npos; }, kDeadline));
        EXPECT_NE(monitor->output().find(" manager " + std::to_string(manager) + " (hac, "), std::string::npos)
            << monitor->output() << monitor->errors();
        return monitor;
    }
    const Json::Value watching = monitor->wait_for("watching", "");
    std::map<int, std::string> roles;
    for (const Json::Value& process : watching["processes"]) roles[process["pid"].asInt()] = process["role"].asString();
    EXPECT_EQ(roles[browser], "browser") << monitor->output() << monitor->errors();
    EXPECT_EQ(roles[manager], "manager") << monitor->output() << monitor->errors();
    return monitor;
}

// Neither side saw a receive fail (an attach that broke a waiting msgrcv
// would show here).
void expect_no_failed_receive(const Tool& side) {
    EXPECT_EQ(side.errors().find("msgrcv res:-1"), std::string::npos) << side.errors();
}

}  // namespace

TEST_F(MonitorTest, PrintsEveryMessageInOrderInBothDirectionsAndStopsWithoutStoppingEitherSide) {
    const std::string records = temp_path("records") + ".json";
    std::ofstream(records) << kRecordFile;
    Tool browser({"browser", "--json", "--version", "3.4.5", "--errcode", "9", "--running", "0"});
    ASSERT_FALSE(browser.wait_for("ready", "").isNull()) << browser.errors();
    Tool manager({"manager", "--json"});
    ASSERT_FALSE(manager.wait_for("ready", "").isNull()) << manager.errors();
    const std::unique_ptr<Tool> monitor = watching({"monitor", "--json"}, browser.pid(), manager.pid());

    // The whole catalogue: every command and query, then every notification.
    for (const char* line : {"ids 4097 3 1", "key red up 4", "stop 5 7", "xml http://x/ait.xml cc", "reset -1 full 30",
                             "destroy-bi 77 88", "errcode 5 7", "teletext -1", "create-bi http://x/bi.html",
                             "version", "running"})
        manager.send(line);
    manager.send("ait " + records);
    ASSERT_FALSE(manager.wait_for("result", "ait").isNull()) << manager.output();
    for (const char* line : {"state 5 7 killed", "dvb error", "xml ok"}) browser.send(line);
    ASSERT_FALSE(manager.wait_for("event", "xml_ait_status").isNull()) << manager.output();

    const std::vector<std::string> requests = {
        "SendAitIDs", "SendKey", "StopApp", "SendXmlAitUrl", "Reset", "DestroyBIApplication", "GetAppErrorCode",
        "ShowTeleTextApp", "CreateBIApplication", "GetVersion", "IsAppRunning", "SendAitAppInfo"};
    const std::vector<std::string> answers = {"GetAppErrorCodeReply", "ShowTeleTextAppReply",
                                              "CreateBIApplicationReply", "GetVersionReply", "IsAppRunningReply"};
    const std::vector<std::string> notifications = {"AppState", "DvbAitStatus", "XmlAitStatus"};
    std::vector<std::string> to_manager = answers;
    to_manager.insert(to_manager.end(), notifications.begin(), notifications.end());
    const auto all_seen = [&] { return stream(records_of(*monitor, "message"), manager.pid(), "received") == to_manager; };
    ASSERT_TRUE(wait_until(all_seen, kDeadline)) << monitor->output() << monitor->errors();

    const std::vector<Json::Value> messages = records_of(*monitor, "message");
    EXPECT_EQ(stream(messages, manager.pid(), "sent"), requests);
    EXPECT_EQ(stream(messages, browser.pid(), "received"), requests);
    EXPECT_EQ(stream(messages, browser.pid(), "sent"), to_manager);
    // Every message shows once as sent and once as received, in that order.
    std::map<std::string, size_t> sent_at;
    for (size_t i = 0; i < messages.size(); ++i) {
        const std::string payload = messages[i]["queue"].asString() + messages[i]["token"].asString();
        if (messages[i]["op"] == "sent")
            EXPECT_TRUE(sent_at.emplace(payload, i).second) << messages[i];
        else
            EXPECT_EQ(sent_at.count(payload), 1u) << "received before it was sent: " << messages[i];
    }
    EXPECT_EQ(messages.size(), 2 * (requests.size() + to_manager.size()));

    const std::vector<std::tuple<std::string, std::string, std::string>> decoded = {
        {"StopApp", "sent", R"({"queue": "request", "transfer": "message", "t": 103, "role": "manager",
                               "direction": "manager->browser", "members": {"appid": 5, "orgid": 7}})"},
        {"GetVersion", "received", R"({"queue": "request", "transfer": "request", "role": "browser"})"},
        {"GetVersionReply", "received", R"({"queue": "reply", "transfer": "reply", "t": 116,
                                            "direction": "browser->manager",
                                            "members": {"major": 3, "minor": 4, "number": 5}})"},
        {"IsAppRunningReply", "sent", R"({"members": {"isrunning": 0}})"},
        {"SendAitAppInfo", "received", R"({"fragments": 2, "members": {"num": 3}})"},
        {"AppState", "received", R"({"queue": "notification", "members": {"appid": 5, "orgid": 7, "state": 4}})"},
    };
    for (const auto& d : decoded) expect_members(message_named(messages, std::get<0>(d), std::get<1>(d)), std::get<2>(d));
    // The records field by field, as the browser prints them.
    const Json::Value ait = message_named(messages, "SendAitAppInfo", "received");
    ASSERT_EQ(ait["app"].size(), 3u) << ait;
    EXPECT_EQ(ait["app"], browser.find("request", "SendAitAppInfo")["app"]);
    // A query's answer tells its round trip, matched by the payload's token.
    const Json::Value asked = message_named(messages, "GetVersion", "sent");
    const Json::Value answered = message_named(messages, "GetVersionReply", "received");
    EXPECT_EQ(asked["token"], answered["token"]);
    EXPECT_EQ(answered["rtt_us"].asInt64(), answered["time_us"].asInt64() - asked["time_us"].asInt64());
    // Standard output carries JSON objects only.
    for (const std::string& line : split_lines(monitor->output())) EXPECT_EQ(line[0], '{') << line;

    monitor->signal(SIGINT);
    EXPECT_EQ(monitor->wait(), 0) << monitor->errors();
    expect_members(monitor->find("detached", ""), R"({"by": "SIGINT"})");

    // Both go on as before.
    manager.send("version");
    expect_members(manager.wait_for("result", "version", 1), R"({"status": 0, "major": 3})");
    EXPECT_EQ(manager.wait(), 0);
    browser.signal(SIGTERM);
    EXPECT_EQ(browser.wait(), 0);
    expect_no_failed_receive(browser);
    expect_no_failed_receive(manager);
    unlink(records.c_str());
}

TEST_F(MonitorTest, AKilledMonitorLeavesBothSidesServingAndAnExitIsReported) {
    Tool browser({"browser", "--json"});
    ASSERT_FALSE(browser.wait_for("ready", "").isNull()) << browser.errors();
    Tool manager({"manager", "--json"});
    ASSERT_FALSE(manager.wait_for("ready", "").isNull()) << manager.errors();

    // Killed in the middle of steady traffic: some threads stand stopped at
    // a system call then.
    const std::unique_ptr<Tool> killed = watching({"monitor", "--json", "--raw"}, browser.pid(), manager.pid());
    const int kQueries = 200;
    for (int i = 0; i < kQueries; ++i) manager.send("version");
    ASSERT_FALSE(killed->wait_for("message", "GetVersionReply", 5).isNull()) << killed->output();
    killed->signal(SIGKILL);
    EXPECT_EQ(killed->wait(), -1);
    ASSERT_FALSE(manager.wait_for("result", "version", kQueries - 1).isNull()) << manager.errors();
    for (int i = 0; i < kQueries; ++i) EXPECT_EQ(manager.find("result", "version", i)["status"], 0) << i;
    // --raw showed the fragments, header words and sizes.
    expect_members(killed->find("fragment", ""),
                   R"({"queue": "request", "size": 1056, "kind_word": 2, "seq": 1, "last": 1, "one": 1})");

    // A process that ends is reported; the monitor goes on with the other,
    // and ends when none is left.
    const std::unique_ptr<Tool> monitor = watching({"monitor"}, browser.pid(), manager.pid());
    const pid_t manager_pid = manager.pid();
    EXPECT_EQ(manager.wait(), 0);
    ASSERT_TRUE(wait_until([&] { return monitor->output().find(" exited: ") != std::string::npos; }, kDeadline))
        << monitor->output();
    EXPECT_NE(monitor->output().find("manager " + std::to_string(manager_pid) + " exited: "), std::string::npos)
        << monitor->output();
    browser.send("state 1 2 started");
    ASSERT_TRUE(wait_until([&] { return monitor->output().find(" sent AppState: ") != std::string::npos; }, kDeadline))
        << monitor->output();
    browser.signal(SIGTERM);
    EXPECT_EQ(browser.wait(), 0);
    EXPECT_EQ(monitor->wait(), 0) << monitor->output();
    EXPECT_NE(monitor->output().find("no process left to watch"), std::string::npos) << monitor->output();
    expect_no_failed_receive(browser);
    expect_no_failed_receive(manager);
}

TEST_F(ToolTest, MonitorSaysWhyItCannotWatch) {
    Tool alone({"monitor", "--json"});
    EXPECT_EQ(alone.wait(), 1);
    EXPECT_NE(alone.find("error", "")["message"].asString().find("no browser or application manager found"),
              std::string::npos)
        << alone.output();

    Tool browser({"browser", "--json"});
    ASSERT_FALSE(browser.wait_for("ready", "").isNull()) << browser.errors();
    // A process that has ended.
    Tool gone({"--version"});
    const pid_t gone_pid = gone.pid();
    ASSERT_EQ(gone.wait(), 0);
    Tool no_process({"monitor", "--json", "--pid", std::to_string(gone_pid)});
    EXPECT_EQ(no_process.wait(), 1);
    EXPECT_EQ(no_process.find("error", "")["message"].asString(), "no process " + std::to_string(gone_pid));

    // Where ptrace is missing the monitor says so instead (exit status 1).
    if (geteuid() == 0 && why_tracing_is_impossible().empty()) {
        const Finished refused = run_as_nobody({"monitor", "--json", "--pid", std::to_string(browser.pid())});
        EXPECT_EQ(refused.status, 4) << refused.output << refused.errors;
        EXPECT_NE(refused.find("error", "")["message"].asString().find(
                      "may not trace pid " + std::to_string(browser.pid()) + " (hac): permission denied"),
                  std::string::npos)
            << refused.output;
    }
    browser.signal(SIGTERM);
    EXPECT_EQ(browser.wait(), 0);
}

TEST_F(ToolTest, PeekShowsWhatWaitsAndTakesNothing) {
    // The browser is killed first: a browser that only stood stopped would
    // still wait in msgrcv, and the kernel would hand it the request.
    Tool browser({"browser", "--json"});
    ASSERT_FALSE(browser.wait_for("ready", "").isNull()) << browser.errors();
    browser.signal(SIGKILL);
    browser.wait();
    // A request the dead browser never took, and the first of two fragments
    // of a notification whose sender died.
    put_payload(msgget(HAC_REQUEST_QUEUE_KEY, 0), 1, IPC_KIND_REQUEST, R"({"t": 115})", 0x5678);
    const int notifications = msgget(HAC_NOTIFICATION_QUEUE_KEY, IPC_CREAT | 0666);
    put_payload(notifications, 1, IPC_KIND_MESSAGE, std::string(1500, 'n'), 0x1234, 1, 1);

    Tool peek({"queues", "--json", "--peek", "--raw"});
    ASSERT_EQ(peek.wait(), 0) << peek.output() << peek.errors();
    const Json::Value request = peek.find("waiting", "GetVersion");
    expect_members(request, R"({"queue": "request", "fragments": [0], "transfer": "request", "mtype": 1, "t": 115,
                                "complete": true})");
    EXPECT_EQ(request["token"], "0x00005678");
    expect_members(peek.find("queue", "request"), R"({"messages": 1})");
    EXPECT_EQ(peek.find("queue", "request")["last_sender_pid"].asInt(), getpid());
    expect_members(peek.find("waiting", "(incomplete payload)"),
                   R"({"queue": "notification", "fragments": [0], "transfer": "message", "token": "0x00001234",
                       "bytes": 1500, "present": 1025, "complete": false})");
    expect_members(peek.find("fragment", "", 1), R"({"queue": "notification", "seq": 1, "last": 0, "chunk_len": 1025})");
    // Nothing was taken.
    EXPECT_EQ(queued(msgget(HAC_REQUEST_QUEUE_KEY, 0)), 1u);
    EXPECT_EQ(queued(notifications), 1u);
}

TEST_F(ToolTest, SendPutsARawMessageInFrontOfAPeer) {
    Tool early({"send", "--json", R"({"t": 103})"});
    EXPECT_EQ(early.wait(), 1);
    EXPECT_EQ(early.find("error", "")["message"].asString(),
              "the request queue (0x92101071) does not exist: no browser has made it");

    Tool browser({"browser", "--json"});
    ASSERT_FALSE(browser.wait_for("ready", "").isNull()) << browser.errors();
    Tool manager({"manager", "--json"});
    ASSERT_FALSE(manager.wait_for("ready", "").isNull()) << manager.errors();
    const std::string file = temp_path("message") + ".json";
    std::ofstream(file) << R"({"t": 120, "appid": 3, "orgid": 4, "state": 2})";

    // A command reaches the browser, a notification from a file the manager.
    Tool stop({"send", "--json", R"({"t": 103, "appid": 1, "orgid": 2})"});
    EXPECT_EQ(stop.wait(), 0) << stop.output() << stop.errors();
    expect_members(stop.find("sent", "StopApp"), R"({"queue": "request", "transfer": "message", "fragments": 1})");
    expect_members(browser.wait_for("request", "StopApp"), R"({"appid": 1, "orgid": 2})");
    Tool notify({"send", "--json", "--queue", "notification", "--file", file});
    EXPECT_EQ(notify.wait(), 0) << notify.output() << notify.errors();
    expect_members(manager.wait_for("event", "app_state"), R"({"appid": 3, "orgid": 4, "state": 2})");

    // A request gets its answer, raw and decoded; one the browser does not
    // serve, from a peer that names nothing, gets the no-reply answer.
    Tool version({"send", "--json", "--kind", "request", R"({"t": 115})"});
    EXPECT_EQ(version.wait(), 0) << version.output() << version.errors();
    const Json::Value answer = version.find("answer", "GetVersionReply");
    expect_members(answer, R"({"transfer": "reply", "t": 116, "members": {"major": 1, "minor": 0, "number": 0}})");
    EXPECT_EQ(answer["token"], version.find("sent", "GetVersion")["token"]);
    Json::Value raw;
    ASSERT_TRUE(Json::Reader().parse(answer["raw"].asString(), raw)) << answer;
    EXPECT_EQ(raw["t"], 116);
    Tool unknown({"send", "--json", "--kind", "request", "--token", "0", R"({"t": 999})"});
    EXPECT_EQ(unknown.wait(), 0) << unknown.output() << unknown.errors();
    expect_members(unknown.find("answer", "(no reply)"), R"({"transfer": "no-reply", "token": "0x00000000", "raw": "a"})");

    EXPECT_EQ(manager.wait(), 0);
    browser.signal(SIGTERM);
    EXPECT_EQ(browser.wait(), 0);
    unlink(file.c_str());
}
