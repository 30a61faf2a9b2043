// What hac monitor costs the processes it watches: messages per second
// between a browser process and an application-manager process of the
// library, untraced, while hac monitor traces both, and again after it has
// detached. Two loads: GetVersion queries (a request and its reply, one
// query in flight) and StopApp commands (one-way; each batch ends with a
// query, so that the count holds only what the browser has taken).
//
// Usage: monitor_bench HAC [SECONDS [ROUNDS]]
//   HAC      the hac tool to run as the monitor (build-bench/tools/hac)
//   SECONDS  length of each measurement (default 2)
//   ROUNDS   rounds of untraced, traced, detached (default 3); the table
//            shows the median of the rounds
// Uses the fixed HAC queues: run it in an IPC namespace of its own
// (bench/monitor does).
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "hac_message_type.h"
#include "vetu_hac.h"

namespace {

typedef std::chrono::steady_clock Clock;

void remove_hac_queues();
void quiet_stdout();

// ---- the browser ----

void on_get_version(int* major, int* minor, int* number) {
    *major = 1;
    *minor = 2;
    *number = 3;
}

void on_stop_app(const VetuAppIdentifier*) {}

[[noreturn]] void run_browser(int ready_fd) {
    VetuHacServerCallback table;
    memset(&table, 0, sizeof table);
    table.GetVersion = on_get_version;
    table.StopApp = on_stop_app;
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    Vetu_HAC_Server_RegisterCallback(table, nullptr);
    Vetu_HAC_Server_Initialize();
    const char ready = 'r';
    if (write(ready_fd, &ready, 1) != 1) _exit(1);
    int sig = 0;
    sigwait(&stop, &sig);
    Vetu_HAC_Server_Finalize();
    _exit(0);
}

// ---- the application manager: runs one load per order ----

struct Order {
    char load;  // 'q' queries, 'c' commands, 'x' end
    double seconds;
};

struct Result {
    long long messages;
    double seconds;
    int failures;
};

Result run_load(const Order& order) {
    Result result = {0, 0, 0};
    const VetuAppIdentifier app = {1, 2};
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(order.seconds));
    int major = 0, minor = 0, number = 0;
    while (Clock::now() < end) {
        if (order.load == 'q') {
            if (Vetu_HAC_Client_GetVersion(&major, &minor, &number) != 0) ++result.failures;
            result.messages += 2;
            continue;
        }
        for (int i = 0; i < 100; ++i)
            if (Vetu_HAC_Client_StopApp(&app) != 0) ++result.failures;
        result.messages += 100;
    }
    // The browser has taken every command once it answers this.
    if (order.load == 'c' && Vetu_HAC_Client_GetVersion(&major, &minor, &number) != 0) ++result.failures;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

[[noreturn]] void run_manager(int order_fd, int result_fd) {
    if (Vetu_HAC_Client_Initialize() != 0) _exit(1);
    Order order;
    while (read(order_fd, &order, sizeof order) == (ssize_t)sizeof order && order.load != 'x') {
        const Result result = run_load(order);
        if (write(result_fd, &result, sizeof result) != (ssize_t)sizeof result) _exit(1);
    }
    Vetu_HAC_Client_Finalize();
    _exit(0);
}

// ---- the monitor ----

pid_t tracer_of(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 10, "TracerPid:") == 0) return (pid_t)atoi(line.c_str() + 10);
    return 0;
}

// Starts hac monitor on both processes, its output thrown away, and waits
// until it traces every thread of both (at most 10 s).
pid_t start_monitor(const char* hac, pid_t browser, pid_t manager) {
    const pid_t monitor = fork();
    if (monitor == 0) {
        quiet_stdout();
        const std::string b = std::to_string(browser), m = std::to_string(manager);
        execl(hac, hac, "monitor", "--json", "--pid", b.c_str(), "--pid", m.c_str(), (char*)nullptr);
        _exit(127);
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        if (tracer_of(browser) == monitor && tracer_of(manager) == monitor) return monitor;
        if (waitpid(monitor, nullptr, WNOHANG) == monitor) break;
        usleep(1000);
    }
    fprintf(stderr, "monitor_bench: hac monitor did not attach (run as root, or with ptrace allowed)\n");
    exit(1);
}

void stop_monitor(pid_t monitor) {
    kill(monitor, SIGINT);
    waitpid(monitor, nullptr, 0);
}

void remove_hac_queues() {
    for (key_t key : {(key_t)HAC_REQUEST_QUEUE_KEY, (key_t)HAC_REPLY_QUEUE_KEY, (key_t)HAC_NOTIFICATION_QUEUE_KEY}) {
        const int id = msgget(key, 0);
        if (id >= 0) msgctl(id, IPC_RMID, nullptr);
    }
}

// The library's own lines (a full queue's "msgsnd EAGAIN") would break the
// table.
void quiet_stdout() {
    if (!freopen("/dev/null", "w", stdout)) _exit(1);
}

// ---- the table ----

struct Rates {
    std::vector<double> untraced, traced, detached;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double measure(int order_fd, int result_fd, char load, double seconds, int* failures) {
    const Order order = {load, seconds};
    Result result = {0, 0, 0};
    if (write(order_fd, &order, sizeof order) != (ssize_t)sizeof order ||
        read(result_fd, &result, sizeof result) != (ssize_t)sizeof result) {
        fprintf(stderr, "monitor_bench: the manager process failed\n");
        exit(1);
    }
    *failures += result.failures;
    return result.messages / result.seconds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        fprintf(stderr, "usage: monitor_bench HAC [SECONDS [ROUNDS]]\n");
        return 2;
    }
    const char* hac = argv[1];
    const double seconds = argc > 2 ? atof(argv[2]) : 2;
    const int rounds = argc > 3 ? atoi(argv[3]) : 3;
    if (!(seconds > 0) || rounds < 1) {
        fprintf(stderr, "usage: monitor_bench HAC [SECONDS [ROUNDS]]\n");
        return 2;
    }
    remove_hac_queues();

    int ready[2], orders[2], results[2];
    if (pipe(ready) != 0 || pipe(orders) != 0 || pipe(results) != 0) return 1;
    fflush(stdout);
    const pid_t browser = fork();
    if (browser == 0) {
        quiet_stdout();
        run_browser(ready[1]);
    }
    char byte = 0;
    if (read(ready[0], &byte, 1) != 1) return 1;
    const pid_t manager = fork();
    if (manager == 0) {
        quiet_stdout();
        run_manager(orders[0], results[1]);
    }

    const char loads[2] = {'q', 'c'};
    Rates rates[2];
    int failures = 0;
    measure(orders[1], results[0], 'q', 0.2, &failures);  // warm-up
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < 2; ++i) rates[i].untraced.push_back(measure(orders[1], results[0], loads[i], seconds, &failures));
        const pid_t monitor = start_monitor(hac, browser, manager);
        for (int i = 0; i < 2; ++i) rates[i].traced.push_back(measure(orders[1], results[0], loads[i], seconds, &failures));
        stop_monitor(monitor);
        for (int i = 0; i < 2; ++i) rates[i].detached.push_back(measure(orders[1], results[0], loads[i], seconds, &failures));
    }

    const Order end = {'x', 0};
    if (write(orders[1], &end, sizeof end) != (ssize_t)sizeof end) return 1;
    waitpid(manager, nullptr, 0);
    kill(browser, SIGTERM);
    waitpid(browser, nullptr, 0);
    remove_hac_queues();

    printf("hac monitor: messages per second between two processes, median of %d rounds of %.1f s\n", rounds, seconds);
    printf("%-30s %12s %12s %8s %14s\n", "load", "untraced", "traced", "traced/", "after detach");
    printf("%-30s %12s %12s %8s %14s\n", "", "msg/s", "msg/s", "untraced", "msg/s");
    const char* names[2] = {"GetVersion (request + reply)", "StopApp (one-way)"};
    for (int i = 0; i < 2; ++i) {
        const double untraced = median(rates[i].untraced), traced = median(rates[i].traced);
        printf("%-30s %12.0f %12.0f %8.2f %14.0f\n", names[i], untraced, traced, traced / untraced,
               median(rates[i].detached));
    }
    if (failures > 0) printf("calls that failed: %d\n", failures);
    return failures > 0 ? 1 : 0;
}
