// The hac tool as its users run it: real processes, real queues, the real
// control port. Every wait is on a line of output, with a deadline.
#include "tool_support.h"

#include <dirent.h>
#include <sys/syscall.h>

#include <sstream>

#include "vetu_hac.h"

using namespace hac_tool_test;


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
