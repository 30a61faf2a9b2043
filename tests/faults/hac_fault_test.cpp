// The two HAC halves under process faults, on the fixed HAC queues: this
// test process is the application manager, the peer process the browser.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/msg.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "hac_fixture.h"

namespace {

// The browser is the peer process with the recording browser's table,
// answering queries by its generation: {"browser", generation,
// notifications to send}.
using hac_test::PeerProcess;
using hac_test::queued;
using hac_test::wait_until;
using std::chrono::seconds;

class HacFaults : public hac_test::HacQueues {
protected:
    void SetUp() override {
        HacQueues::SetUp();
        struct sigaction caught = {};
        caught.sa_handler = [](int) {};  // SIGUSR1 breaks off a wait, and nothing more
        sigaction(SIGUSR1, &caught, nullptr);
    }
};

int request_queue() { return msgget(HAC_REQUEST_QUEUE_KEY, 0); }
int reply_queue() { return msgget(HAC_REPLY_QUEUE_KEY, 0); }

// A report of the browser's (or the manager's) member called for this application.
Json::Value served(const std::string& member, int appid, int orgid) {
    return hac_test::parse_json(R"({"m":")" + member + R"(","appid":)" + std::to_string(appid) + R"(,"orgid":)" +
                                std::to_string(orgid) + "}");
}

int ask_error_code(int appid, int orgid, int* out) {
    VetuAppIdentifier app{appid, orgid};
    return Vetu_HAC_Client_GetAppErrorCode(&app, out);
}

const int kUntouched = -12345;

// A command or query run on a thread of its own, so that the test can fault
// the browser while it waits. One whose answer never comes is released with
// a no-reply answer, so that a failed test still ends.
struct PendingCall {
    std::atomic<int> rc{1};  // 1 until the call returns
    int appid = 0, orgid = 0;
    int errcode = kUntouched;  // the query's out-parameter
    std::thread thread;

    explicit PendingCall(const std::function<int()>& call) : thread([this, call] { rc = call(); }) {}
    PendingCall(int a, int o) : appid(a), orgid(o), thread([this] { rc = ask_error_code(appid, orgid, &errcode); }) {}
    bool finished(std::chrono::milliseconds timeout = seconds(5)) {
        return wait_until([&] { return rc != 1; }, timeout);
    }
    ~PendingCall() {
        while (!finished(seconds(1))) {
            char a[] = "a";
            IpcData none = {2, a};
            ipc_snd_internal(reply_queue(), HAC_IPC_MTYPE, HAC_IPC_CHUNK_SIZE, &none, IPC_KIND_NO_REPLY);
        }
        thread.join();
    }
};

// The query got its own answer, from a browser of that generation.
void expect_own_answer(PendingCall& query, int generation) {
    ASSERT_TRUE(query.finished()) << "never answered";
    EXPECT_EQ(query.rc, 0);
    EXPECT_EQ(query.errcode, hac_test::derived_error_code(query.appid, query.orgid, generation))
        << "took the answer to another request";
}

// Breaks off with a signal a query waiting for the stopped browser: it
// returns -1, writes no out-parameter, and leaves its request alone in the
// queue.
void interrupt_query(int appid, int orgid) {
    PendingCall query(appid, orgid);
    ASSERT_TRUE(wait_until([&] { return queued(request_queue()) == 1; }));
    ASSERT_TRUE(wait_until([&] {
        pthread_kill(query.thread.native_handle(), SIGUSR1);
        return query.rc != 1;
    }));
    EXPECT_EQ(query.rc, -1);
    EXPECT_EQ(query.errcode, kUntouched) << "out-parameter written on failure";
}

std::vector<int> one_to(int n) {
    std::vector<int> v(static_cast<size_t>(n));
    std::iota(v.begin(), v.end(), 1);
    return v;
}

// The numbers of the browser's numbered notifications the manager got, in
// order; -1 for any other application state.
std::vector<int> numbered_states(hac_test::ReportLog& log) {
    std::vector<int> out;
    for (const Json::Value& line : log.all())
        if (line["m"] == "AppState")
            out.push_back(line["orgid"] == hac_test::kNumberedOrg ? line["appid"].asInt() : -1);
    return out;
}

// Five fragments a message while the browser is stopped and continued over
// and over: every message whose send returned 0 reaches the browser intact
// and in order.
TEST_F(HacFaults, BrowserStoppedAndContinuedMidStreamLosesAndMixesNothing) {
    PeerProcess browser({"browser", "1"});
    ASSERT_TRUE(browser.ready() && Vetu_HAC_Client_Initialize() == 0);
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
    toggler.join();  // it leaves the browser continued
    const auto received = [&] {
        std::vector<long> numbers;  // -1 for a damaged text
        for (const Json::Value& line : browser.reports())
            if (line["m"] == "SendXmlAitUrl")
                numbers.push_back(hac_test::check_numbered_payload(line["xml"].asString()));
        return numbers;
    };
    EXPECT_TRUE(wait_until([&] { return received().size() >= accepted.size(); }, seconds(10)));
    EXPECT_EQ(received(), accepted) << "lost, reordered or damaged (-1)";
    EXPECT_GT(accepted.size(), 100u);
}

// A manager process gives up (dies) while the browser is busy, and a new
// manager process (this one, its first query) asks next: the browser
// answers both in order, and the new manager takes only the answer to its
// own request. Then queries broken off by a signal while the browser is
// stopped. One whose request was lost before the browser took it owes no
// answer: the next query gets its own. One whose answer comes late, after
// the next query was sent: the next query does not take that answer for its
// own.
TEST_F(HacFaults, AnswersMeantForAQueryThatGaveUpOrADeadManagerAreNeverTakenByTheNextQuery) {
    PeerProcess browser({"browser", "1"});
    ASSERT_TRUE(browser.ready() && browser.stop_all_threads());
    PeerProcess old_manager({"version"});
    ASSERT_TRUE(wait_until([] { return queued(request_queue()) == 1; }));
    old_manager.kill_and_reap();
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    PendingCall mine(1, 2);
    ASSERT_TRUE(wait_until([] { return queued(request_queue()) == 2; }));
    browser.signal(SIGCONT);
    expect_own_answer(mine, 1);

    ASSERT_TRUE(browser.stop_all_threads());
    interrupt_query(3, 4);
    ASSERT_EQ(hac_test::take_all(request_queue(), HAC_IPC_MTYPE).size(), 1u);  // lost: never answered
    browser.signal(SIGCONT);
    PendingCall after_lost(5, 6);
    expect_own_answer(after_lost, 1);
    ASSERT_TRUE(browser.stop_all_threads());
    interrupt_query(7, 8);  // answered late
    PendingCall after_late(9, 10);
    ASSERT_TRUE(wait_until([] { return queued(request_queue()) == 2; }));
    browser.signal(SIGCONT);
    expect_own_answer(after_late, 1);
}

// The token and kind of the answer to a request put raw on the queue; 0 and
// -1 when none comes in time.
std::pair<int32_t, int> raw_answer() {
    if (!wait_until([] { return queued(reply_queue()) > 0; })) return {0, -1};
    const auto answer = hac_test::take_payload(reply_queue(), HAC_IPC_MTYPE);
    return {answer.back()->token, answer.back()->kind};
}

// Every request the browser begins to join is answered, so that its client
// is released. Those its transport cannot join whole get the no-reply
// answer: one over the payload limit, and one spoiled by a fragment of
// another sender that names nothing (without a token it cannot be told
// apart); a stray fragment inside a request that carries a token is
// skipped, and the request is served. A browser told to stop while a
// request is half taken does not take its stop order for the request's next
// fragment: it answers the request (no-reply: the table went first) before
// it ends, and leaves nothing of it for the next browser to skip.
TEST_F(HacFaults, EveryRequestTheBrowserBeginsToJoinIsAnswered) {
    PeerProcess browser({"browser", "1"});
    ASSERT_TRUE(browser.ready());
    const int q = request_queue();
    const std::string version = R"({"t":115,"pad":")" + std::string(2500, 'x') + "\"}";
    hac_test::put_payload(q, HAC_IPC_MTYPE, IPC_KIND_REQUEST, std::string(IPC_MAX_PAYLOAD + 1, ' '), 501);
    EXPECT_EQ(raw_answer(), std::make_pair(501, int{IPC_KIND_NO_REPLY}));
    for (const int32_t token : {0, 502}) {
        hac_test::put_payload(q, HAC_IPC_MTYPE, IPC_KIND_REQUEST, version, token, 1, 1);
        hac_test::put_fragment(q, HAC_IPC_MTYPE, {IPC_KIND_REQUEST, static_cast<int>(version.size()), 0, 1025, 2, 0},
                               std::string(HAC_IPC_CHUNK_SIZE + 1, ' '));
        hac_test::put_payload(q, HAC_IPC_MTYPE, IPC_KIND_REQUEST, version, token, 2);
        EXPECT_EQ(raw_answer(), std::make_pair(token, int{token == 0 ? IPC_KIND_NO_REPLY : IPC_KIND_REPLY}));
    }

    hac_test::put_payload(q, HAC_IPC_MTYPE, IPC_KIND_REQUEST, version, 4321, 1, 1);
    ASSERT_TRUE(wait_until([&] { return queued(q) == 0; }));  // being joined
    browser.signal(SIGTERM);
    ASSERT_TRUE(wait_until([&] { return hac_test::last_sender(q) == browser.pid(); }));
    hac_test::put_payload(q, HAC_IPC_MTYPE, IPC_KIND_REQUEST, version, 4321, 2);
    EXPECT_EQ(raw_answer(), std::make_pair(4321, int{IPC_KIND_NO_REPLY})) << "the request in flight was not answered";
    EXPECT_TRUE(browser.saw(hac_test::parse_json(R"({"m":"finalized"})")));
    EXPECT_EQ(queued(q), 0u);
}

// A time limit, with the browser stopped: the query returns -6 without
// writing its out-parameter, and its request is taken back off the queue,
// so that neither that browser, continued, nor the one started after it
// ever serves it. A command of another thread waits for the endpoint no
// longer than the limit. An answer that comes after the limit (the browser
// busy in its member) is not taken by the next query. A query without limit
// still waits when the browser is killed, and the browser started next
// answers it.
TEST_F(HacFaults, QueriesAtTheirTimeLimitOrAcrossABrowserRestartGetOnlyTheirOwnAnswers) {
    PeerProcess first({"browser", "1"});
    ASSERT_TRUE(first.ready() && Vetu_HAC_Client_Initialize() == 0);
    ASSERT_TRUE(first.stop_all_threads());
    ASSERT_EQ(Vetu_HAC_Client_SetQueryTimeout(200), 0);
    PendingCall limited(3, 4);
    ASSERT_TRUE(limited.finished());
    EXPECT_EQ(limited.rc, VETU_ERR_TIMED_OUT);
    EXPECT_EQ(limited.errcode, kUntouched) << "out-parameter written on a time-out";
    EXPECT_EQ(queued(request_queue()), 0u) << "the request was left for the browser";
    // A query without limit holds the endpoint; a command under the limit
    // gives up waiting for it.
    ASSERT_EQ(Vetu_HAC_Client_SetQueryTimeout(0), 0);
    PendingCall unlimited(5, 6);
    ASSERT_TRUE(wait_until([] { return queued(request_queue()) == 1; }));
    ASSERT_EQ(Vetu_HAC_Client_SetQueryTimeout(200), 0);
    const VetuAppIdentifier stopped{8, 9};
    PendingCall command([&] { return Vetu_HAC_Client_StopApp(&stopped); });
    ASSERT_TRUE(command.finished());
    EXPECT_EQ(command.rc, VETU_ERR_TIMED_OUT);
    first.signal(SIGCONT);
    expect_own_answer(unlimited, 1);

    ASSERT_EQ(Vetu_HAC_Client_SetQueryTimeout(50), 0);
    int errcode = kUntouched;
    EXPECT_EQ(ask_error_code(1, hac_test::kSlowMemberOrg, &errcode), VETU_ERR_TIMED_OUT);
    ASSERT_EQ(Vetu_HAC_Client_SetQueryTimeout(0), 0);
    PendingCall next(2, 3);
    expect_own_answer(next, 1);

    ASSERT_TRUE(first.stop_all_threads());
    PendingCall across(4, 5);
    ASSERT_TRUE(wait_until([] { return queued(request_queue()) == 1; }));
    first.kill_and_reap();
    PeerProcess second({"browser", "2"});  // not awaited: it may report the waiting query before it reports ready
    expect_own_answer(across, 2);
    for (PeerProcess* browser : {&first, &second}) {
        EXPECT_EQ(browser->count(served("GetAppErrorCode", 3, 4)), 0u) << "the withdrawn request was served";
        EXPECT_EQ(browser->count(served("StopApp", 8, 9)), 0u) << "the command that gave up was sent";
    }
}

// Leftovers of an earlier run: stop orders in the request and the
// notification queue, and two fragments of a three-fragment request of a
// client that died. Neither half's receive thread takes a stop order for
// its own, and the browser serves the requests after the fragments. Then
// the three queues are removed under both running halves (an operator's
// hac queues --remove): each half's thread creates its queue again, the
// client opens the new ones, and a query, a command and a notification get
// through.
TEST_F(HacFaults, LeftoversOfAnEarlierRunAndRemovedQueuesSilenceNeitherHalf) {
    for (const key_t key : {HAC_REQUEST_QUEUE_KEY, HAC_NOTIFICATION_QUEUE_KEY})
        hac_test::put_payload(msgget(key, IPC_CREAT | 0666), HAC_IPC_MTYPE, IPC_KIND_STOP, "", 0);
    hac_test::put_payload(request_queue(), HAC_IPC_MTYPE, IPC_KIND_MESSAGE, std::string(3000, ' '), 0, 1, 2);
    hac_test::ReportLog log;
    hac_test::register_recording_manager();
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    PeerProcess browser({"browser", "1", "1"});
    ASSERT_TRUE(browser.ready());
    EXPECT_TRUE(wait_until([&] { return numbered_states(log) == one_to(1); }))
        << "the client's receive thread took the stale stop order and stopped";
    VetuAppIdentifier app{9, 1};
    ASSERT_EQ(Vetu_HAC_Client_StopApp(&app), 0);
    EXPECT_TRUE(browser.saw(served("StopApp", 9, 1))) << "the command after the leftover fragments was lost";
    PendingCall query(2, 3);
    expect_own_answer(query, 1);  // else the browser's receive thread took the stale stop order

    hac_test::remove_hac_queues();
    ASSERT_TRUE(wait_until([] {
        return hac_test::queue_exists(HAC_REQUEST_QUEUE_KEY) && hac_test::queue_exists(HAC_NOTIFICATION_QUEUE_KEY);
    }));
    PendingCall after(5, 6);
    expect_own_answer(after, 1);
    app = {8, hac_test::kNotifyBackOrg};
    ASSERT_EQ(Vetu_HAC_Client_StopApp(&app), 0);
    EXPECT_TRUE(log.saw(served("AppState", 8, hac_test::kNotifyBackOrg))) << "the browser's notification was lost";
}

// 1 kHz of SIGUSR1 at the application manager while two threads send
// commands and queries and the browser sends notifications. A query may be
// broken off by a signal (it then returns -1 and writes nothing); whatever
// returns 0 is right, and no command or notification is lost or reordered.
TEST_F(HacFaults, SignalStormAtTheApplicationManagerLosesAndMixesNothing) {
    hac_test::ReportLog log;
    hac_test::register_recording_manager();
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    const int kNotifications = 300, kThreads = 2, kRounds = 150;
    PeerProcess browser({"browser", "1", std::to_string(kNotifications)});
    ASSERT_TRUE(browser.ready());

    std::atomic<bool> storming{true};
    std::atomic<long> signals{0};
    std::thread storm([&] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);  // delivered to the other threads
        for (; storming; ++signals) {
            kill(getpid(), SIGUSR1);
            usleep(1000);  // the storm's own rhythm
        }
    });
    std::atomic<int> wrong{0}, failed_commands{0}, broken_off{0};
    std::vector<std::thread> workers;
    for (int t = 1; t <= kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (int seq = 1; seq <= kRounds; ++seq) {
                VetuAppIdentifier app{t, seq};
                failed_commands += Vetu_HAC_Client_StopApp(&app) != 0;
                int errcode = kUntouched;
                const int rc = ask_error_code(t, seq, &errcode);
                broken_off += rc != 0;
                wrong += errcode != (rc == 0 ? hac_test::derived_error_code(t, seq, 1) : kUntouched);
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_TRUE(browser.saw(hac_test::parse_json(R"({"m":"notified"})"), seconds(10)));
    EXPECT_TRUE(wait_until([&] { return numbered_states(log).size() >= static_cast<size_t>(kNotifications); }));
    storming = false;
    storm.join();

    EXPECT_EQ(wrong, 0) << "misattributed answers";
    EXPECT_EQ(failed_commands, 0);
    std::printf("signals %ld, queries broken off by a signal %d\n", signals.load(), broken_off.load());
    EXPECT_EQ(numbered_states(log), one_to(kNotifications));
    for (int t = 1; t <= kThreads; ++t) {  // every command arrived, in each thread's order
        std::vector<int> seqs;
        for (const Json::Value& line : browser.reports())
            if (line["m"] == "StopApp" && line["appid"] == t) seqs.push_back(line["orgid"].asInt());
        EXPECT_EQ(seqs, one_to(kRounds)) << "thread " << t;
    }
}

}  // namespace
