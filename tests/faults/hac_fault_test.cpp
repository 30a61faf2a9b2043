// The two HAC halves under process faults, on the fixed HAC queues: this
// test process is the application manager, the peer process the browser.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "recording_halves.h"
#include "test_support.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The browser: the peer process with the recording browser's table,
// answering queries by its generation.
class Browser : public hac_test::PeerProcess {
public:
    explicit Browser(int generation, int notifications = 0)
        : PeerProcess({"browser", std::to_string(generation), std::to_string(notifications)}) {}
    // The numbers of the numbered XML AIT URLs it got, in order; -1 for a
    // damaged one.
    std::vector<long> xml_numbers() const {
        std::vector<long> out;
        for (const Json::Value& line : reports())
            if (line["m"] == "SendXmlAitUrl") out.push_back(hac_test::check_numbered_payload(line["xml"].asString()));
        return out;
    }
};

Json::Value served(const char* member, int appid, int orgid) {
    Json::Value line;
    line["m"] = member;
    line["appid"] = appid;
    line["orgid"] = orgid;
    return line;
}

class HacFaults : public ::testing::Test {
protected:
    void SetUp() override { hac_test::remove_hac_queues(); }
    void TearDown() override {
        Vetu_HAC_Client_SetQueryTimeout(0);
        Vetu_HAC_Client_Finalize();
        Vetu_HAC_Client_UnregisterCallback();
        hac_test::remove_hac_queues();
    }
};

int request_queue() { return msgget(HAC_REQUEST_QUEUE_KEY, 0); }
int reply_queue() { return msgget(HAC_REPLY_QUEUE_KEY, 0); }

// A query run on a thread of its own, so that the test can fault the
// browser while it waits.
struct PendingQuery {
    std::atomic<int> rc{1};
    std::atomic<bool> done{false};
    int errcode = -12345;
    pthread_t handle{};
    std::thread thread;
    PendingQuery(int appid, int orgid) {
        thread = std::thread([this, appid, orgid] {
            VetuAppIdentifier app{appid, orgid};
            rc = Vetu_HAC_Client_GetAppErrorCode(&app, &errcode);
            done = true;
        });
        handle = thread.native_handle();
    }
    bool finished(std::chrono::milliseconds timeout) { return hac_test::wait_until([&] { return done.load(); }, timeout); }
    // A query whose answer never comes would wait for ever: release it
    // with a no-reply answer so that a failed test still ends.
    ~PendingQuery() {
        while (!finished(std::chrono::milliseconds(1000))) {
            char a[] = "a";
            IpcData none = {2, a};
            ipc_snd_internal(msgget(HAC_REPLY_QUEUE_KEY, 0), HAC_IPC_MTYPE, HAC_IPC_CHUNK_SIZE, &none,
                             IPC_KIND_NO_REPLY);
        }
        thread.join();
    }
};

int ask_error_code(int appid, int orgid, int* out) {
    VetuAppIdentifier app{appid, orgid};
    return Vetu_HAC_Client_GetAppErrorCode(&app, out);
}

// Five fragments a message while the browser is stopped and continued over
// and over: every message whose send returned 0 reaches the browser intact
// and in order.
TEST_F(HacFaults, BrowserStoppedAndContinuedMidStreamLosesAndMixesNothing) {
    Browser browser(1);
    ASSERT_TRUE(browser.ready());
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    std::atomic<bool> sending{true};
    std::thread toggler([&] {
        while (sending) {
            browser.signal(SIGSTOP);
            usleep(20000);  // the fault's own rhythm, not a wait for anything
            browser.signal(SIGCONT);
            usleep(20000);
        }
    });
    std::vector<long> accepted;
    for (long seq = 1; seq <= 150; ++seq) {
        const std::string xml = hac_test::numbered_payload(seq, 5000);
        if (Vetu_HAC_Client_SendXmlAitUrl(xml.c_str(), static_cast<int>(xml.size()), "c", 1) == 0)
            accepted.push_back(seq);
    }
    sending = false;
    toggler.join();
    browser.signal(SIGCONT);
    EXPECT_TRUE(hac_test::wait_until([&] { return browser.xml_numbers().size() >= accepted.size(); }, seconds(10)));
    EXPECT_EQ(browser.xml_numbers(), accepted) << "lost, reordered or damaged (-1)";
    EXPECT_GT(accepted.size(), 100u);
}

// The browser dies before it takes the waiting query off the queue; the
// next browser answers it, and the query after gets its own answer.
TEST_F(HacFaults, BrowserKilledWhileAQueryWaitsTheNextBrowserAnswersIt) {
    auto first = std::make_unique<Browser>(1);
    ASSERT_TRUE(first->ready());
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    ASSERT_TRUE(first->stop_all_threads());
    PendingQuery waiting(3, 4);
    ASSERT_TRUE(hac_test::wait_until([] { return hac_test::queued(request_queue()) == 1; }));
    first->kill_and_reap();
    Browser second(2);
    ASSERT_TRUE(second.ready());
    ASSERT_TRUE(waiting.finished(seconds(5)));
    EXPECT_EQ(waiting.rc, 0);
    EXPECT_EQ(waiting.errcode, hac_test::derived_error_code(3, 4, 2));
    int errcode = 0;
    ASSERT_EQ(ask_error_code(5, 6, &errcode), 0);
    EXPECT_EQ(errcode, hac_test::derived_error_code(5, 6, 2));
}

void count_signal(int) {}

void install_handler(int sig) {
    struct sigaction sa = {};
    sa.sa_handler = count_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

// A query broken off by a signal before its answer came leaves that answer
// owed. The browser sends it late, after the next query was sent: the next
// query must not take it for its own.
TEST_F(HacFaults, AnAnswerArrivingAfterItsQueryGaveUpIsNotTakenByTheNextQuery) {
    install_handler(SIGUSR1);
    Browser browser(1);
    ASSERT_TRUE(browser.ready());
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    ASSERT_TRUE(browser.stop_all_threads());
    {
        PendingQuery interrupted(3, 4);
        ASSERT_TRUE(hac_test::wait_until([] { return hac_test::queued(request_queue()) == 1; }));
        ASSERT_TRUE(hac_test::wait_until([&] {
            pthread_kill(interrupted.handle, SIGUSR1);
            return interrupted.done.load();
        }));
        EXPECT_EQ(interrupted.rc, -1);
        EXPECT_EQ(interrupted.errcode, -12345) << "out-parameter written on failure";
    }
    PendingQuery next(5, 6);
    ASSERT_TRUE(hac_test::wait_until([] { return hac_test::queued(request_queue()) == 2; }));
    browser.signal(SIGCONT);
    ASSERT_TRUE(next.finished(seconds(5)));
    EXPECT_EQ(next.rc, 0);
    EXPECT_EQ(next.errcode, hac_test::derived_error_code(5, 6, 1)) << "took the answer of the query before";
}

// A query broken off by a signal whose answer never comes (its request was
// lost before the browser took it): the next query gets its own answer.
TEST_F(HacFaults, AnAnswerThatNeverComesDoesNotHangTheNextQuery) {
    install_handler(SIGUSR1);
    Browser browser(1);
    ASSERT_TRUE(browser.ready());
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    ASSERT_TRUE(browser.stop_all_threads());
    {
        PendingQuery interrupted(3, 4);
        ASSERT_TRUE(hac_test::wait_until([] { return hac_test::queued(request_queue()) == 1; }));
        ASSERT_TRUE(hac_test::wait_until([&] {
            pthread_kill(interrupted.handle, SIGUSR1);
            return interrupted.done.load();
        }));
        EXPECT_EQ(interrupted.rc, -1);
    }
    ASSERT_EQ(hac_test::take_all(request_queue(), HAC_IPC_MTYPE).size(), 1u);  // lost: never answered
    browser.signal(SIGCONT);
    PendingQuery next(5, 6);
    ASSERT_TRUE(next.finished(seconds(5))) << "the next query threw its own answer away";
    EXPECT_EQ(next.rc, 0);
    EXPECT_EQ(next.errcode, hac_test::derived_error_code(5, 6, 1));
}

// A manager process gives up (dies) while the browser is busy, and a new
// manager process asks next. The browser answers both in order; the new
// manager takes only the answer to its own request.
TEST_F(HacFaults, ANewManagerNeverTakesTheAnswerMeantForThePreviousOne) {
    Browser browser(1);
    ASSERT_TRUE(browser.ready());
    ASSERT_TRUE(browser.stop_all_threads());
    {
        hac_test::PeerProcess old_manager({"version"});
        ASSERT_TRUE(hac_test::wait_until([] { return hac_test::queued(request_queue()) == 1; }));
        old_manager.kill_and_reap();
    }
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    PendingQuery mine(5, 6);
    ASSERT_TRUE(hac_test::wait_until([] { return hac_test::queued(request_queue()) == 2; }));
    browser.signal(SIGCONT);
    ASSERT_TRUE(mine.finished(seconds(5)));
    EXPECT_EQ(mine.rc, 0);
    EXPECT_EQ(mine.errcode, hac_test::derived_error_code(5, 6, 1)) << "took the answer to the dead manager's request";
}

// The token of the answer to the request put raw on the queue, or 0 when
// none comes in time; the kind of that answer in *kind.
int32_t answer_token(int* kind) {
    if (!hac_test::wait_until([] { return hac_test::queued(reply_queue()) > 0; })) return 0;
    const auto answer = hac_test::take_payload(reply_queue(), HAC_IPC_MTYPE);
    *kind = answer.back()->kind;
    return answer.back()->token;
}

// A browser told to stop while a request of several fragments is half
// taken: its stop order is not taken for the request's next fragment, and
// the request is answered (no-reply: the table went first) before the
// browser ends. Nothing of it is left for the next browser to skip.
TEST_F(HacFaults, ABrowserStoppingInTheMiddleOfARequestStillAnswersIt) {
    Browser browser(1);
    ASSERT_TRUE(browser.ready());
    const std::string text = R"({"t":115,"pad":")" + std::string(1500, 'x') + "\"}";
    hac_test::put_payload(request_queue(), HAC_IPC_MTYPE, IPC_KIND_REQUEST, text, 4321, 1, 1);
    ASSERT_TRUE(hac_test::wait_until([] { return hac_test::queued(request_queue()) == 0; }));  // being joined
    browser.signal(SIGTERM);
    ASSERT_TRUE(hac_test::wait_until([&] { return hac_test::last_sender(request_queue()) == browser.pid(); }));
    hac_test::put_payload(request_queue(), HAC_IPC_MTYPE, IPC_KIND_REQUEST, text, 4321, 2);
    int kind = -1;
    EXPECT_EQ(answer_token(&kind), 4321) << "the request in flight was never answered";
    EXPECT_TRUE(browser.saw(hac_test::parse_json(R"({"m":"finalized"})")));
    EXPECT_EQ(hac_test::queued(request_queue()), 0u);
}

// Requests the browser's transport cannot join whole are answered with the
// no-reply answer, so that their client is released: one over the payload
// limit, and one spoiled by a fragment of another sender that names nothing
// (without a token it cannot be told apart). A stray fragment inside a
// request that carries a token is skipped, and the request is served.
TEST_F(HacFaults, RequestsTheBrowserCannotJoinAreStillAnswered) {
    Browser browser(1);
    ASSERT_TRUE(browser.ready());
    const int q = request_queue();
    const std::string version = R"({"t":115,"pad":")" + std::string(2500, 'x') + "\"}";
    int kind = -1;

    hac_test::put_payload(q, HAC_IPC_MTYPE, IPC_KIND_REQUEST, std::string(IPC_MAX_PAYLOAD + 1, ' '), 501);
    EXPECT_EQ(answer_token(&kind), 501);
    EXPECT_EQ(kind, IPC_KIND_NO_REPLY);

    const std::string stray(HAC_IPC_CHUNK_SIZE + 1, ' ');
    const int length = static_cast<int>(version.size());
    hac_test::put_payload(q, HAC_IPC_MTYPE, IPC_KIND_REQUEST, version, 0, 1, 1);
    hac_test::put_fragment(q, HAC_IPC_MTYPE, {IPC_KIND_REQUEST, length, 0, 1025, 2, 0}, stray);
    hac_test::put_payload(q, HAC_IPC_MTYPE, IPC_KIND_REQUEST, version, 0, 2);
    EXPECT_EQ(answer_token(&kind), 0);
    EXPECT_EQ(kind, IPC_KIND_NO_REPLY);

    hac_test::put_payload(q, HAC_IPC_MTYPE, IPC_KIND_REQUEST, version, 502, 1, 1);
    hac_test::put_fragment(q, HAC_IPC_MTYPE, {IPC_KIND_REQUEST, length, 0, 1025, 2, 0}, stray);
    hac_test::put_payload(q, HAC_IPC_MTYPE, IPC_KIND_REQUEST, version, 502, 2);
    EXPECT_EQ(answer_token(&kind), 502);
    EXPECT_EQ(kind, IPC_KIND_REPLY);
}

// The command or query of another thread, run while the test holds the
// endpoint with a query of its own.
struct PendingCommand {
    std::atomic<int> rc{1};
    std::thread thread;
    explicit PendingCommand(VetuAppIdentifier app)
        : thread([this, app] { rc = Vetu_HAC_Client_StopApp(&app); }) {}
    bool finished() { return hac_test::wait_until([&] { return rc != 1; }); }
    ~PendingCommand() { thread.join(); }
};

// A time limit, with the browser stopped: the query returns -6 without
// writing its out-parameter, and its request is taken back off the queue,
// so that the browser, once continued, never serves it. A command of
// another thread waits for the endpoint no longer than the limit.
TEST_F(HacFaults, AQueryAtItsTimeLimitReturnsAndItsRequestIsNeverServed) {
    Browser browser(1);
    ASSERT_TRUE(browser.ready());
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    ASSERT_TRUE(browser.stop_all_threads());
    ASSERT_EQ(Vetu_HAC_Client_SetQueryTimeout(200), 0);
    {
        PendingQuery limited(3, 4);
        ASSERT_TRUE(limited.finished(seconds(5)));
        EXPECT_EQ(limited.rc, VETU_ERR_TIMED_OUT);
        EXPECT_EQ(limited.errcode, -12345) << "out-parameter written on a time-out";
    }
    EXPECT_EQ(hac_test::queued(request_queue()), 0u) << "the request was left for the browser";
    // A query without limit holds the endpoint; a command under the limit
    // gives up waiting for it.
    ASSERT_EQ(Vetu_HAC_Client_SetQueryTimeout(0), 0);
    PendingQuery unlimited(5, 6);
    ASSERT_TRUE(hac_test::wait_until([] { return hac_test::queued(request_queue()) == 1; }));
    ASSERT_EQ(Vetu_HAC_Client_SetQueryTimeout(200), 0);
    {
        PendingCommand waiting({8, 9});
        ASSERT_TRUE(waiting.finished());
        EXPECT_EQ(waiting.rc, VETU_ERR_TIMED_OUT);
    }
    browser.signal(SIGCONT);
    ASSERT_TRUE(unlimited.finished(seconds(5)));
    EXPECT_EQ(unlimited.rc, 0);
    EXPECT_EQ(unlimited.errcode, hac_test::derived_error_code(5, 6, 1));
    EXPECT_EQ(browser.count(served("GetAppErrorCode", 3, 4)), 0u) << "the withdrawn request was served";
    EXPECT_EQ(browser.count(served("StopApp", 8, 9)), 0u) << "the command that gave up was sent";
}

// The browser took the request and answers it only after the limit: the
// query has returned -6, and the late answer is not taken by the next one.
TEST_F(HacFaults, AnAnswerAfterTheTimeLimitIsNotTakenByTheNextQuery) {
    Browser browser(1);
    ASSERT_TRUE(browser.ready());
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    ASSERT_EQ(Vetu_HAC_Client_SetQueryTimeout(50), 0);
    int errcode = -1;
    EXPECT_EQ(ask_error_code(1, 999, &errcode), VETU_ERR_TIMED_OUT);  // the browser is busy in its member
    ASSERT_EQ(Vetu_HAC_Client_SetQueryTimeout(5000), 0);
    ASSERT_EQ(ask_error_code(5, 6, &errcode), 0);
    EXPECT_EQ(errcode, hac_test::derived_error_code(5, 6, 1)) << "took the late answer to the query before";
}

// A browser killed while a query waited, started again later: the request
// the manager gave up on is not served by the new browser.
TEST_F(HacFaults, ARequestGivenUpOnIsNotServedByABrowserStartedLater) {
    auto first = std::make_unique<Browser>(1);
    ASSERT_TRUE(first->ready());
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    ASSERT_TRUE(first->stop_all_threads());
    ASSERT_EQ(Vetu_HAC_Client_SetQueryTimeout(200), 0);
    int errcode = -1;
    EXPECT_EQ(ask_error_code(3, 4, &errcode), VETU_ERR_TIMED_OUT);
    first->kill_and_reap();
    ASSERT_EQ(Vetu_HAC_Client_SetQueryTimeout(5000), 0);
    Browser second(2);
    ASSERT_TRUE(second.ready());
    ASSERT_EQ(ask_error_code(5, 6, &errcode), 0);
    EXPECT_EQ(errcode, hac_test::derived_error_code(5, 6, 2));
    EXPECT_EQ(second.count(served("GetAppErrorCode", 3, 4)), 0u) << "the new browser served a given-up request";
}

struct StatesBack {
    std::atomic<int> appid{0};
    static void callback(const VetuAppIdentifier* app, int, const void* self) {
        if (app->orgid == 777) static_cast<const StatesBack*>(self)->appid_ref() = app->appid;
    }
    std::atomic<int>& appid_ref() const { return const_cast<std::atomic<int>&>(appid); }
};

// The three queues removed and created again under both running halves (an
// operator's hac queues --remove): each half's thread creates its queue
// again, the client opens the new ones, and a query, a command and a
// notification get through.
TEST_F(HacFaults, BothHalvesServeAgainAfterTheirQueuesWereRemoved) {
    StatesBack states;
    Vetu_HAC_Client_RegisterCallback(StatesBack::callback, &states);
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    Browser browser(1);
    ASSERT_TRUE(browser.ready());
    int errcode = -1;
    ASSERT_EQ(ask_error_code(1, 2, &errcode), 0);
    hac_test::remove_hac_queues();
    ASSERT_TRUE(hac_test::wait_until([] {
        return hac_test::queue_exists(HAC_REQUEST_QUEUE_KEY) && hac_test::queue_exists(HAC_NOTIFICATION_QUEUE_KEY);
    }));
    ASSERT_EQ(ask_error_code(5, 6, &errcode), 0);
    EXPECT_EQ(errcode, hac_test::derived_error_code(5, 6, 1));
    VetuAppIdentifier app{8, 777};
    ASSERT_EQ(Vetu_HAC_Client_StopApp(&app), 0);
    Json::Value notified = served("StopApp", 8, 777);
    notified["notify"] = 0;
    EXPECT_TRUE(browser.saw(notified));
    EXPECT_TRUE(hac_test::wait_until([&] { return states.appid == 8; }));
}

struct Notifications {
    std::mutex mutex;
    std::vector<int> seqs;
    int foreign = 0;
};

void on_app_state(const VetuAppIdentifier* app, int, const void* user_data) {
    Notifications* n = static_cast<Notifications*>(const_cast<void*>(user_data));
    std::lock_guard<std::mutex> lock(n->mutex);
    if (app->orgid == hac_test::kNumberedOrg) n->seqs.push_back(app->appid);
    else ++n->foreign;
}

// 1 kHz of SIGUSR1 at the application manager while two threads send
// commands and queries and the browser sends notifications. A query may be
// broken off by a signal (it then returns -1 and writes nothing); whatever
// returns 0 is right, and no command or notification is lost or reordered.
TEST_F(HacFaults, SignalStormAtTheApplicationManagerLosesAndMixesNothing) {
    install_handler(SIGUSR1);
    Notifications got;
    Vetu_HAC_Client_RegisterCallback(on_app_state, &got);
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    const int kNotifications = 300;
    Browser browser(1, kNotifications);
    ASSERT_TRUE(browser.ready());

    std::atomic<bool> storming{true};
    std::atomic<long> signals{0};
    std::thread storm([&] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);  // delivered to the other threads
        while (storming) {
            kill(getpid(), SIGUSR1);
            ++signals;
            usleep(1000);
        }
    });
    const int kThreads = 2, kRounds = 150;
    std::atomic<int> wrong{0}, failed_queries{0}, failed_commands{0}, good_queries{0};
    std::vector<std::thread> workers;
    for (int t = 1; t <= kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (int seq = 1; seq <= kRounds; ++seq) {
                VetuAppIdentifier app{t, seq};
                if (Vetu_HAC_Client_StopApp(&app) != 0) ++failed_commands;
                int errcode = -1;
                const int rc = ask_error_code(t, seq, &errcode);
                if (rc == 0 && errcode != hac_test::derived_error_code(t, seq, 1)) ++wrong;
                if (rc == 0) ++good_queries;
                if (rc != 0 && errcode != -1) ++wrong;
                if (rc != 0) ++failed_queries;
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_TRUE(browser.saw(hac_test::parse_json(R"({"m":"notified","count":)" + std::to_string(kNotifications) + "}"),
                            seconds(10)));
    EXPECT_TRUE(hac_test::wait_until([&] {
        std::lock_guard<std::mutex> lock(got.mutex);
        return got.seqs.size() >= static_cast<size_t>(kNotifications);
    }));
    storming = false;
    storm.join();

    EXPECT_EQ(wrong, 0) << "misattributed answers";
    EXPECT_EQ(failed_commands, 0);
    RecordProperty("signals", static_cast<int>(signals));
    RecordProperty("queries_broken_off", failed_queries.load());
    std::printf("signals %ld, queries answered %d, broken off by a signal %d\n", signals.load(), good_queries.load(),
                failed_queries.load());
    std::vector<int> expected(kNotifications);
    for (int i = 0; i < kNotifications; ++i) expected[i] = i + 1;
    {
        std::lock_guard<std::mutex> lock(got.mutex);
        EXPECT_EQ(got.seqs, expected);
        EXPECT_EQ(got.foreign, 0);
    }
    // Every command arrived, in each thread's order.
    for (int t = 1; t <= kThreads; ++t) {
        std::vector<long> seqs;
        for (const Json::Value& line : browser.reports())
            if (line["m"] == "StopApp" && line["appid"] == t) seqs.push_back(line["orgid"].asInt());
        std::vector<long> want(kRounds);
        for (int i = 0; i < kRounds; ++i) want[i] = i + 1;
        EXPECT_EQ(seqs, want) << "thread " << t;
    }
}

void put_stale_stop_order(key_t key) {
    const int q = msgget(key, IPC_CREAT | 0666);
    char empty[] = "";
    IpcData stop = {0, empty};
    ASSERT_EQ(ipc_snd_internal(q, HAC_IPC_MTYPE, HAC_IPC_CHUNK_SIZE, &stop, IPC_KIND_STOP), 0);
}

// A stop order left in the request queue by an earlier run: the browser
// that starts next still serves.
TEST_F(HacFaults, AStaleStopOrderInTheRequestQueueDoesNotSilenceTheBrowser) {
    put_stale_stop_order(HAC_REQUEST_QUEUE_KEY);
    auto browser = std::make_unique<Browser>(1);
    ASSERT_TRUE(browser->ready());
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    PendingQuery query(1, 2);
    const bool answered = query.finished(seconds(3));
    EXPECT_TRUE(answered) << "the browser's receive thread took the stale stop order and stopped";
    if (!answered) {
        browser->kill_and_reap();  // a fresh browser releases the waiting query
        browser = std::make_unique<Browser>(1);
        ASSERT_TRUE(query.finished(seconds(5)));
    }
    EXPECT_EQ(query.rc, 0);
}

// The same on the notification queue, before the application manager starts.
TEST_F(HacFaults, AStaleStopOrderInTheNotificationQueueDoesNotSilenceTheClient) {
    put_stale_stop_order(HAC_NOTIFICATION_QUEUE_KEY);
    Notifications got;
    Vetu_HAC_Client_RegisterCallback(on_app_state, &got);
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    Browser browser(1, 1);
    ASSERT_TRUE(browser.ready());
    EXPECT_TRUE(hac_test::wait_until(
        [&] {
            std::lock_guard<std::mutex> lock(got.mutex);
            return got.seqs.size() == 1;
        },
        seconds(3)))
        << "the client's receive thread took the stale stop order and stopped";
}

// Two fragments of a three-fragment request left by a client that died:
// the browser that starts next serves the requests that follow.
TEST_F(HacFaults, AHalfSentRequestDoesNotSwallowTheNextRequest) {
    const int q = msgget(HAC_REQUEST_QUEUE_KEY, IPC_CREAT | 0666);
    std::vector<char> buffer(IPC_FRAGMENT_BUFFER_SIZE(HAC_IPC_CHUNK_SIZE));
    IpcFragment* f = reinterpret_cast<IpcFragment*>(buffer.data());
    for (int seq = 1; seq <= 2; ++seq) {
        std::fill(buffer.begin(), buffer.end(), 0);
        f->mtype = HAC_IPC_MTYPE;
        f->kind = IPC_KIND_MESSAGE;
        f->total_len = 3000;
        f->seq = seq;
        f->one = 1;
        f->chunk_len = HAC_IPC_CHUNK_SIZE + 1;
        std::fill(f->data, f->data + HAC_IPC_CHUNK_SIZE + 1, ' ');
        ASSERT_EQ(msgsnd(q, f, IPC_FRAGMENT_MSGSZ(HAC_IPC_CHUNK_SIZE), IPC_NOWAIT), 0);
    }
    Browser browser(1);
    ASSERT_TRUE(browser.ready());
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    VetuAppIdentifier app{9, 1};
    ASSERT_EQ(Vetu_HAC_Client_StopApp(&app), 0);
    EXPECT_TRUE(browser.saw(served("StopApp", 9, 1), seconds(3)))
        << "the command after the leftover fragments was lost";
    int errcode = 0;
    EXPECT_EQ(ask_error_code(2, 3, &errcode), 0);
    EXPECT_EQ(errcode, hac_test::derived_error_code(2, 3, 1));
}

}  // namespace
