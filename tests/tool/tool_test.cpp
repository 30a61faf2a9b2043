// The hac tool as its users run it: real processes on the real queues and
// the real control port. First one side at a time or none (bad usage, bad
// input lines, queues left behind or of another user, a second browser or
// manager), then both: the message catalogue walked while hac monitor traces
// them and hac send and hac log work beside them. Every wait is on a line of
// output, with a deadline.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/msg.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "hac_catalogue.h"
#include "recording_halves.h"
#include "test_support.h"

using namespace hac_test;

namespace {

constexpr std::chrono::milliseconds kDeadline(10000);

// Every member of the expected object (given as JSON text) is in actual with
// the same value.
void expect_members(const Json::Value& actual, const std::string& expected) {
    EXPECT_TRUE(has_members(actual, parse_json(expected))) << expected << " in " << one_line(actual);
}

// Whether text holds part; both are shown when it does not.
::testing::AssertionResult holds(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in: " << text.substr(0, 4000);
}

struct AsNobody {};

class Tool {
public:
    // A hac process with its standard input on a pipe the test writes, its
    // standard output and error in files the test reads.
    explicit Tool(const std::vector<std::string>& args) {
        int input[2];
        if (pipe2(input, O_CLOEXEC) != 0) return;
        const int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        // The child inherits fds 0 and 2 as they are at the fork inside Peer.
        const int saved_in = dup(STDIN_FILENO), saved_err = dup(STDERR_FILENO);
        dup2(input[0], STDIN_FILENO);
        dup2(err, STDERR_FILENO);
        peer_ = std::make_unique<Peer>(HAC_TOOL_PATH, args, out_);
        dup2(saved_in, STDIN_FILENO);
        dup2(saved_err, STDERR_FILENO);
        for (int fd : {saved_in, saved_err, err, input[0]}) close(fd);
        input_ = input[1];
    }
    // A hac process run to its end on this input as the user nobody, whom
    // the kernel holds to a queue's mode as it does not hold root. The child
    // that gives up root's rights is a child of the test, so the test keeps
    // them; the tool is started from it as every peer is.
    Tool(AsNobody, const std::vector<std::string>& args, const std::string& input = "") {
        const std::string in = temp_path("tool_in");
        std::ofstream(in) << input;
        status_ = run_in_child(
            [&] {
                const struct passwd* nobody = getpwnam("nobody");
                if (!freopen(in.c_str(), "r", stdin) || !freopen(err_.c_str(), "w", stderr) || nobody == nullptr ||
                    setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
                    return 125;
                return Peer(HAC_TOOL_PATH, args, out_).wait(kDeadline);
            },
            2 * kDeadline);
        unlink(in.c_str());
    }
    ~Tool() {
        if (input_ >= 0) close(input_);
        unlink(out_.c_str());
        unlink(err_.c_str());
    }

    // A line; with end "" a text that only the end of input ends.
    void send(const std::string& line, const char* end = "\n") {
        const std::string text = line + end;
        ASSERT_EQ(write(input_, text.data(), text.size()), (ssize_t)text.size());
    }
    // Closes its input and waits for its exit status.
    int wait() {
        if (input_ >= 0) close(input_);
        input_ = -1;
        return peer_ ? peer_->wait(kDeadline) : status_;
    }
    void signal(int sig) { peer_->kill_now(sig); }
    pid_t pid() const { return peer_->pid(); }
    std::string output() const { return read_file(out_); }
    std::string errors() const { return read_file(err_); }
    bool prints(const std::string& text) const {
        return wait_until([&] { return output().find(text) != std::string::npos; }, kDeadline);
    }

    // Its JSON records of this kind (every kind when empty), in order; the
    // library's own log lines are not JSON.
    std::vector<Json::Value> records(const std::string& kind = "") const {
        std::vector<Json::Value> found;
        for (const std::string& line : split_lines(output())) {
            const Json::Value record = parse_json(line);
            if (record.isObject() && (kind.empty() || record["kind"] == kind)) found.push_back(record);
        }
        return found;
    }
    // The nth record (from 0) of this kind and name (any name when empty);
    // null when there is none.
    Json::Value find(const std::string& kind, const std::string& name, int nth = 0) const {
        for (const Json::Value& record : records(kind))
            if ((name.empty() || record["name"] == name) && nth-- == 0) return record;
        return Json::Value();
    }
    Json::Value wait_for(const std::string& kind, const std::string& name, int nth = 0) const {
        Json::Value found;
        wait_until([&] { return !(found = find(kind, name, nth)).isNull(); }, kDeadline);
        return found;
    }

private:
    std::string out_ = temp_path("tool_out"), err_ = temp_path("tool_err");
    std::unique_ptr<Peer> peer_;
    int input_ = -1, status_ = -1;
};

// Runs the tool to its end, which is to give this status and print this
// text (on standard output or error).
void expect_end(const std::vector<std::string>& args, int status, const std::string& text) {
    Tool tool(args);
    EXPECT_EQ(tool.wait(), status) << args[0] << " " << args.back();
    EXPECT_TRUE(holds(tool.output() + tool.errors(), text));
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override { remove_hac_queues(); }
    void TearDown() override { remove_hac_queues(); }
};

// Whether this process may trace a child of its own. Under user-mode
// emulation (qemu-user) ptrace is not there at all, and hac monitor cannot
// run.
bool can_trace() {
    const pid_t child = fork();
    if (child == 0) _exit(pause());
    if (child < 0) return false;
    const bool seized = ptrace(PTRACE_SEIZE, child, nullptr, nullptr) == 0;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return seized;
}

// A thread of the process waits in msgrcv: where it sleeps, or, where the
// kernel does not name that, its system call. The entry "." names no thread
// and ".." the process's first one.
bool waits_in_msgrcv(pid_t pid) {
    const std::string tasks_dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* tasks = opendir(tasks_dir.c_str());
    if (tasks == nullptr) return false;
    bool waits = false;
    while (const dirent* task = readdir(tasks)) {
        const std::string dir = tasks_dir + "/" + task->d_name;
        const long number = strtol(read_file(dir + "/syscall").c_str(), nullptr, 10);
        waits = waits || read_file(dir + "/wchan").find("msgrcv") != std::string::npos || number == SYS_msgrcv;
    }
    closedir(tasks);
    return waits;
}

// Three records: the message takes two fragments.
const char* const kRecordFile =
    R"([{"appid": 5, "orgid": 7, "visib": 3, "prior": 2, "ctrco": 1, "name": "News", "iso": "eng",
         "tranprotocols": [{"pi": 3, "bu": "http://a/", "ip": "i.html"}, {"pi": 1, "pp": 9}],
         "bd": ["http://a/", "http://b/"], "isb": true, "apptype": 16, "profileversion": 257},
        {"appid": 6, "orgid": 7, "name": "Weather"}, {"appid": 8, "orgid": 7, "name": "Sport"}])";

// Each message of the catalogue but the replies, which their queries bring:
// the line that makes it (a command of the manager, a notification line of
// the browser, or the text hac send puts on the queue), the members its
// receiver prints (the browser prints no key) and its sender's record (a
// query's result also carries the answer).
struct Step {
    std::string line, received, sent = R"({"status": 0, "reason": "ok"})";
};

// Starts a monitor and waits until it names both processes with their roles.
std::unique_ptr<Tool> watching(const std::vector<std::string>& args, pid_t browser, pid_t manager) {
    auto monitor = std::make_unique<Tool>(args);
    const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
    const auto named = [&](pid_t pid, const std::string& role) {
        if (!json) return monitor->prints(role + " " + std::to_string(pid) + " (hac, ");
        const Json::Value watching = monitor->wait_for("watching", "");
        for (const Json::Value& process : watching["processes"])
            if (process["pid"] == pid && process["role"] == role) return true;
        return false;
    };
    EXPECT_TRUE(named(browser, "browser") && named(manager, "manager")) << monitor->output() << monitor->errors();
    return monitor;
}

}  // namespace

TEST_F(ToolTest, BadArgumentsExitWithTwoSayWhyAndMakeNoQueue) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"manager", "--frobnicate"}, "unknown option --frobnicate"},
        {{"manager", "stop one 2"}, "APPID and ORGID must be integers (usage: stop APPID ORGID)"},
        {{"manager", "--timeout", "soon", "version"}, "--timeout wants a positive number of seconds"},
        {{"manager", "--timeout", "1e-300", "version"}, "(0.001 to 86400), got '1e-300'"},
        {{"manager", "--timeout", "nan", "version"}, "(0.001 to 86400), got 'nan'"},
        {{"manager", "ids 1 2 7"}, "HASAIT 0 or 1 (usage: ids SVRID AITVER HASAIT)"},
        {{"manager", "stop \" 1\" 2"}, "APPID and ORGID must be integers"},
        {{"manager", "ait /dev/zero"}, "/dev/zero is over 1048576 bytes"},
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
    for (const auto& c : cases) expect_end(c.first, 2, c.second);
    // Record files the browser's decoder would refuse.
    const std::string file = temp_path("records") + ".json";
    const std::vector<std::pair<std::string, std::string>> record_files = {
        {R"({"appid": "4660"})", R"(: record 0: member "appid" has a kind the record does not take ("4660"))"},
        {R"([{"appid": 1}, {"tranprotocols": [{"pi": 1}, {"pi": 2, "bu": {"a": 1}}]}])",
         R"(: record 1: member "tranprotocols[1].bu" has a kind)"},
        {std::string(1001, '[') + std::string(1001, ']'), " nests deeper than 16 levels"},
        {std::string(1 << 20, ' ') + "{}", " is over 1048576 bytes"},
    };
    for (const auto& c : record_files) {
        std::ofstream(file) << c.first;
        expect_end({"manager", "ait " + file}, 2, file + c.second);
    }
    unlink(file.c_str());
    // Each was refused before a client or server started: no queue was made.
    for (key_t key : hac_queue_keys()) EXPECT_FALSE(queue_exists(key));
}

TEST_F(ToolTest, WithoutABrowserTheToolsSayWhatIsMissingAndWhatWaits) {
    expect_end({"monitor", "--json"}, 1, "no browser or application manager found");
    expect_end({"send", "--json", R"({"t": 103})"}, 1,
               "the request queue (0x92101071) does not exist: no browser has made it");
    // No process has the pid pid_max, 2^22 at most. hac --version names the
    // tool and the library.
    expect_end({"monitor", "--json", "--pid", "4194304"}, 1, R"("message":"no process 4194304")");
    expect_end({"--version"}, 0,
               std::string("hac ") + HBBTV_HAC_VERSION_STRING + " (libhbbtv_hac " + vetu_hac_library_version() + ")\n");
    // A process of another IPC namespace has other queues under the same
    // ids: it is no peer the monitor could decode.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t foreign = fork();
    if (foreign == 0) {
        const char made = unshare(CLONE_NEWIPC) == 0;
        if (write(ready[1], &made, 1) == 1) pause();
        _exit(0);
    }
    char made = 0;
    ASSERT_EQ(read(ready[0], &made, 1), 1);
    if (made)
        expect_end({"monitor", "--json", "--pid", std::to_string(foreign)}, 1, " uses another IPC namespace");
    kill(foreign, SIGKILL);
    waitpid(foreign, nullptr, 0);
    close(ready[0]);
    close(ready[1]);

    // A browser that has gone away leaves its queues: the query reaches the
    // time limit and takes its request back, leaving nothing to be served.
    const int request_queue = msgget(HAC_REQUEST_QUEUE_KEY, IPC_CREAT | 0666);
    msgget(HAC_REPLY_QUEUE_KEY, IPC_CREAT | 0666);
    Tool late({"manager", "--json", "--timeout", "0.5", "version"});
    const pid_t late_pid = late.pid();
    EXPECT_EQ(late.wait(), 3);
    expect_members(late.find("timeout", "version"), R"({"message": "no answer from the browser", "timeout": 0.5})");
    EXPECT_EQ(queued(request_queue), 0u);
    EXPECT_EQ(last_sender(request_queue), late_pid);

    // A request nobody took, and the first of two fragments of a
    // notification whose sender died: a peek shows them and takes nothing (a
    // purge then finds them).
    put_payload(request_queue, 1, IPC_KIND_REQUEST, R"({"t": 115})", 0x5678);
    const int notifications = msgget(HAC_NOTIFICATION_QUEUE_KEY, IPC_CREAT | 0666);
    put_payload(notifications, 1, IPC_KIND_MESSAGE, std::string(1500, 'n'), 0x1234, 1, 1);
    Tool peek({"queues", "--json", "--peek", "--raw"});
    ASSERT_EQ(peek.wait(), 0) << peek.output() << peek.errors();
    expect_members(peek.find("waiting", "GetVersion"), R"({"queue": "request", "fragments": [0], "mtype": 1, "t": 115,
                                                           "transfer": "request", "complete": true,
                                                           "token": "0x00005678"})");
    expect_members(peek.find("queue", "request"), R"({"exists": true, "key": "0x92101071", "messages": 1})");
    EXPECT_EQ(peek.find("queue", "request")["last_sender_pid"].asInt(), getpid());
    expect_members(peek.find("waiting", "(incomplete payload)"),
                   R"({"queue": "notification", "fragments": [0], "transfer": "message", "token": "0x00001234",
                       "bytes": 1500, "present": 1025, "complete": false})");
    Tool purged({"queues", "--json", "--purge", "--yes"});
    ASSERT_EQ(purged.wait(), 0);
    for (const char* name : {"request", "notification"}) EXPECT_EQ(purged.find("purged", name)["fragments"], 1) << name;
    EXPECT_EQ(queued(request_queue) + queued(notifications), 0u);

    // A signal while a call waits for ever ends it with 128 and its number.
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{"manager", "--json", "--timeout", "600", "version"}, SIGINT},
        {{"manager", "--json", "--timeout", "600", "version"}, SIGTERM},
        {{"send", "--json", "--kind", "request", "--timeout", "600", R"({"t": 115})"}, SIGTERM},
    };
    for (const auto& c : cases) {
        const size_t before = queued(request_queue);
        Tool tool(c.first);
        ASSERT_TRUE(wait_until([&] { return queued(request_queue) > before; }, kDeadline)) << tool.errors();
        tool.signal(c.second);
        EXPECT_EQ(tool.wait(), 128 + c.second) << tool.output() << tool.errors();
        EXPECT_EQ(tool.find("interrupted", "")["by"], c.second == SIGINT ? "SIGINT" : "SIGTERM");
    }
}

TEST_F(ToolTest, BadInputLinesAreSkippedWithAnErrorAndTheNextLinesRun) {
    // Each side alone: its bad lines with the errors they get, then lines
    // over the cap, then a good line, which says what is missing.
    const std::vector<std::tuple<std::string, std::string, std::string>> bad_lines = {
        {"manager", "launch 3", "unknown command 'launch'"},
        {"manager", "teletext", "usage: teletext ENABLED"},
        {"manager", std::string("stop \0garbage 17", 16), "APPID and ORGID must be integers"},
        {"manager", std::string("ait /dev/null\0.json", 19), "the file name holds a NUL byte"},
        {"browser", "dvb sideways", "usage: dvb STATUS"},
        {"browser", std::string("state 1 1 \0\xff", 12), "usage: state APPID ORGID STATE"},
    };
    struct Side {
        std::vector<std::string> args;
        std::string good_line, reason;
    };
    const std::vector<Side> sides = {
        {{"manager", "--json"}, "stop 1 2", "browser not running: request queue does not exist"},
        {{"browser", "--json", "--quit-on-eof"}, "dvb ok", "manager not running: notification queue does not exist"},
    };
    const size_t cap = 65536;
    for (const Side& c : sides) {
        remove_hac_queues();
        Tool tool(c.args);
        std::vector<std::string> errors;
        for (const auto& bad : bad_lines) {
            if (std::get<0>(bad) != c.args[0]) continue;
            tool.send(std::get<1>(bad));
            errors.push_back(std::get<2>(bad));
        }
        tool.send("#" + std::string(cap - 1, 'a'));  // at the cap: a comment
        tool.send(std::string(cap + 1, 'b'));
        tool.send(c.good_line);
        tool.send(c.good_line + " " + std::string(4 * cap, 'c'), "");
        EXPECT_EQ(tool.wait(), c.args[0] == "browser" ? 0 : 2);

        errors.insert(errors.end(), 2, "line over 65536 bytes skipped");
        const std::vector<Json::Value> printed = tool.records("error");
        ASSERT_EQ(printed.size(), errors.size()) << tool.output().substr(0, 4000);
        for (size_t i = 0; i < errors.size(); ++i) EXPECT_TRUE(holds(printed[i]["message"].asString(), errors[i]));
        // The good line alone was sent.
        const std::vector<Json::Value> sent = tool.records(c.args[0] == "browser" ? "notification" : "result");
        ASSERT_EQ(sent.size(), 1u) << tool.output().substr(0, 4000);
        expect_members(sent[0], R"({"status": -3, "reason": ")" + c.reason + "\"}");
        if (c.args[0] == "browser") expect_members(tool.find("stopped", ""), R"({"by": "end of input"})");
    }
}

TEST_F(ToolTest, QueuesOfAnotherUserAreRefusedSayingWhyAndToldFromMissingOnes) {
    if (geteuid() != 0) GTEST_SKIP() << "not running as root: cannot make root's queues and run the tool as nobody";
    // A fragment in a queue stands for a stale request or answer.
    const auto roots_queue = [](key_t key, int mode, bool stale) {
        const int id = msgget(key, IPC_CREAT | IPC_EXCL | mode);
        ASSERT_GE(id, 0) << std::hex << key;
        if (stale) put_fragment(id, HAC_IPC_MTYPE, {IPC_KIND_REQUEST, 1, 1, 1}, "x");
    };
    for (key_t key : hac_queue_keys()) roots_queue(key, 0600, true);
    const std::string owner = ": owner root (uid 0), mode 0600";
    Tool browser(AsNobody(), {"browser", "--json", "--quit-on-eof"});
    EXPECT_EQ(browser.wait(), 1) << browser.output() << browser.errors();
    EXPECT_TRUE(browser.find("ready", "").isNull()) << browser.output();
    EXPECT_EQ(browser.find("error", "")["message"],
              "permission denied on the request queue (0x92101071)" + owner + "; the browser cannot serve");

    const std::string denied = R"("error": "permission denied)" + owner + "\"";
    const std::vector<std::tuple<std::vector<std::string>, std::string, std::string>> cases = {
        {{"queues", "--json"}, "queue", "{" + denied + R"(, "owner_uid": 0, "mode": "0600", "exists": true})"},
        {{"queues", "--json", "--purge", "--yes"}, "purged", "{" + denied + R"(, "fragments": 0})"},
        {{"queues", "--json", "--remove", "--yes"}, "removed", "{" + denied + R"(, "removed": false})"},
    };
    for (const auto& c : cases) {
        Tool run(AsNobody(), std::get<0>(c));
        EXPECT_EQ(run.wait(), 1) << run.output() << run.errors();
        for (const char* name : {"request", "reply", "notification"})
            expect_members(run.find(std::get<1>(c), name), std::get<2>(c));
    }
    for (key_t key : hac_queue_keys()) EXPECT_EQ(queued(msgget(key, 0)), 1u);

    // The manager's own notification queue is root's: it cannot start.
    Tool refused(AsNobody(), {"manager", "--json", "version"});
    EXPECT_EQ(refused.wait(), 1) << refused.output() << refused.errors();
    const std::string refusal = "refused: permission denied on the ";
    EXPECT_EQ(refused.find("result", "initialize")["reason"], refusal + "notification queue (0x92101073)" + owner);
    // It makes its notification queue, but the browser's queues are root's.
    remove_queue(HAC_NOTIFICATION_QUEUE_KEY);
    Tool manager(AsNobody(), {"manager", "--json", "version"});
    EXPECT_EQ(manager.wait(), 1) << manager.output() << manager.errors();
    EXPECT_EQ(manager.find("result", "version")["reason"], refusal + "request queue (0x92101071)" + owner);
    EXPECT_TRUE(holds(manager.find("warning", "queue_denied")["message"].asString(),
                      "the reply queue cannot be counted: permission denied on the reply queue"));

    // The browser serves, but the manager's notification queue is root's.
    remove_hac_queues();
    for (key_t key : hac_queue_keys()) roots_queue(key, key == (key_t)HAC_NOTIFICATION_QUEUE_KEY ? 0600 : 0666, false);
    Tool serving(AsNobody(), {"browser", "--json", "--quit-on-eof"}, "state 1 1 started\n");
    EXPECT_EQ(serving.wait(), 0) << serving.output() << serving.errors();
    EXPECT_EQ(serving.find("notification", "state")["reason"], refusal + "notification queue (0x92101073)" + owner);
}

TEST_F(ToolTest, BrowserAndManagerWalkTheCatalogueWatchedByTheMonitorBesideSendAndLog) {
    // The file hac send reads the key event from, then the AIT records.
    const std::string file = temp_path("walk") + ".json";
    const std::map<unsigned int, Step> steps = {
        {HAC_MSG_SEND_AIT_IDS, {"ids 4097 3 1", R"({"svrid": 4097, "aitver": 3, "hasait": true})"}},
        {HAC_MSG_SEND_AIT_APP_INFO, {"ait " + file, R"({"num": 3})", R"({"status": 0, "num": 3})"}},
        {HAC_MSG_STOP_APP, {"stop 5 7", R"({"appid": 5, "orgid": 7})"}},
        {HAC_MSG_SEND_XML_AIT_URL, {R"(xml "http://x/ait.xml" cc)", R"({"xml": "http://x/ait.xml", "ccid": "cc"})"}},
        {HAC_MSG_SEND_KEY, {"key red up 4", ""}},
        {HAC_MSG_GET_APP_ERROR_CODE, {"errcode 5 7", R"({"appid": 5, "orgid": 7, "answer": {"errcode": 9}})"}},
        {HAC_MSG_SHOW_TELETEXT_APP, {"teletext -1", R"({"enabled": -1, "answer": {"teletext": 0}})"}},
        {HAC_MSG_CREATE_BI_APPLICATION,
         {"create-bi bi.html broadcast", R"({"url": "bi.html", "src": 2, "answer": {"appid": 77, "orgid": 88}})"}},
        {HAC_MSG_DESTROY_BI_APPLICATION, {"destroy-bi 77 88", R"({"appid": 77, "orgid": 88})"}},
        {HAC_MSG_RESET, {"reset -1 full 30", R"({"svrid": -1, "type": 3, "timeout": 30})"}},
        {HAC_MSG_GET_VERSION, {"version", R"({"answer": {"major": 3, "minor": 4, "number": 5}})"}},
        {HAC_MSG_IS_APP_RUNNING, {"running", R"({"answer": {"isrunning": 0}})"}},
        {HAC_MSG_KEY_EVENT,
         {R"({"t": 119, "appid": 5, "orgid": 7, "key": 3, "type": 1, "keyid": 9, "consum": 1})",
          R"({"name": "key_event", "appid": 5, "orgid": 7, "key": 3, "type": 1, "keyid": 9, "consumed": true})",
          R"({"queue": "notification", "transfer": "message", "fragments": 1})"}},
        {HAC_MSG_APP_STATE, {"state 5 7 killed", R"({"name": "app_state", "appid": 5, "orgid": 7, "state": 4})"}},
        {HAC_MSG_DVB_AIT_STATUS, {"dvb error", R"({"name": "dvb_ait_status", "status": 1})"}},
        {HAC_MSG_XML_AIT_STATUS, {"xml -2", R"({"status": -2})", R"({"status": 0, "ait_status": -2})"}},
    };
    for (const HacMessage& m : kHacMessages) ASSERT_TRUE(m.mode == HAC_REPLY || steps.count(m.type)) << m.name;

    Tool browser({"browser", "--json", "--version", "3.4.5", "--errcode", "9", "--running", "0", "--teletext", "0",
                  "--bi-app", "77:88"});
    ASSERT_FALSE(browser.wait_for("ready", "").isNull()) << browser.output() << browser.errors();
    Tool manager({"manager", "--json", "--log-control"});
    ASSERT_FALSE(manager.wait_for("ready", "").isNull()) << manager.output() << manager.errors();
    const std::string browser_pid = std::to_string(browser.pid()), manager_pid = std::to_string(manager.pid());
    // A second browser or manager warns, naming the process whose thread
    // waits on its queue (qemu-arm under emulation).
    for (pid_t pid : {browser.pid(), manager.pid()})
        ASSERT_TRUE(wait_until([&] { return waits_in_msgrcv(pid); }, kDeadline));
    Tool second_browser({"browser", "--json"}), second_manager({"manager", "--json"});
    for (Tool* second : {&second_browser, &second_manager}) second->send("quit");
    EXPECT_EQ(second_browser.wait() + second_manager.wait(), 0);
    const std::string served = ") is served already by pid ";
    EXPECT_TRUE(holds(second_browser.errors(), "request queue (0x92101071" + served + browser_pid + " ("));
    EXPECT_TRUE(holds(second_manager.errors(), "notification queue (0x92101073" + served + manager_pid + " ("));
    // The browser's half sends no KeyEvent: hac send puts it on the queue,
    // before the monitor watches the two.
    std::ofstream(file) << steps.at(HAC_MSG_KEY_EVENT).line;
    Tool key({"send", "--json", "--queue", "notification", "--file", file});
    EXPECT_EQ(key.wait(), 0) << key.output() << key.errors();
    ASSERT_FALSE(manager.wait_for("event", "").isNull()) << manager.output();
    std::ofstream(file) << kRecordFile;
    const bool tracing = can_trace();
    const int queries = 200;  // while a monitor is killed
    std::unique_ptr<Tool> monitor = tracing ? watching({"monitor", "--json"}, browser.pid(), manager.pid()) : nullptr;

    // The manager's commands, then the browser's notifications; the names
    // as the monitor is to show them.
    std::vector<std::string> requests, to_manager;
    for (const HacMessage& m : kHacMessages) {
        if (m.direction != HAC_TO_BROWSER) continue;
        manager.send(steps.at(m.type).line);
        requests.push_back(m.name);
        if (m.mode == HAC_QUERY) to_manager.push_back(hac_message(m.type + 1)->name);
    }
    ASSERT_FALSE(manager.wait_for("result", "", requests.size() - 1).isNull()) << manager.output();
    for (const HacMessage& m : kHacMessages) {
        if (m.direction != HAC_TO_MANAGER || m.mode != HAC_ONE_WAY || m.type == HAC_MSG_KEY_EVENT) continue;
        browser.send(steps.at(m.type).line);
        to_manager.push_back(m.name);
    }

    int event = 0;
    for (const HacMessage& m : kHacMessages) {
        if (m.mode == HAC_REPLY) continue;
        SCOPED_TRACE(m.name);
        const Step& step = steps.at(m.type);
        const std::string command = step.line.substr(0, step.line.find(' '));
        Json::Value sent = parse_json(step.sent);
        if (m.direction == HAC_TO_BROWSER) {
            // The manager's last result came after the browser printed every
            // request. The library serves no key requests: the key reached
            // the browser's side and called nothing there.
            const Json::Value request = browser.find("request", m.name);
            EXPECT_TRUE(step.received.empty() ? request.isNull() : has_members(request, parse_json(step.received)))
                << step.received << " in " << request;
            for (const std::string& name : request["answer"].getMemberNames()) sent[name] = request["answer"][name];
            EXPECT_TRUE(has_members(manager.find("result", command), sent)) << manager.find("result", command);
            continue;
        }
        expect_members(manager.wait_for("event", "", event++), step.received);
        const bool by_send = m.type == HAC_MSG_KEY_EVENT;
        expect_members(by_send ? key.find("sent", m.name) : browser.wait_for("notification", command), step.sent);
    }
    const Json::Value ait = browser.find("request", "SendAitAppInfo")["app"];
    ASSERT_EQ(ait.size(), 3u) << ait;
    expect_members(ait[0], R"({"appid": 5, "orgid": 7, "visib": 3, "prior": 2, "ctrco": 1, "isb": true, "name": "News",
                               "bn": 2, "bd": ["http://a/", "http://b/"], "iso": [101, 110, 103], "apptype": 16,
                               "profileversion": 257, "serid": 0, "trprn": 2,
                               "tranprotocol": [{"pi": 3, "bu": "http://a/", "ip": "i.html", "pp": 0},
                                                {"pi": 1, "bu": "", "ip": "", "pp": 9}]})");

    if (tracing) {
        const size_t shown = 2 * (requests.size() + to_manager.size());
        ASSERT_FALSE(monitor->wait_for("message", "", shown - 1).isNull()) << monitor->output();
        const std::vector<Json::Value> messages = monitor->records("message");
        EXPECT_EQ(messages.size(), shown);
        // Every message shows once as sent and once as received, in that
        // order; each process sent and received the names in the order given.
        std::set<std::string> payloads_sent;                      // queue and token
        std::map<std::string, std::vector<std::string>> streams;  // by "pid op"
        std::map<std::string, Json::Value> named;                 // by "name op"
        for (const Json::Value& message : messages) {
            const std::string op = message["op"].asString(),
                              payload = message["queue"].asString() + message["token"].asString();
            if (op == "sent")
                EXPECT_TRUE(payloads_sent.insert(payload).second) << message;
            else
                EXPECT_EQ(payloads_sent.count(payload), 1u) << "received before it was sent: " << message;
            streams[message["pid"].asString() + " " + op].push_back(message["name"].asString());
            named.emplace(message["name"].asString() + " " + op, message);
        }
        EXPECT_EQ(streams[manager_pid + " sent"], requests);
        EXPECT_EQ(streams[browser_pid + " received"], requests);
        EXPECT_EQ(streams[browser_pid + " sent"], to_manager);
        EXPECT_EQ(streams[manager_pid + " received"], to_manager);
        const std::vector<std::pair<std::string, std::string>> decoded = {
            {"StopApp sent", R"({"queue": "request", "transfer": "message", "t": 103, "role": "manager",
                                 "direction": "manager->browser", "members": {"appid": 5, "orgid": 7}})"},
            {"GetVersion received", R"({"queue": "request", "transfer": "request", "role": "browser"})"},
            {"GetVersionReply sent",
             R"({"queue": "reply", "transfer": "reply", "t": 116, "direction": "browser->manager", "role": "browser",
                 "members": {"major": 3, "minor": 4, "number": 5}})"},
            {"SendAitAppInfo received", R"({"fragments": 2, "members": {"num": 3}})"},
            {"AppState received", R"({"queue": "notification", "members": {"appid": 5, "orgid": 7, "state": 4}})"},
        };
        for (const auto& d : decoded) expect_members(named[d.first], d.second);
        // The records field by field, as the browser prints them.
        EXPECT_EQ(named["SendAitAppInfo received"]["app"], ait);
        // A query's answer tells its round trip, matched by the payload's token.
        const Json::Value asked = named["GetVersion sent"], answered = named["GetVersionReply received"];
        EXPECT_EQ(asked["token"], answered["token"]);
        EXPECT_EQ(answered["rtt_us"].asInt64(), answered["time_us"].asInt64() - asked["time_us"].asInt64());
        // Standard output carries JSON objects only.
        EXPECT_EQ(monitor->records().size(), split_lines(monitor->output()).size()) << monitor->output();
        monitor->signal(SIGINT);
        EXPECT_EQ(monitor->wait(), 0) << monitor->errors();
        expect_members(monitor->find("detached", ""), R"({"by": "SIGINT"})");

        if (geteuid() == 0) {  // the user nobody may not trace them
            Tool refused(AsNobody(), {"monitor", "--json", "--pid", browser_pid});
            EXPECT_EQ(refused.wait(), 4) << refused.output() << refused.errors();
            EXPECT_TRUE(holds(refused.output(), "may not trace pid " + browser_pid + " (hac): permission denied"));
        }

        // Killed in the middle of steady traffic, when some threads stand
        // stopped at a system call, it leaves both serving.
        monitor = watching({"monitor", "--json", "--raw"}, browser.pid(), manager.pid());
        for (int i = 0; i < queries; ++i) manager.send("version");
        ASSERT_FALSE(monitor->wait_for("message", "GetVersionReply", 5).isNull()) << monitor->output();
        monitor->signal(SIGKILL);
        EXPECT_EQ(monitor->wait(), -1);
        ASSERT_FALSE(manager.wait_for("result", "version", queries).isNull()) << manager.errors();
        // --raw showed the fragments, header words and sizes.
        expect_members(monitor->find("fragment", ""),
                       R"({"queue": "request", "size": 1056, "kind_word": 2, "seq": 1, "last": 1, "one": 1})");
    }

    // hac send asks the browser itself; a request it does not serve, from a
    // peer that names nothing, gets the no-reply answer.
    Tool version({"send", "--json", "--kind", "request", R"({"t": 115})"});
    EXPECT_EQ(version.wait(), 0) << version.output() << version.errors();
    const Json::Value answer = version.find("answer", "GetVersionReply");
    expect_members(answer, R"({"transfer": "reply", "t": 116, "members": {"major": 3, "minor": 4, "number": 5}})");
    EXPECT_EQ(answer["token"], version.find("sent", "GetVersion")["token"]);
    EXPECT_EQ(parse_json(answer["raw"].asString())["t"], 116) << answer;
    Tool unknown({"send", "--json", "--kind", "request", "--token", "0", R"({"t": 999})"});
    EXPECT_EQ(unknown.wait(), 0) << unknown.output() << unknown.errors();
    expect_members(unknown.find("answer", "(no reply)"),
                   R"({"transfer": "no-reply", "token": "0x00000000", "raw": "a"})");

    // HAC logs at the error level until hac log raises it in the manager.
    EXPECT_FALSE(holds(manager.errors(), "Enter!"));
    Tool raise({"log", "--json", "set", "HAC", "info", "--pid", manager_pid});
    ASSERT_EQ(raise.wait(), 0) << raise.output() << raise.errors();
    expect_members(raise.find("result", "set"), R"({"modules": ["HAC"], "level": "info", "changed": "HAC"})");
    EXPECT_EQ(raise.find("result", "set")["pid"], manager.pid());
    manager.send("version");
    expect_members(manager.wait_for("result", "version", tracing ? queries + 1 : 1), R"({"status": 0, "major": 3})");
    // With --json the library's lines go to standard error: standard output
    // holds JSON objects only.
    EXPECT_TRUE(holds(manager.errors(), "Function: Vetu_HAC_Client_GetVersion() Enter!"));
    EXPECT_TRUE(holds(manager.errors(), "Function: Vetu_HAC_Client_GetVersion() Leave!"));
    EXPECT_EQ(manager.records().size(), split_lines(manager.output()).size()) << manager.output();
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

    // A process that ends is reported; the monitor goes on with the other,
    // and ends when none is left.
    monitor = tracing ? watching({"monitor"}, browser.pid(), manager.pid()) : nullptr;
    EXPECT_EQ(manager.wait(), 0);
    if (tracing) {
        EXPECT_TRUE(monitor->prints("manager " + manager_pid + " exited: ")) << monitor->output();
        browser.send("state 1 2 started");
        EXPECT_TRUE(monitor->prints(" sent AppState: ")) << monitor->output();
    }
    browser.signal(SIGTERM);
    EXPECT_EQ(browser.wait(), 0);
    expect_members(browser.find("stopped", ""), R"({"by": "SIGTERM"})");
    if (tracing) {
        EXPECT_EQ(monitor->wait(), 0) << monitor->output();
        EXPECT_TRUE(holds(monitor->output(), "no process left to watch"));
    }
    // Neither side saw a receive fail (an attach that broke a waiting msgrcv
    // would show here), nor warned of the second ones.
    EXPECT_FALSE(holds(browser.errors() + manager.errors(), "msgrcv res:-1"));
    EXPECT_FALSE(holds(browser.errors() + manager.errors(), "warning"));
    unlink(file.c_str());
}
