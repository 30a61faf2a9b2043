// The hac tool as its users run it: real processes, real queues, the real
// control port. Every wait is on a line of output, with a deadline. hac
// monitor traces a real browser and a real application manager, hac queues
// --peek looks into real queues, hac send puts a raw message in front of a
// real peer.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "hac_message_type.h"
#include "test_support.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"

using namespace hac_test;

// Helpers of the tool tests: a hac process with its input on a pipe and its
// output in files, its JSON records, and a run as the user nobody.
namespace {



constexpr std::chrono::milliseconds kDeadline(10000);

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

}  // namespace

namespace {

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
        {{"queues", "--peek", "--purge"}, "--peek changes nothing"},
        {{"monitor", "--pid", "0"}, "--pid wants a process id, got '0'"},
        {{"send"}, "give the text as one argument, or --file FILE"},
        {{"send", "--file", "/dev/zero"}, "/dev/zero is over 1048576 bytes"},
        {{"send", "--file", "/nonexistent/message.json"}, "cannot read /nonexistent/message.json"},
        {{"send", "--kind", "gossip", "{}"}, "--kind wants message, request, reply, no-reply, stop or a number"},
        {{"send", "--queue", "reply", "--kind", "request", "{}"}, "a request goes on the request queue"},
        {{"send", "--mtype", "0", "{}"}, "--mtype wants a message type from 1"},
        {{"send", "--token", "0x123456789", "{}"}, "--token wants a 32-bit number"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
    };
    for (const auto& c : cases) {
        Tool tool(c.first);
        EXPECT_EQ(tool.wait(), 2) << c.first[0] << " " << (c.first.size() > 1 ? c.first[1] : "");
        EXPECT_NE(tool.errors().find(c.second), std::string::npos) << tool.errors();
    }
}

TEST(ToolUsage, VersionNamesTheToolAndTheLibrary) {
    Tool tool({"--version"});
    ASSERT_EQ(tool.wait(), 0);
    EXPECT_EQ(tool.output(), std::string("hac ") + HBBTV_HAC_VERSION_STRING + " (libhbbtv_hac " +
                                 vetu_hac_library_version() + ")\n");
}

TEST_F(ToolTest, WithoutBrowserCommandsReportMinusThreeAndAnUnservedQueryTimesOutLeavingNothing) {
    Tool early({"manager", "--json", "--timeout", "1", "ids 1 2 1", "version"});
    EXPECT_EQ(early.wait(), 1);
    for (const char* name : {"ids", "version"})
        expect_members(early.find("result", name),
                       R"({"status": -3, "reason": "browser not running: request queue does not exist"})");

    // A browser that has gone away leaves its queues: the query reaches the
    // time limit and takes its request back, leaving nothing to be served.
    const int request_queue = msgget(HAC_REQUEST_QUEUE_KEY, IPC_CREAT | 0666);
    msgget(HAC_REPLY_QUEUE_KEY, IPC_CREAT | 0666);
    Tool late({"manager", "--json", "--timeout", "0.5", "version"});
    const pid_t late_pid = late.pid();
    EXPECT_EQ(late.wait(), 3);
    expect_members(late.find("timeout", "version"), R"({"message": "no answer from the browser", "timeout": 0.5})");

    Tool shown({"queues", "--json"});
    ASSERT_EQ(shown.wait(), 0);
    expect_members(shown.find("queue", "request"), R"({"exists": true, "key": "0x92101071", "messages": 0})");
    EXPECT_EQ(shown.find("queue", "request")["last_sender_pid"].asInt(), late_pid);

    // What another writer left there is purged.
    put_fragment(request_queue, HAC_IPC_MTYPE, {IPC_KIND_REQUEST, 1, 1, 1}, "x");
    Tool purged({"queues", "--json", "--purge", "--yes"});
    ASSERT_EQ(purged.wait(), 0);
    EXPECT_EQ(purged.find("purged", "request")["fragments"].asInt(), 1);
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
    EXPECT_EQ(manager.errors().find("Enter!"), std::string::npos) << "HAC logs at the error level by default";

    Tool raise({"log", "--json", "set", "HAC", "info", "--pid", std::to_string(manager.pid())});
    ASSERT_EQ(raise.wait(), 0) << raise.output() << raise.errors();
    expect_members(raise.find("result", "set"), R"({"modules": ["HAC"], "level": "info", "changed": "HAC"})");
    EXPECT_EQ(raise.find("result", "set")["pid"].asInt(), manager.pid());

    // With --json the library's lines go to standard error: standard output
    // holds JSON objects only.
    manager.send("version");
    ASSERT_FALSE(manager.wait_for("result", "version", 1).isNull());
    const std::string logged = manager.errors();
    EXPECT_NE(logged.find("Function: Vetu_HAC_Client_GetVersion() Enter!"), std::string::npos) << logged;
    EXPECT_NE(logged.find("Function: Vetu_HAC_Client_GetVersion() Leave!"), std::string::npos) << logged;
    for (const std::string& line : split_lines(manager.output())) {
        Json::Value record;
        EXPECT_TRUE(Json::Reader().parse(line, record) && record.isObject()) << line;
    }

    Tool listed({"log", "--json", "list"});
    ASSERT_EQ(listed.wait(), 0);
    expect_members(listed.find("process", ""),
                   R"({"modules": ["HAC"], "levels": {"HAC": "info"}, "other_modules": "error"})");
    // Setting the error level takes the module out of the table, where
    // every other module is at the error level too.
    Tool lowered({"log", "--json", "set", "HAC", "error"});
    ASSERT_EQ(lowered.wait(), 0) << lowered.output();
    expect_members(lowered.find("result", "set"), R"({"modules": [], "levels": {}, "level": "error"})");
    Tool cleared({"log", "--json", "clear"});
    ASSERT_EQ(cleared.wait(), 0) << cleared.output();
    expect_members(cleared.find("result", "clear"), R"({"modules": []})");

    EXPECT_EQ(manager.wait(), 0);
    browser.signal(SIGINT);
    EXPECT_EQ(browser.wait(), 0);
}

namespace {

// A thread of the process waits in msgrcv: where it sleeps, or, where the
// kernel does not name that, its system call.
bool waits_in_msgrcv(pid_t pid) {
    const std::string tasks_dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* tasks = opendir(tasks_dir.c_str());
    if (tasks == nullptr) return false;
    bool waits = false;
    while (const dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.') continue;
        const std::string dir = tasks_dir + "/" + task->d_name;
        long number = -1;
        std::istringstream(read_file(dir + "/syscall")) >> number;
        waits = waits || read_file(dir + "/wchan").find("msgrcv") != std::string::npos || number == SYS_msgrcv;
    }
    closedir(tasks);
    return waits;
}

}  // namespace

TEST_F(ToolTest, ASecondBrowserOrManagerWarnsNamingTheProcessThatServesItsQueue) {
    struct Case {
        std::vector<std::string> first, second;
        std::string warning;
    };
    const std::vector<Case> cases = {
        {{"browser", "--json"}, {"browser", "--json", "--quit-on-eof"},
         "hac browser: warning: the request queue (0x92101071) is served already by pid "},
        {{"manager", "--json"}, {"manager", "--json", "--timeout", "0.5", "ids 1 1 1"},
         "hac manager: warning: the notification queue (0x92101073) is served already by pid "},
    };
    for (const Case& c : cases) {
        Tool first(c.first);
        ASSERT_FALSE(first.wait_for("ready", "").isNull()) << first.errors();
        ASSERT_TRUE(wait_until([&] { return waits_in_msgrcv(first.pid()); }, kDeadline));
        Tool second(c.second);
        second.wait();
        // The name is the process's own (qemu-arm under emulation).
        EXPECT_NE(second.errors().find(c.warning + std::to_string(first.pid()) + " ("), std::string::npos)
            << second.errors();
        EXPECT_EQ(first.errors().find("warning"), std::string::npos) << first.errors();
        first.signal(SIGTERM);
        EXPECT_EQ(first.wait(), 0);
        remove_hac_queues();
    }
}

TEST_F(ToolTest, ASignalDuringACallEndsItWith130ForSigintAnd143ForSigterm) {
    // Queues without a browser: a query waits for ever.
    msgget(HAC_REQUEST_QUEUE_KEY, IPC_CREAT | 0666);
    msgget(HAC_REPLY_QUEUE_KEY, IPC_CREAT | 0666);
    const int request_queue = msgget(HAC_REQUEST_QUEUE_KEY, 0);
    struct Case {
        std::vector<std::string> args;
        int sig, status;
    };
    const std::vector<Case> cases = {
        {{"manager", "--json", "--timeout", "600", "version"}, SIGINT, 130},
        {{"manager", "--json", "--timeout", "600", "version"}, SIGTERM, 143},
        {{"send", "--json", "--kind", "request", "--timeout", "600", R"({"t": 115})"}, SIGTERM, 143},
    };
    for (const Case& c : cases) {
        const size_t before = queued(request_queue);
        Tool tool(c.args);
        ASSERT_TRUE(wait_until([&] { return queued(request_queue) > before; }, kDeadline)) << tool.errors();
        tool.signal(c.sig);
        EXPECT_EQ(tool.wait(), c.status) << tool.output() << tool.errors();
        EXPECT_EQ(tool.find("interrupted", "")["by"].asString(), c.sig == SIGINT ? "SIGINT" : "SIGTERM");
    }
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
const char* const kThreeRecordFile =
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
    std::ofstream(records) << kThreeRecordFile;
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
