// Soak of the HAC channel between two real processes on the fixed queues:
// several application-manager threads send commands and queries while the
// browser (a child forked before any thread) sends notifications.
//
//   hac_soak [seconds] [threads]      (or HAC_SOAK_SECONDS, HAC_SOAK_THREADS)
//
// The halves are the recording browser and manager of the tests. Every
// query's answer is derived from its request, so a misattributed
// answer is caught; every one-way message carries a per-thread sequence
// number, so loss and reordering are caught. Prints the counts and the
// resident memory of both processes; exits 1 when anything was lost,
// misattributed or reordered, or (runs of 20 s and more) when either
// process grew by 1 MiB or more after warm-up.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "recording_halves.h"
#include "test_support.h"
#include "vetu_hac.h"

namespace {

const int kMaxThreads = 16;
const size_t kXmlBytes = 3000;  // three fragments

using Clock = std::chrono::steady_clock;
using hac_test::kNumberedOrg;

// Counters the browser keeps for the application manager to read.
struct Shared {
    std::atomic<int> browser_ready;
    std::atomic<int> stop_notifying;
    std::atomic<int> notifying_stopped;  // set once the last send is counted
    std::atomic<long> notifications_sent;
    std::atomic<long> stops_received[kMaxThreads + 1];
    std::atomic<long> xml_received[kMaxThreads + 1];
    std::atomic<long> out_of_order;
    std::atomic<long> damaged;
};

Shared* g_shared;

// ---- browser: the recording browser, its reports checked as they come ----

// A StopApp names its thread in the appid and its number in the orgid; an
// XML AIT URL its thread in the ccid and is a numbered payload.
void check_browser_report(const Json::Value& line) {
    const bool stop = line["m"] == "StopApp";
    if (!stop && line["m"] != "SendXmlAitUrl") return;
    const int thread = stop ? line["appid"].asInt() : std::atoi(line["ccid"].asCString());
    const long seq = stop ? line["orgid"].asInt() : hac_test::check_numbered_payload(line["xml"].asString());
    if (thread < 1 || thread > kMaxThreads || seq < 0) {
        ++g_shared->damaged;
        return;
    }
    std::atomic<long>& last = stop ? g_shared->stops_received[thread] : g_shared->xml_received[thread];
    if (seq != last.load() + 1) ++g_shared->out_of_order;
    last = seq;
}

[[noreturn]] void run_browser() {
    hac_test::set_report_sink(check_browser_report);
    Vetu_HAC_Server_RegisterCallback(hac_test::recording_browser(), nullptr);
    Vetu_HAC_Server_Initialize();
    g_shared->browser_ready = 1;
    long seq = 0;
    while (!g_shared->stop_notifying) {
        // Numbered in order of acceptance: a refused one is sent again.
        if (Vetu_HAC_Server_SendAppState(static_cast<int>(seq + 1), kNumberedOrg, VETU_APP_EVENT_STARTED) == 0)
            g_shared->notifications_sent = ++seq;
        usleep(500);
    }
    g_shared->notifying_stopped = 1;
    for (;;) pause();
}

// ---- application manager ----

struct ThreadCounts {
    long stops_accepted = 0, xml_accepted = 0, command_failures = 0;
    long queries = 0, query_failures = 0, misattributed = 0;
};

std::atomic<long> g_notifications{0};
std::atomic<long> g_notifications_out_of_order{0};

// Besides the numbered states, the browser's StopApp member sends one back
// for the orgid that asks for it.
void check_manager_report(const Json::Value& line) {
    if (line["m"] != "AppState" || line["orgid"] == hac_test::kNotifyBackOrg) return;
    const int appid = line["appid"].asInt();
    if (line["orgid"] != kNumberedOrg || appid != g_notifications.load() + 1) ++g_notifications_out_of_order;
    g_notifications = appid;
}

// One of the five queries in turn: its status, and whether its answer is
// the one the browser derives from this request.
struct Answer {
    int status;
    bool derived;
};

Answer ask(int thread, long round) {
    const int a = thread, b = static_cast<int>(round % 100000);
    int v[3] = {0, 0, 0};
    VetuAppIdentifier app{a, b};
    switch (round % 5) {
        case 0:
            return {Vetu_HAC_Client_GetAppErrorCode(&app, &v[0]), v[0] == hac_test::derived_error_code(a, b, 1)};
        case 1:
            return {Vetu_HAC_Client_ShowTeleTextApp(b, &v[0]), v[0] == hac_test::derived_teletext(b)};
        case 2: {
            const std::string url = "http://soak/" + std::to_string(a) + "/" + std::to_string(round);
            const int src = static_cast<int>(round % 3);
            const int status = Vetu_HAC_Client_CreateBIApplication(url.c_str(), static_cast<int>(url.size()), &app,
                                                                   static_cast<VetuApplicationSource>(src));
            const VetuAppIdentifier derived = hac_test::derived_application(url, src);
            return {status, app.appid == derived.appid && app.orgid == derived.orgid};
        }
        case 3:
            return {Vetu_HAC_Client_GetVersion(&v[0], &v[1], &v[2]), v[0] == 1 && v[1] == 2 && v[2] == 3};
        default:
            return {Vetu_HAC_Client_IsAppRunning(&v[0]), v[0] == 1};
    }
}

void apm_thread(int thread, Clock::time_point end, ThreadCounts* c) {
    const std::string ccid = std::to_string(thread);
    for (long round = 1; Clock::now() < end; ++round) {
        VetuAppIdentifier app{thread, static_cast<int>(c->stops_accepted + 1)};
        if (Vetu_HAC_Client_StopApp(&app) == 0) ++c->stops_accepted;
        else ++c->command_failures;
        if (round % 4 == 0) {
            const std::string xml = hac_test::numbered_payload(c->xml_accepted + 1, kXmlBytes);
            if (Vetu_HAC_Client_SendXmlAitUrl(xml.c_str(), static_cast<int>(xml.size()), ccid.c_str(),
                                              static_cast<int>(ccid.size())) == 0)
                ++c->xml_accepted;
            else ++c->command_failures;
        }
        ++c->queries;
        const Answer answer = ask(thread, round);
        if (answer.status != 0) ++c->query_failures;
        else if (!answer.derived) ++c->misattributed;
    }
}

long resident_kib(pid_t pid) {
    const std::string statm = hac_test::read_file("/proc/" + std::to_string(pid) + "/statm");
    long size = 0, resident = 0;
    if (std::sscanf(statm.c_str(), "%ld %ld", &size, &resident) != 2) return -1;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The peak over the first sample after warm-up (the first quarter).
long growth(const std::vector<long>& samples) {
    if (samples.size() < 4) return 0;
    const auto warm = samples.begin() + static_cast<long>(samples.size() / 4);
    return *std::max_element(warm, samples.end()) - *warm;
}

int env_or(const char* name, int fallback, int argc, char** argv, int index) {
    if (argc > index) return std::atoi(argv[index]);
    const char* v = std::getenv(name);
    return v != nullptr ? std::atoi(v) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = env_or("HAC_SOAK_SECONDS", 20, argc, argv, 1);
    const int threads = std::min(kMaxThreads, std::max(1, env_or("HAC_SOAK_THREADS", 4, argc, argv, 2)));
    hac_test::remove_hac_queues();
    void* mem = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) return 2;
    g_shared = new (mem) Shared();
    std::fflush(stdout);
    const pid_t browser = fork();
    if (browser < 0) return 2;
    if (browser == 0) run_browser();

    hac_test::set_report_sink(check_manager_report);
    hac_test::register_recording_manager();
    Vetu_HAC_Client_Initialize();
    if (!hac_test::wait_until([] { return g_shared->browser_ready.load() == 1; })) return 2;

    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    std::vector<ThreadCounts> counts(static_cast<size_t>(threads));
    std::vector<std::thread> workers;
    for (int t = 1; t <= threads; ++t) workers.emplace_back(apm_thread, t, end, &counts[static_cast<size_t>(t - 1)]);
    std::vector<long> apm_kib, browser_kib;
    std::printf("%8s %10s %10s %12s\n", "second", "apm_kib", "browser_kib", "notified");
    for (int s = 0; Clock::now() < end; ++s) {
        hac_test::wait_until([&] { return Clock::now() >= start + std::chrono::seconds(s + 1); },
                             std::chrono::seconds(2));
        apm_kib.push_back(resident_kib(getpid()));
        browser_kib.push_back(resident_kib(browser));
        if (s % std::max(1, seconds / 20) == 0)
            std::printf("%8d %10ld %10ld %12ld\n", s + 1, apm_kib.back(), browser_kib.back(), g_notifications.load());
    }
    for (auto& w : workers) w.join();

    ThreadCounts total;
    long stops_lost = 0, xml_lost = 0, commands = 0;
    for (int t = 1; t <= threads; ++t) {
        const ThreadCounts& c = counts[static_cast<size_t>(t - 1)];
        // Wait for what was accepted to be taken, then compare.
        hac_test::wait_until([&] {
            return g_shared->stops_received[t] >= c.stops_accepted && g_shared->xml_received[t] >= c.xml_accepted;
        });
        stops_lost += c.stops_accepted - g_shared->stops_received[t];
        xml_lost += c.xml_accepted - g_shared->xml_received[t];
        commands += c.stops_accepted + c.xml_accepted + c.command_failures;
        total.command_failures += c.command_failures;
        total.queries += c.queries;
        total.query_failures += c.query_failures;
        total.misattributed += c.misattributed;
    }
    g_shared->stop_notifying = 1;
    hac_test::wait_until([] { return g_shared->notifying_stopped.load() != 0; });
    hac_test::wait_until([] { return g_notifications.load() >= g_shared->notifications_sent.load(); });
    const long notifications_lost = g_shared->notifications_sent - g_notifications;
    kill(browser, SIGKILL);
    waitpid(browser, nullptr, 0);
    Vetu_HAC_Client_Finalize();
    hac_test::remove_hac_queues();

    const long apm_growth = growth(apm_kib), browser_growth = growth(browser_kib);
    std::printf("threads %d, seconds %d\n", threads, seconds);
    std::printf("commands %ld (refused %ld), lost %ld (StopApp %ld, SendXmlAitUrl %ld), reordered %ld, damaged %ld\n",
                commands, total.command_failures, stops_lost + xml_lost, stops_lost, xml_lost,
                g_shared->out_of_order.load(), g_shared->damaged.load());
    std::printf("queries %ld, failed %ld, misattributed %ld\n", total.queries, total.query_failures,
                total.misattributed);
    std::printf("notifications %ld, lost %ld, reordered %ld\n", g_shared->notifications_sent.load(),
                notifications_lost, g_notifications_out_of_order.load());
    std::printf("resident KiB after warm-up: apm +%ld, browser +%ld\n", apm_growth, browser_growth);
    const bool memory_ok = seconds < 20 || (apm_growth < 1024 && browser_growth < 1024);
    const bool ok = stops_lost + xml_lost == 0 && notifications_lost == 0 && total.misattributed == 0 &&
                    total.query_failures == 0 && g_shared->out_of_order == 0 && g_shared->damaged == 0 &&
                    g_notifications_out_of_order == 0 && memory_ok;
    std::printf("%s\n", ok ? "soak passed" : "soak FAILED");
    return ok ? 0 : 1;
}
