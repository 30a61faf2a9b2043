// The hac tool as its users run it: real processes, real queues, the real
// control port. Every wait is on a line of output, with a deadline.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <tuple>

#include "hac_message_type.h"
#include "test_support.h"

using namespace hac_test;

namespace {

const std::chrono::milliseconds kDeadline(10000);

// The JSON lines of a tool's output; the library's own log lines are not JSON.
std::vector<Json::Value> json_records(const std::string& output) {
    std::vector<Json::Value> parsed;
    for (const std::string& line : split_lines(output)) {
        Json::Value value;
        if (!line.empty() && line[0] == '{' && Json::Reader().parse(line, value)) parsed.push_back(value);
    }
    return parsed;
}

// The nth record (from 0) of this kind and name; null when there is none.
Json::Value find_record(const std::string& output, const std::string& kind, const std::string& name, int nth = 0) {
    for (const Json::Value& record : json_records(output))
        if (record["kind"] == kind && (name.empty() || record["name"] == name) && nth-- == 0) return record;
    return Json::Value();
}

// One hac process: its standard input on a pipe the test writes, its
// standard output and error in files the test reads.
class Tool {
public:
    explicit Tool(const std::vector<std::string>& args) : out_path_(temp_path("tool_out")), err_path_(temp_path("tool_err")) {
        int input[2];
        if (pipe2(input, O_CLOEXEC) != 0) return;
        const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        // The child inherits fds 0 and 2 as they are at the fork inside Peer.
        const int saved_in = dup(STDIN_FILENO), saved_err = dup(STDERR_FILENO);
        dup2(input[0], STDIN_FILENO);
        dup2(err, STDERR_FILENO);
        peer_ = std::make_unique<Peer>(HAC_TOOL_PATH, args, out_path_);
        dup2(saved_in, STDIN_FILENO);
        dup2(saved_err, STDERR_FILENO);
        close(saved_in);
        close(saved_err);
        close(err);
        close(input[0]);
        input_fd_ = input[1];
    }
    ~Tool() {
        close_input();
        peer_.reset();
        unlink(out_path_.c_str());
        unlink(err_path_.c_str());
    }

    void send(const std::string& line) { send_raw(line + "\n"); }
    void send_raw(const std::string& text) {
        ASSERT_EQ(write(input_fd_, text.data(), text.size()), (ssize_t)text.size());
    }
    void close_input() {
        if (input_fd_ >= 0) close(input_fd_);
        input_fd_ = -1;
    }
    int wait() {
        close_input();
        return peer_->wait(kDeadline);
    }
    void signal(int sig) { peer_->kill_now(sig); }
    pid_t pid() const { return peer_->pid(); }
    std::string output() const { return read_file(out_path_); }
    std::string errors() const { return read_file(err_path_); }

    std::vector<Json::Value> records() const { return json_records(output()); }
    Json::Value find(const std::string& kind, const std::string& name, int nth = 0) const {
        return find_record(output(), kind, name, nth);
    }
    Json::Value wait_for(const std::string& kind, const std::string& name, int nth = 0) const {
        Json::Value found;
        wait_until([&] { return !(found = find(kind, name, nth)).isNull(); }, kDeadline);
        return found;
    }

private:
    std::string out_path_, err_path_;
    std::unique_ptr<Peer> peer_;
    int input_fd_ = -1;
};

// Every member of the expected object (given as JSON text) is in actual with
// the same value.
void expect_members(const Json::Value& actual, const std::string& expected_text) {
    Json::Value expected;
    ASSERT_TRUE(Json::Reader().parse(expected_text, expected)) << expected_text;
    for (const std::string& member : expected.getMemberNames())
        EXPECT_EQ(actual[member], expected[member]) << member << " in " << actual.toStyledString();
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override { remove_hac_queues(); }
    void TearDown() override { remove_hac_queues(); }
};

// A tool run to its end as the user nobody, whom the kernel holds to a
// queue's mode as it does not hold root.
struct Finished {
    int status;
    std::string output, errors;
    Json::Value find(const std::string& kind, const std::string& name) const {
        return find_record(output, kind, name);
    }
};

// The child that gives up root's rights is a child of the test, so the test
// keeps them; the tool is started from it as every peer is.
Finished run_as_nobody(const std::vector<std::string>& args, const std::string& input = "") {
    const std::string in_path = temp_path("tool_in"), out_path = temp_path("tool_out"), err_path = temp_path("tool_err");
    std::ofstream(in_path) << input;
    const int status = run_in_child(
        [&] {
            const int in = open(in_path.c_str(), O_RDONLY);
            const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || err < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) return 125;
            const struct passwd* nobody = getpwnam("nobody");
            const uid_t uid = nobody ? nobody->pw_uid : 65534;
            const gid_t gid = nobody ? nobody->pw_gid : 65534;
            if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) return 126;
            Peer tool(HAC_TOOL_PATH, args, out_path);
            return tool.wait(kDeadline);
        },
        2 * kDeadline);
    Finished finished = {status, read_file(out_path), read_file(err_path)};
    for (const std::string& path : {in_path, out_path, err_path}) unlink(path.c_str());
    return finished;
}

// HAC queues that root made before the tool runs as nobody.
class ToolTestForeignQueues : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        if (geteuid() != 0) {
            GTEST_SKIP() << "not running as root: cannot make root's queues and run the tool as nobody";
        }
    }
    // A fragment in the queue stands for a stale request or answer.
    static void create_queue(key_t key, int mode, bool with_fragment) {
        const int id = msgget(key, IPC_CREAT | IPC_EXCL | mode);
        ASSERT_GE(id, 0) << std::hex << key;
        struct {
            long mtype;
            char text[8];
        } fragment = {1, "stale"};
        if (with_fragment) {
            ASSERT_EQ(msgsnd(id, &fragment, 5, IPC_NOWAIT), 0);
        }
    }
    static unsigned long fragments_in(key_t key) {
        struct msqid_ds ds;
        return msgctl(msgget(key, 0), IPC_STAT, &ds) == 0 ? ds.msg_qnum : 0;
    }
};

const char* const kRecordFile =
    R"([{"appid": 5, "orgid": 7, "visib": 3, "prior": 2, "ctrco": 1, "name": "News", "iso": "eng",
         "tranprotocols": [{"pi": 3, "bu": "http://a/", "ip": "i.html"}, {"pi": 1, "pp": 9}],
         "bd": ["http://a/", "http://b/"], "isb": true, "apptype": 16, "profileversion": 257}])";

}  // namespace

TEST(ToolUsage, BadArgumentsExitWithTwoAndSayWhy) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"manager", "--frobnicate"}, "unknown option --frobnicate"},
        {{"manager", "stop one 2"}, "APPID and ORGID must be integers (usage: stop APPID ORGID)"},
        {{"manager", "launch"}, "unknown command 'launch'"},
        {{"manager", "--timeout", "soon", "version"}, "--timeout wants a positive number of seconds"},
        {{"manager", "--timeout", "1e-300", "version"}, "(0.001 to 86400), got '1e-300'"},
        {{"manager", "--timeout", "nan", "version"}, "(0.001 to 86400), got 'nan'"},
        {{"manager", "ids 1 2 7"}, "HASAIT 0 or 1 (usage: ids SVRID AITVER HASAIT)"},
        {{"manager", "stop \" 1\" 2"}, "APPID and ORGID must be integers"},
        {{"browser", "--running", "7"}, "--running wants 0 or 1"},
        {{"log", "set", "HAC", "loud"}, "set wants the level info or error"},
        {{"queues", "--purge", "--remove"}, "give --purge or --remove, not both"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
    };
    for (const auto& c : cases) {
        Tool tool(c.first);
        EXPECT_EQ(tool.wait(), 2) << c.first[0] << " " << c.first[1];
        EXPECT_NE(tool.errors().find(c.second), std::string::npos) << tool.errors();
    }
}

TEST_F(ToolTest, WithoutBrowserCommandsReportMinusThreeAndAnUnservedQueryTimesOut) {
    Tool early({"manager", "--json", "--timeout", "1", "ids 1 2 1", "version"});
    EXPECT_EQ(early.wait(), 1);
    for (const char* name : {"ids", "version"})
        expect_members(early.find("result", name),
                       R"({"status": -3, "reason": "browser not running: request queue does not exist"})");

    // A browser that has gone away leaves its queues: the request waits there.
    msgget(HAC_REQUEST_QUEUE_KEY, IPC_CREAT | 0666);
    msgget(HAC_REPLY_QUEUE_KEY, IPC_CREAT | 0666);
    Tool late({"manager", "--json", "--timeout", "0.5", "version"});
    const pid_t late_pid = late.pid();
    EXPECT_EQ(late.wait(), 3);
    expect_members(late.find("timeout", "version"), R"({"message": "no answer from the browser", "timeout": 0.5})");

    Tool shown({"queues", "--json"});
    ASSERT_EQ(shown.wait(), 0);
    expect_members(shown.find("queue", "request"), R"({"exists": true, "key": "0x92101071"})");
    EXPECT_GE(shown.find("queue", "request")["messages"].asInt(), 1);
    EXPECT_EQ(shown.find("queue", "request")["last_sender_pid"].asInt(), late_pid);

    Tool purged({"queues", "--json", "--purge", "--yes"});
    ASSERT_EQ(purged.wait(), 0);
    EXPECT_GE(purged.find("purged", "request")["fragments"].asInt(), 1);
    Tool after({"queues", "--json"});
    ASSERT_EQ(after.wait(), 0);
    expect_members(after.find("queue", "request"), R"({"exists": true, "messages": 0})");
}

TEST_F(ToolTest, BrowserAndManagerWalkTheCatalogue) {
    const std::string records = temp_path("records") + ".json";
    std::ofstream(records) << kRecordFile;
    Tool browser({"browser", "--json", "--version", "3.4.5", "--errcode", "9", "--running", "0", "--teletext", "1",
                  "--bi-app", "77:88"});
    ASSERT_FALSE(browser.wait_for("ready", "").isNull()) << browser.output() << browser.errors();
    Tool manager({"manager", "--json"});
    ASSERT_FALSE(manager.wait_for("ready", "").isNull()) << manager.output() << manager.errors();

    for (const char* line : {"ids 4097 3 1", "key red up 4", "stop 5 7", "xml \"http://x/ait.xml\" cc", "reset -1 full 30",
                             "destroy-bi 77 88", "errcode 5 7", "teletext -1", "create-bi http://x/bi.html broadcast",
                             "version", "running"})
        manager.send(line);
    manager.send("ait " + records);
    ASSERT_FALSE(browser.wait_for("request", "SendAitAppInfo").isNull()) << browser.output();
    ASSERT_FALSE(manager.wait_for("result", "ait").isNull()) << manager.output();

    const std::vector<std::pair<const char*, const char*>> requests = {
        {"SendAitIDs", R"({"t": 101, "svrid": 4097, "aitver": 3, "hasait": true})"},
        {"StopApp", R"({"t": 103, "appid": 5, "orgid": 7})"},
        {"SendXmlAitUrl", R"({"t": 104, "xml": "http://x/ait.xml", "ccid": "cc"})"},
        {"Reset", R"({"t": 114, "svrid": -1, "type": 3, "timeout": 30})"},
        {"DestroyBIApplication", R"({"t": 113, "appid": 77, "orgid": 88})"},
        {"GetAppErrorCode", R"({"t": 106, "appid": 5, "orgid": 7, "answer": {"errcode": 9}})"},
        {"ShowTeleTextApp", R"({"t": 109, "enabled": -1, "answer": {"teletext": 1}})"},
        {"CreateBIApplication", R"({"t": 111, "url": "http://x/bi.html", "src": 2, "answer": {"appid": 77, "orgid": 88}})"},
        {"GetVersion", R"({"t": 115, "answer": {"major": 3, "minor": 4, "number": 5}})"},
        {"IsAppRunning", R"({"t": 117, "answer": {"isrunning": 0}})"},
    };
    for (const auto& request : requests) expect_members(browser.find("request", request.first), request.second);
    ASSERT_EQ(browser.find("request", "SendAitAppInfo")["num"], 1);
    expect_members(browser.find("request", "SendAitAppInfo")["app"][0],
                   R"({"appid": 5, "orgid": 7, "visib": 3, "prior": 2, "ctrco": 1, "trprn": 2, "isb": true, "bn": 2,
                       "bd": ["http://a/", "http://b/"], "iso": [101, 110, 103], "name": "News", "apptype": 16,
                       "profileversion": 257, "iconloc": "", "serid": 0,
                       "tranprotocol": [{"pi": 3, "bu": "http://a/", "ip": "i.html", "pp": 0},
                                        {"pi": 1, "bu": "", "ip": "", "pp": 9}]})");
    // The library serves no key requests: a key reaches the browser's side and
    // calls nothing there.
    expect_members(manager.find("result", "key"), R"({"status": 0})");
    EXPECT_EQ(browser.records().size(), 1 + requests.size() + 1);

    const std::vector<std::pair<const char*, const char*>> results = {
        {"ids", R"({"status": 0, "reason": "ok"})"},      {"stop", R"({"status": 0})"},
        {"xml", R"({"status": 0})"},                      {"reset", R"({"status": 0})"},
        {"destroy-bi", R"({"status": 0})"},               {"errcode", R"({"status": 0, "errcode": 9})"},
        {"teletext", R"({"status": 0, "teletext": 1})"},  {"create-bi", R"({"status": 0, "appid": 77, "orgid": 88})"},
        {"version", R"({"status": 0, "major": 3, "minor": 4, "number": 5})"},
        {"running", R"({"status": 0, "isrunning": 0})"}, {"ait", R"({"status": 0, "num": 1})"},
    };
    for (const auto& result : results) expect_members(manager.find("result", result.first), result.second);

    browser.send("state 5 7 killed");
    browser.send("dvb error");
    browser.send("xml -2");
    expect_members(manager.wait_for("event", "app_state"), R"({"appid": 5, "orgid": 7, "state": 4})");
    expect_members(manager.wait_for("event", "dvb_ait_status"), R"({"status": 1})");
    expect_members(manager.wait_for("event", "xml_ait_status"), R"({"status": -2})");
    expect_members(browser.wait_for("notification", "xml"), R"({"status": 0, "ait_status": -2})");

    EXPECT_EQ(manager.wait(), 0);
    browser.signal(SIGTERM);
    EXPECT_EQ(browser.wait(), 0);
    expect_members(browser.find("stopped", ""), R"({"by": "SIGTERM"})");
    unlink(records.c_str());
}

TEST_F(ToolTest, LogToolRaisesHacToInfoInAProcessWithTheControlThread) {
    Tool browser({"browser", "--json"});
    ASSERT_FALSE(browser.wait_for("ready", "").isNull()) << browser.errors();
    Tool manager({"manager", "--json", "--log-control"});
    ASSERT_FALSE(manager.wait_for("ready", "").isNull()) << manager.errors();
    manager.send("version");
    ASSERT_FALSE(manager.wait_for("result", "version").isNull());
    EXPECT_EQ(manager.output().find("Enter!"), std::string::npos) << "HAC logs at the error level by default";

    Tool raise({"log", "--json", "set", "HAC", "info", "--pid", std::to_string(manager.pid())});
    ASSERT_EQ(raise.wait(), 0) << raise.output() << raise.errors();
    expect_members(raise.find("result", "set"), R"({"modules": ["HAC"], "level": "info", "changed": "HAC"})");
    EXPECT_EQ(raise.find("result", "set")["pid"].asInt(), manager.pid());

    manager.send("version");
    ASSERT_FALSE(manager.wait_for("result", "version", 1).isNull());
    const std::string output = manager.output();
    EXPECT_NE(output.find("Function: Vetu_HAC_Client_GetVersion() Enter!"), std::string::npos) << output;
    EXPECT_NE(output.find("Function: Vetu_HAC_Client_GetVersion() Leave!"), std::string::npos) << output;

    Tool listed({"log", "--json", "list"});
    ASSERT_EQ(listed.wait(), 0);
    expect_members(listed.find("process", ""), R"({"modules": ["HAC"]})");
    Tool cleared({"log", "--json", "clear"});
    ASSERT_EQ(cleared.wait(), 0) << cleared.output();
    expect_members(cleared.find("result", "clear"), R"({"modules": []})");

    EXPECT_EQ(manager.wait(), 0);
    browser.signal(SIGINT);
    EXPECT_EQ(browser.wait(), 0);
}

TEST_F(ToolTest, ALoneSideSaysWhatIsMissingAndABadInputLineDoesNotStopIt) {
    Tool browser({"browser", "--json", "--quit-on-eof"});
    ASSERT_FALSE(browser.wait_for("ready", "").isNull()) << browser.errors();
    browser.send("dvb sideways");
    browser.send("state 1 2 loaded");
    EXPECT_EQ(browser.wait(), 0);
    EXPECT_NE(browser.find("error", "")["message"].asString().find("usage: dvb STATUS"), std::string::npos);
    expect_members(browser.find("notification", "state"),
                   R"({"status": -3, "reason": "manager not running: notification queue does not exist"})");
    expect_members(browser.find("stopped", ""), R"({"by": "end of input"})");

    Tool manager({"manager", "--json"});
    manager.send("launch 3");
    manager.send("teletext");
    EXPECT_EQ(manager.wait(), 2);
    EXPECT_NE(manager.find("error", "", 0)["message"].asString().find("unknown command 'launch'"), std::string::npos);
    EXPECT_NE(manager.find("error", "", 1)["message"].asString().find("usage: teletext ENABLED"), std::string::npos);
}

TEST_F(ToolTest, AWordIsReadWholeNulBytesIncluded) {
    struct Case {
        std::vector<std::string> args;
        std::string line, error, not_sent;
    };
    const std::vector<Case> cases = {
        {{"manager", "--json"}, std::string("stop \0garbage 17", 16), "APPID and ORGID must be integers", "result"},
        {{"browser", "--json", "--quit-on-eof"}, std::string("state 1 1 \0\xff", 12), "usage: state APPID ORGID STATE",
         "notification"},
        {{"manager", "--json"}, std::string("ait /dev/null\0.json", 19), "the file name holds a NUL byte", "result"},
    };
    for (const Case& c : cases) {
        Tool tool(c.args);
        tool.send(c.line);
        EXPECT_EQ(tool.wait(), c.args[0] == "manager" ? 2 : 0) << tool.output();
        EXPECT_NE(tool.find("error", "")["message"].asString().find(c.error), std::string::npos) << tool.output();
        EXPECT_TRUE(tool.find(c.not_sent, "").isNull()) << tool.output();
    }
}

TEST_F(ToolTest, ALineOverTheCapIsSkippedWithAnErrorAndTheNextLinesRun) {
    struct Case {
        std::vector<std::string> args;
        std::string command, kind, name;
        int status;
    };
    const std::vector<Case> cases = {
        {{"manager", "--json"}, "stop 1 2", "result", "stop", 2},
        {{"browser", "--json", "--quit-on-eof"}, "dvb ok", "notification", "dvb", 0},
    };
    const size_t cap = 65536;
    for (const Case& c : cases) {
        Tool tool(c.args);
        tool.send("#" + std::string(cap - 1, 'a'));  // at the cap: a comment
        tool.send(std::string(cap + 1, 'b'));
        tool.send(c.command);
        tool.send_raw(c.command + " " + std::string(4 * cap, 'c'));  // no newline: the end of input ends it
        EXPECT_EQ(tool.wait(), c.status) << tool.output();
        for (int nth : {0, 1})
            EXPECT_NE(tool.find("error", "", nth)["message"].asString().find("line over 65536 bytes skipped"),
                      std::string::npos)
                << tool.output().substr(0, 2000);
        EXPECT_TRUE(tool.find("error", "", 2).isNull());
        EXPECT_FALSE(tool.find(c.kind, c.name).isNull()) << tool.output().substr(0, 2000);
    }
}

TEST_F(ToolTest, ARecordFileTheBrowserCouldNotDecodeIsRefusedAndNothingIsSent) {
    const std::string file = temp_path("records") + ".json";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"appid": "4660", "orgid": 17})", R"(: record 0: member "appid" has a kind the record does not take ("4660"))"},
        {R"([{"appid": 1}, {"tranprotocols": [{"pi": 1}, {"pi": 2, "bu": {"a": 1}}]}])",
         R"(: record 1: member "tranprotocols[1].bu" has a kind)"},
        {std::string(1001, '[') + std::string(1001, ']'), " nests deeper than 16 levels"},
        {std::string(1 << 20, ' ') + "{}", " is over 1048576 bytes"},
        {"", " is over 1048576 bytes"},  // /dev/zero
    };
    for (const auto& c : cases) {
        const std::string path = c.first.empty() ? "/dev/zero" : file;
        if (!c.first.empty()) std::ofstream(file) << c.first;
        Tool manager({"manager", "ait " + path});
        EXPECT_EQ(manager.wait(), 2) << c.second;
        EXPECT_NE(manager.errors().find(path + c.second), std::string::npos) << manager.errors();
    }
    // Refused before the client started: it made no queue, sent nothing.
    for (key_t key : hac_queue_keys()) EXPECT_FALSE(queue_exists(key));
    unlink(file.c_str());
}

TEST_F(ToolTestForeignQueues, BrowserThatMayNotUseTheQueuesSaysWhyInsteadOfReady) {
    for (key_t key : hac_queue_keys()) create_queue(key, 0600, false);
    const Finished browser = run_as_nobody({"browser", "--json", "--quit-on-eof"});
    EXPECT_EQ(browser.status, 1) << browser.output << browser.errors;
    EXPECT_TRUE(browser.find("ready", "").isNull()) << browser.output;
    EXPECT_EQ(browser.find("error", "")["message"].asString(),
              "permission denied on the request queue (0x92101071): owner root (uid 0), mode 0600; "
              "the browser cannot serve");
}

TEST_F(ToolTestForeignQueues, QueuesToolSaysPermissionDeniedAndChangesNothing) {
    for (key_t key : hac_queue_keys()) create_queue(key, 0600, true);
    const std::string denied = R"("error": "permission denied: owner root (uid 0), mode 0600")";
    const std::vector<std::tuple<std::vector<std::string>, std::string, std::string>> cases = {
        {{"queues", "--json"}, "queue", "{" + denied + R"(, "owner_uid": 0, "mode": "0600", "exists": true})"},
        {{"queues", "--json", "--purge", "--yes"}, "purged", "{" + denied + R"(, "fragments": 0})"},
        {{"queues", "--json", "--remove", "--yes"}, "removed", "{" + denied + R"(, "removed": false})"},
    };
    for (const auto& c : cases) {
        const Finished run = run_as_nobody(std::get<0>(c));
        EXPECT_EQ(run.status, 1) << run.output << run.errors;
        for (const char* name : {"request", "reply", "notification"})
            expect_members(run.find(std::get<1>(c), name), std::get<2>(c));
    }
    for (key_t key : hac_queue_keys()) EXPECT_EQ(fragments_in(key), 1u);
}

TEST_F(ToolTestForeignQueues, AQueueThatMayNotBeUsedIsToldFromAMissingOne) {
    const std::string owner = ": owner root (uid 0), mode 0600";
    // The manager's own notification queue is root's: it cannot start.
    for (key_t key : hac_queue_keys()) create_queue(key, 0600, key == (key_t)HAC_REPLY_QUEUE_KEY);
    const Finished refused = run_as_nobody({"manager", "--json", "version"});
    EXPECT_EQ(refused.status, 1) << refused.output << refused.errors;
    EXPECT_EQ(refused.find("result", "initialize")["reason"].asString(),
              "refused: permission denied on the notification queue (0x92101073)" + owner);

    // It makes its notification queue, but the browser's queues are root's.
    remove_queue(HAC_NOTIFICATION_QUEUE_KEY);
    const Finished manager = run_as_nobody({"manager", "--json", "version"});
    EXPECT_EQ(manager.status, 1) << manager.output << manager.errors;
    EXPECT_EQ(manager.find("result", "version")["reason"].asString(),
              "refused: permission denied on the request queue (0x92101071)" + owner);
    EXPECT_NE(manager.find("warning", "queue_denied")["message"].asString().find(
                  "the reply queue cannot be counted: permission denied on the reply queue"),
              std::string::npos)
        << manager.output;

    // The browser serves, but the manager's notification queue is root's.
    remove_hac_queues();
    create_queue(HAC_REQUEST_QUEUE_KEY, 0666, false);
    create_queue(HAC_REPLY_QUEUE_KEY, 0666, false);
    create_queue(HAC_NOTIFICATION_QUEUE_KEY, 0600, false);
    const Finished browser = run_as_nobody({"browser", "--json", "--quit-on-eof"}, "state 1 1 started\n");
    EXPECT_EQ(browser.status, 0) << browser.output << browser.errors;
    EXPECT_EQ(browser.find("notification", "state")["reason"].asString(),
              "refused: permission denied on the notification queue (0x92101073)" + owner);
}
