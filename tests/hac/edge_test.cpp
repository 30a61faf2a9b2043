// The exact texts the client half writes, the replies it must survive, its
// log records and its lifecycle faults. Raw IPC endpoints stand in for the
// other half where a real one could not write the text.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <future>

#include "hac_fixture.h"
#include "vetu_log.h"

namespace hac_test {
namespace {

using ClientTexts = HacQueues;

struct QueryOuts {
    int err = 77, teletext = 77, major = 77, minor = 77, number = 77, running = 77;
    VetuAppIdentifier created = {77, 77};
    std::vector<int> all() const { return {err, teletext, major, minor, number, running, created.appid, created.orgid}; }
};

// The five queries in a row; their results.
std::vector<int> run_all_queries(QueryOuts* out) {
    const VetuAppIdentifier app = {1, 2};
    return {Vetu_HAC_Client_GetAppErrorCode(&app, &out->err), Vetu_HAC_Client_ShowTeleTextApp(-4, &out->teletext),
            Vetu_HAC_Client_GetVersion(&out->major, &out->minor, &out->number),
            Vetu_HAC_Client_IsAppRunning(&out->running),
            Vetu_HAC_Client_CreateBIApplication("u", 42, &out->created, VETU_APP_SOURCE_XML_AIT)};
}

TEST_F(ClientTexts, BadArgumentsAreRefusedUnsentAndQueriesTakeOnlyUsableReplies) {
    RawBrowser raw;
    QueryOuts out;
    EXPECT_EQ(run_all_queries(&out), std::vector<int>(5, -3));  // not initialised
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    VetuAITAppInfo rec;
    std::vector<VetuAITAppInfo*> apps(12, &rec);
    apps[1] = nullptr;
    const std::vector<std::function<int()>> refused = {
        [&] { return Vetu_HAC_Client_SendAitAppInfo(0, apps.data()); },
        [&] { return Vetu_HAC_Client_SendAitAppInfo(1, nullptr); },
        [&] { return Vetu_HAC_Client_StopApp(nullptr); },
        [&] { return Vetu_HAC_Client_DestroyBIApplication(nullptr); },
        [&] { return Vetu_HAC_Client_SendXmlAitUrl(nullptr, 1, "c", 1); },
        [&] { return Vetu_HAC_Client_SendXmlAitUrl("x", 0, "c", 1); },
        [&] { return Vetu_HAC_Client_SendXmlAitUrl("x", 1, nullptr, 1); },
        [&] { return Vetu_HAC_Client_IsAppRunning(nullptr); },
        [&] { return Vetu_HAC_Client_GetVersion(&out.major, nullptr, &out.number); },
        [&] { return Vetu_HAC_Client_ShowTeleTextApp(0, nullptr); },
        [&] { return Vetu_HAC_Client_GetAppErrorCode(nullptr, &out.err); },
        [&] { return Vetu_HAC_Client_CreateBIApplication("u", 0, &out.created, VETU_APP_SOURCE_URL); },
        [&] { return Vetu_HAC_Client_CreateBIApplication("u", 1, nullptr, VETU_APP_SOURCE_URL); },
    };
    for (size_t i = 0; i < refused.size(); ++i) EXPECT_EQ(refused[i](), -3) << "call " << i;
    EXPECT_EQ(out.all(), std::vector<int>(8, 77));
    // A negative count is sent as it is, with no record; a null record is
    // left out and still counted.
    EXPECT_EQ(Vetu_HAC_Client_SendAitAppInfo(-1, apps.data()), 0);
    EXPECT_EQ(Vetu_HAC_Client_SendAitAppInfo(12, apps.data()), 0);
    ASSERT_TRUE(raw.wait_texts(2));
    const std::vector<Json::Value> texts = raw.texts();
    ASSERT_EQ(texts.size(), 2u);  // nothing refused was sent
    EXPECT_EQ(texts[0], parse_json(R"({"t":102,"num":-1})"));
    EXPECT_EQ(texts[1].size(), 13u);  // "t", "num" and eleven records
    EXPECT_FALSE(texts[1].isMember("ai1"));
    std::string document;
    aitappinfo_packet(&rec, document);
    EXPECT_EQ(texts[1]["ai11"], document);

    // No reply, not JSON, not an object, members jsoncpp refuses to convert:
    // -1, and every out-value as it was.
    for (const char* bad : {"", "not json", "[1,2]", R"({"errcode":"x","teletext":"x","major":"x","isrunning":"x","appid":"x"})",
                            R"({"errcode":3000000000,"teletext":3000000000,"number":3000000000,"isrunning":3000000000,"orgid":3000000000})"}) {
        raw.answer_with(bad);
        EXPECT_EQ(run_all_queries(&out), std::vector<int>(5, -1)) << bad;
        EXPECT_EQ(out.all(), std::vector<int>(8, 77)) << bad;
    }
    raw.answer_with("{}");
    EXPECT_EQ(run_all_queries(&out), std::vector<int>(5, 0));
    EXPECT_EQ(out.all(), std::vector<int>(8, 0));
    // A reply of several fragments, then a short one: the client's reply
    // block grows for the first and serves the second.
    raw.answer_with(R"({"t":116,"major":4,"minor":5,"number":6,"pad":")" + std::string(5000, 'x') + "\"}");
    EXPECT_EQ(Vetu_HAC_Client_GetVersion(&out.major, &out.minor, &out.number), 0);
    EXPECT_EQ(std::vector<int>({out.major, out.minor, out.number}), std::vector<int>({4, 5, 6}));
    raw.answer_with(R"({"t":116,"major":1,"minor":2,"number":3})");
    EXPECT_EQ(Vetu_HAC_Client_GetVersion(&out.major, &out.minor, &out.number), 0);
    EXPECT_EQ(std::vector<int>({out.major, out.minor, out.number}), std::vector<int>({1, 2, 3}));
}

int error_code_of(int appid) {
    const VetuAppIdentifier app = {appid, 0};
    int code = 0;
    Vetu_HAC_Client_GetAppErrorCode(&app, &code);
    return code;
}

std::atomic<int> g_dvb_seen{0};
void count_dvb(VetuAppManagerUpdateAITStatus, const void*) { ++g_dvb_seen; }

// Whole-text match: '%' stands for any run of characters, '#' for digits.
bool matches(const char* text, const char* pattern) {
    if (*pattern == '\0') return *text == '\0';
    if (*pattern == '%') return matches(text, pattern + 1) || (*text != '\0' && matches(text + 1, pattern));
    if (*pattern == '#') return isdigit(*text) && (matches(text + 1, pattern + 1) || matches(text + 1, pattern));
    return *text == *pattern && matches(text + 1, pattern + 1);
}

// The log lines of out that match pattern; a line begins after the colour
// reset that ends the line before.
size_t records(const std::string& out, const std::string& pattern) {
    size_t n = 0;
    for (std::string line : split_lines(out)) {
        if (line.rfind("\033[0m", 0) == 0) line.erase(0, 4);
        n += !line.empty() && matches(line.c_str(), pattern.c_str());
    }
    return n;
}

std::string enter(const std::string& f) { return "\033[32mtime=%logtype=info File: hac_client Function: " + f + "() Enter!"; }
std::string leave(const std::string& f) { return "\033[32mtime=%logtype=info File: hac_client Function: " + f + "() Leave!"; }
std::string failure(const std::string& f) { return "\033[31mtime=%logtype=info File:hac_client Function: " + f + "(), line: #"; }
std::string value(const std::string& f, const std::string& v) {
    return "\033[32mtime=%logtype=info File:hac_client Function: " + f + "(), line: #, " + v;
}

TEST_F(ClientTexts, LogRecordsUnderHac) {
    insert_modules_list("HAC", 1);
    StdoutCapture finalize_alone;
    EXPECT_EQ(Vetu_HAC_Client_Finalize(), 0);
    const std::string alone = finalize_alone.stop();
    EXPECT_EQ(records(alone, "%"), 1u);  // its entry record and nothing else
    EXPECT_EQ(records(alone, enter("Vetu_HAC_Client_Finalize")), 1u);

    // Two threads query one after the other: the raw browser holds the
    // answer to the first until the second has started.
    std::atomic<bool> second_started{false};
    RawBrowser raw;
    raw.respond_with([&](const Json::Value& request) {
        const int appid = request["appid"].asInt();
        printf("raw request %d\n", appid);
        if (appid == 11) wait_until([&] { return second_started.load(); });
        if (request["t"].asInt() != HAC_MSG_GET_APP_ERROR_CODE) return std::string(R"({"teletext":6})");
        return "{\"errcode\":" + std::to_string(appid) + "}";
    });
    g_dvb_seen = 0;
    Vetu_HAC_Client_RegisterDvbUpdateCallback(count_dvb, nullptr);
    StdoutCapture capture;
    const VetuAppIdentifier app = {1, 2};
    int v = 0;
    EXPECT_EQ(Vetu_HAC_Client_StopApp(&app), -3);  // before Initialize
    EXPECT_EQ(Vetu_HAC_Client_IsAppRunning(nullptr), -3);
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    auto first = std::async(std::launch::async, error_code_of, 11);
    ASSERT_TRUE(raw.wait_texts(1));
    auto second = std::async(std::launch::async, [&] {
        second_started = true;
        return error_code_of(22);
    });
    EXPECT_EQ(first.get(), 11);
    EXPECT_EQ(second.get(), 22);
    EXPECT_EQ(Vetu_HAC_Client_ShowTeleTextApp(1, &v), 0);
    {
        RawSender notify(HAC_NOTIFICATION_QUEUE_KEY);
        notify.send("not json");
        notify.send(R"({"t":122,"status":-3})");  // no XML callback: traced all the same
        notify.send(R"({"t":121,"status":4})");
        EXPECT_TRUE(wait_until([] { return g_dvb_seen == 1; }));
    }
    const std::string out = capture.stop();
    clear_modules_list();
    EXPECT_EQ(records(out, enter("Vetu_HAC_Client_StopApp")), 1u);
    EXPECT_EQ(records(out, failure("Vetu_HAC_Client_StopApp")), 1u);
    EXPECT_EQ(records(out, leave("Vetu_HAC_Client_StopApp")), 0u);
    EXPECT_EQ(records(out, failure("Vetu_HAC_Client_IsAppRunning")), 1u);
    EXPECT_EQ(records(out, leave("Vetu_HAC_Client_Initialize")), 1u);
    EXPECT_EQ(records(out, value("Vetu_HAC_Client_GetAppErrorCode", "*out_err:11")), 1u);
    EXPECT_EQ(records(out, value("Vetu_HAC_Client_GetAppErrorCode", "*out_err:22")), 1u);
    EXPECT_EQ(records(out, leave("Vetu_HAC_Client_GetAppErrorCode")), 2u);
    // The first reply is parsed and traced before the second request leaves.
    EXPECT_LT(out.find("*out_err:11"), out.find("raw request 22"));
    EXPECT_EQ(records(out, value("Vetu_HAC_Client_ShowTeleTextApp", "*out_hasTeleText:6")), 1u);
    EXPECT_EQ(records(out, enter("ipc_callback")), 3u);
    EXPECT_EQ(records(out, failure("ipc_callback")), 1u);  // the text that does not parse
    EXPECT_EQ(records(out, value("ipc_callback", "xml_status:-3")), 1u);
    EXPECT_EQ(records(out, value("ipc_callback", "dvb_status:4")), 1u);
    EXPECT_EQ(records(out, leave("ipc_callback")), 2u);
}

TEST_F(ClientTexts, InitializeAgainCreatesOnlyWhatIsMissing) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make the notification queue unusable for a while";
    // An existing notification queue this user may not use: the first call
    // creates the request endpoint, then fails.
    ASSERT_GE(msgget(HAC_NOTIFICATION_QUEUE_KEY, IPC_CREAT | 0600), 0);
    const int before = thread_count();
    ASSERT_EQ(seteuid(65534), 0);
    const int failed = Vetu_HAC_Client_Initialize();
    ASSERT_EQ(seteuid(0), 0);
    EXPECT_EQ(failed, -3);
    EXPECT_EQ(thread_count(), before);  // no receive thread yet
    EXPECT_EQ(Vetu_HAC_Client_Initialize(), 0);
    const int started = thread_count();
    EXPECT_GT(started, before);
    EXPECT_EQ(Vetu_HAC_Client_Initialize(), 0);
    EXPECT_EQ(thread_count(), started);
    EXPECT_EQ(Vetu_HAC_Client_Finalize(), 0);
    EXPECT_EQ(Vetu_HAC_Client_Finalize(), 0);
    // Under LeakSanitizer an endpoint overwritten on the way fails this test.
}

// The client's callback and the browser's StopApp member both run g_inside;
// call_inside registers them, initialises the half and sends the text that
// calls it.
void (*g_inside)(bool client) = nullptr;
void client_callback(const VetuAppIdentifier*, int, const void*) { g_inside(true); }
void browser_member(const VetuAppIdentifier*) { g_inside(false); }

int call_inside(bool client) {
    VetuHacServerCallback table = {};
    table.StopApp = browser_member;
    if (client) Vetu_HAC_Client_RegisterCallback(client_callback, nullptr);
    if (!client) Vetu_HAC_Server_RegisterCallback(table, nullptr);
    if ((client ? Vetu_HAC_Client_Initialize() : Vetu_HAC_Server_Initialize()) != 0) return 10;
    RawSender sender(client ? HAC_NOTIFICATION_QUEUE_KEY : HAC_REQUEST_QUEUE_KEY);
    return sender.send(client ? R"({"t":120})" : R"({"t":103})");
}

// A callback or member that sends while Finalize runs on another thread:
// Finalize waits for it and ends.
std::atomic<int> g_sender_stage{0};  // 1 in the callback, 2 Finalize started
std::atomic<int> g_sent_status{1};

void send_during_finalize(bool client) {
    g_sender_stage = 1;
    wait_until([] { return g_sender_stage == 2; });
    int v = 0;
    g_sent_status = client ? Vetu_HAC_Client_IsAppRunning(&v) : Vetu_HAC_Server_UpdateDvbAitStatus(VETU_AIT_STATUS_OK);
}

// Starts Finalize on a thread of its own once the sender waits; true when it
// ends in time; a Finalize that never ends fails the test process at once
// (the fixture's own Finalize would hang as well).
bool finalize_ends(int (*finalize)()) {
    EXPECT_TRUE(wait_until([] { return g_sender_stage == 1; }));
    auto finalized = std::async(std::launch::async, [finalize] {
        g_sender_stage = 2;
        return finalize();
    });
    if (finalized.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return true;
    fprintf(stderr, "Finalize waits for ever on a callback that sends\n");
    std::_Exit(1);
}

TEST_F(ClientTexts, FinalizeWhileACallbackOrMemberSendsEnds) {
    g_inside = send_during_finalize;
    {
        RawBrowser raw;
        raw.answer_with(R"({"isrunning":1})");
        ASSERT_EQ(call_inside(true), 0);
        ASSERT_TRUE(finalize_ends(Vetu_HAC_Client_Finalize));
        EXPECT_EQ(g_sent_status, 0);  // its endpoint goes only after the callback
    }
    ASSERT_EQ(call_inside(false), 0);
    ASSERT_TRUE(finalize_ends(Vetu_HAC_Server_Finalize));
}

int finalize_half(bool client) { return client ? Vetu_HAC_Client_Finalize() : Vetu_HAC_Server_Finalize(); }

// A callback and a member that finalise their half while Finalize already
// waits on another thread (the host shuts down from both at once): neither
// call waits for the other for ever. Both halves at once, as each Finalize
// spends its grace periods on the callback.
struct ClosingHalf {
    std::atomic<bool> inside{false};
    std::atomic<pid_t> finalizer{0};  // the thread of the other Finalize
    std::atomic<int> inner{1};        // the callback's Finalize
};
ClosingHalf g_closing[2];  // [client]

bool thread_sleeps(pid_t tid) {
    const std::string stat = read_file("/proc/self/task/" + std::to_string(tid) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S';
}

void finalize_during_finalize(bool client) {
    ClosingHalf& half = g_closing[client];
    half.inside = true;
    wait_until([&] { return half.finalizer != 0 && thread_sleeps(half.finalizer); });
    half.inner = finalize_half(client);
}

TEST_F(ClientTexts, FinalizeInsideACallbackOrMemberWhileAnotherFinalizeWaitsEnds) {
    g_inside = finalize_during_finalize;
    std::vector<std::future<int>> outer;
    for (bool client : {true, false}) {
        ASSERT_EQ(call_inside(client), 0);
        ASSERT_TRUE(wait_until([&] { return g_closing[client].inside.load(); }));
        outer.push_back(std::async(std::launch::async, [client] {
            g_closing[client].finalizer = static_cast<pid_t>(syscall(SYS_gettid));
            return finalize_half(client);
        }));
    }
    for (auto& finalized : outer) {
        if (finalized.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            fprintf(stderr, "Finalize waits for ever on a callback that finalises\n");
            std::_Exit(1);
        }
        EXPECT_EQ(finalized.get(), 0);
    }
    for (const ClosingHalf& half : g_closing) {
        EXPECT_TRUE(wait_until([&] { return half.inner != 1; }));
        EXPECT_EQ(half.inner, 0);
    }
}

// A callback and a member that unregister and finalise their own half (the
// host shuts down from inside one): each call returns 0 without waiting for
// the thread it runs on, which ends after the callback; the half starts
// again. Run in a child process, so that a call that waits for its own
// thread fails the test instead of hanging it.
std::atomic<int> g_finalized_inside{1};

void finalize_inside(bool client) {
    const int unregistered = client ? Vetu_HAC_Client_UnregisterCallback() : Vetu_HAC_Server_UnregisterCallback();
    g_finalized_inside = unregistered != 0 ? unregistered : finalize_half(client);
}

int finalize_inside_twice(bool client) {
    g_inside = finalize_inside;
    for (int round = 0; round < 2; ++round) {
        g_finalized_inside = 1;
        if (call_inside(client) != 0) return 10;
        if (!wait_until([] { return g_finalized_inside != 1; })) return 11;
        if (g_finalized_inside != 0) return g_finalized_inside;
    }
    return 0;
}

TEST_F(ClientTexts, FinalizeFromInsideACallbackOrMemberReturns) {
    EXPECT_EQ(run_in_child([] { return finalize_inside_twice(true); }), 0);
    EXPECT_EQ(run_in_child([] { return finalize_inside_twice(false); }), 0);
}

// A query whose answer never comes, on a request queue nobody reads.
int unanswered_query() {
    int running = 0;
    return Vetu_HAC_Client_IsAppRunning(&running);
}

TEST_F(ClientTexts, ATimeLimitEndsTheQueryOnceItsReplyQueueHasRoomAgain) {
    ASSERT_GE(msgget(HAC_REQUEST_QUEUE_KEY, IPC_CREAT | 0600), 0);
    const int reply = msgget(HAC_REPLY_QUEUE_KEY, IPC_CREAT | 0600);
    ASSERT_GE(reply, 0);
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    Vetu_HAC_Client_SetQueryTimeout(10);
    // Full of fragments of a message type nobody reads.
    std::vector<char> buf(IPC_FRAGMENT_BUFFER_SIZE(HAC_IPC_CHUNK_SIZE), 0);
    reinterpret_cast<IpcFragment*>(buf.data())->mtype = HAC_IPC_MTYPE + 1;
    while (msgsnd(reply, buf.data(), IPC_FRAGMENT_MSGSZ(HAC_IPC_CHUNK_SIZE), IPC_NOWAIT) == 0) continue;
    ASSERT_GT(queued(reply), 0u);
    const auto asked = std::chrono::steady_clock::now();
    auto query = std::async(std::launch::async, unanswered_query);
    // Room comes back only long after the time limit: by then the wake has
    // met the full queue, and must be sent again.
    wait_until([&] { return std::chrono::steady_clock::now() > asked + std::chrono::milliseconds(200); });
    take_all(reply, HAC_IPC_MTYPE + 1);
    if (query.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        fprintf(stderr, "the query outlived its time limit for good\n");
        std::_Exit(1);
    }
    EXPECT_EQ(query.get(), VETU_ERR_TIMED_OUT);
}

// Two processes wait on one reply queue with the same message type: a wake
// that the other one takes and skips is sent again, so that each query
// still ends at its own time limit.
TEST_F(ClientTexts, QueriesOfTwoProcessesOnOneReplyQueueEachEndAtTheirLimit) {
    const int request = msgget(HAC_REQUEST_QUEUE_KEY, IPC_CREAT | 0600);
    ASSERT_GE(request, 0);
    fflush(stdout);
    const pid_t other = fork();
    if (other == 0) {
        Vetu_HAC_Client_Initialize();
        Vetu_HAC_Client_SetQueryTimeout(3000);
        _exit(unanswered_query() == VETU_ERR_TIMED_OUT ? 0 : 1);
    }
    // The other process waits first, so that it is handed the first wake.
    const std::string stat_path = "/proc/" + std::to_string(other) + "/stat";
    ASSERT_TRUE(wait_until([&] {
        const std::string stat = read_file(stat_path);
        const size_t paren = stat.rfind(')');
        return queued(request) == 1 && paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S';
    }));
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    Vetu_HAC_Client_SetQueryTimeout(50);
    auto query = std::async(std::launch::async, unanswered_query);
    int status = -1;
    const bool ended = query.wait_for(std::chrono::seconds(10)) == std::future_status::ready &&
                       wait_until([&] { return waitpid(other, &status, WNOHANG) == other; }, std::chrono::seconds(10));
    if (!ended) {
        kill(other, SIGKILL);
        fprintf(stderr, "a query outlived its time limit for good\n");
        std::_Exit(1);
    }
    EXPECT_EQ(query.get(), VETU_ERR_TIMED_OUT);
    EXPECT_EQ(status, 0);
}

#if !defined(__SANITIZE_THREAD__)
// (ThreadSanitizer refuses to start threads after a fork of a process with
// threads, which is what is checked here.)
TEST_F(ClientTexts, AChildForkedByAHostWithATimeLimitKeepsIt) {
    // qemu-user aborts when a forked child of a threaded process starts a
    // thread of its own, whatever the thread does.
    if (suite_is_emulated()) GTEST_SKIP() << "a thread started after fork aborts the emulator";
    ASSERT_GE(msgget(HAC_REQUEST_QUEUE_KEY, IPC_CREAT | 0600), 0);
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    Vetu_HAC_Client_SetQueryTimeout(10);
    EXPECT_EQ(unanswered_query(), VETU_ERR_TIMED_OUT);  // the alarm thread runs now
    // The child's own alarm thread serves query after query.
    EXPECT_EQ(run_in_child([] {
                  for (int i = 0; i < 3; ++i)
                      if (unanswered_query() != VETU_ERR_TIMED_OUT) return 1;
                  return 0;
              }),
              0);
}
#endif

}  // namespace
}  // namespace hac_test
