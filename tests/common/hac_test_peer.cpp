// The other process of the two-process tests. Every line it prints on
// standard output is one JSON report (recording_halves.h); the first is
// {"m":"ready"}.
//   hac_test_peer browser GENERATION [NOTIFICATIONS] [unregistered]
//       the HAC server with the recording browser's table (or none), then
//       NOTIFICATIONS numbered application states ({"m":"notified"})
//   hac_test_peer appmgr      the HAC client with the recording callbacks
//   hac_test_peer version     the HAC client asking GetVersion once
//   hac_test_peer transport KEY
//       a transport server endpoint on KEY: reports every payload's length,
//       digest and number (numbered payloads, -1 for a damaged one),
//       answers a request with every byte plus one, and ends ({"m":"done"})
//       after a one-way payload beginning with "exit" or on SIGTERM
// The halves finalise on SIGTERM ({"m":"finalized"}) and exit 0.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "recording_halves.h"
#include "test_support.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"
#include "vetu_log.h"

namespace {

Json::Value line_of(const char* what) {
    Json::Value line;
    line["m"] = what;
    return line;
}

void print_report(const Json::Value& line) {
    std::printf("%s\n", hac_test::one_line(line).c_str());
    std::fflush(stdout);
}

// SIGTERM is blocked in every thread and taken by sigwait on the main
// thread, as a real process finalises on its way out.
sigset_t termination() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    return set;
}

void wait_for_sigterm() {
    const sigset_t set = termination();
    int sig = 0;
    sigwait(&set, &sig);
}

int finalize_on_sigterm(int (*finalize)()) {
    wait_for_sigterm();
    finalize();
    hac_test::report(line_of("finalized"));
    return 0;
}

// The threads a second Initialize starts: none. (Counted around the second:
// a sanitizer may start one of its own with the first.)
int threads_added_by_second(int (*initialize)()) {
    initialize();
    const int before = hac_test::thread_count();
    initialize();
    return hac_test::thread_count() - before;
}

void send_numbered_notifications(int count) {
    if (count == 0) return;
    for (int seq = 1; seq <= count; ++seq)
        while (Vetu_HAC_Server_SendAppState(seq, hac_test::kNumberedOrg, VETU_APP_EVENT_STARTED) != 0)
            usleep(1000);  // the manager has not made its queue yet
    Json::Value line = line_of("notified");
    line["count"] = count;
    hac_test::report(line);
}

int run_browser(int generation, int notifications, bool registered) {
    Vetu_HAC_Server_RegisterCallback(hac_test::recording_browser(generation), nullptr);
    if (!registered) Vetu_HAC_Server_UnregisterCallback();
    // Whatever the server half would log shows up as a line that is not a
    // report.
    insert_modules_list("HAC|hac_server", 1);
    Json::Value ready = line_of("ready");
    ready["threads_added"] = threads_added_by_second(Vetu_HAC_Server_Initialize);
    hac_test::report(ready);
    send_numbered_notifications(notifications);
    return finalize_on_sigterm(Vetu_HAC_Server_Finalize);
}

int run_appmgr() {
    hac_test::register_recording_manager();
    Json::Value ready = line_of("ready");
    ready["threads_added"] = threads_added_by_second(Vetu_HAC_Client_Initialize);
    hac_test::report(ready);
    return finalize_on_sigterm(Vetu_HAC_Client_Finalize);
}

int run_version_query() {
    Vetu_HAC_Client_Initialize();
    hac_test::report(line_of("ready"));
    int v[3] = {0, 0, 0};
    Json::Value line = line_of("version");
    line["status"] = Vetu_HAC_Client_GetVersion(&v[0], &v[1], &v[2]);
    line["major"] = v[0];
    hac_test::report(line);
    return 0;
}

/* ---- transport ---- */

// The "exit" payload ends the peer the way SIGTERM ends the halves.
IpcData* on_payload(const IpcData* payload, void*) {
    const std::string bytes(payload->data, static_cast<size_t>(payload->len));
    Json::Value line = line_of("payload");
    line["len"] = payload->len;
    line["digest"] = hac_test::digest(bytes);
    line["seq"] = static_cast<Json::Int64>(hac_test::check_numbered_payload(bytes));
    hac_test::report(line);
    if (bytes.compare(0, 4, "exit") == 0) {
        kill(getpid(), SIGTERM);
        return nullptr;
    }
    IpcData* answer = new IpcData{payload->len, static_cast<char*>(malloc(bytes.size() + 1))};
    for (size_t i = 0; i < bytes.size(); ++i) answer->data[i] = hac_test::answer_byte(bytes[i]);
    return answer;
}

int run_transport(key_t key) {
    IpcServer* server = nullptr;
    if (vetu_ipc_server_create(key, hac_test::kPeerMtype, 1, HAC_IPC_CHUNK_SIZE, &server) != 0) return 2;
    vetu_ipc_server_register_callback(server, on_payload, nullptr);
    hac_test::report(line_of("ready"));
    wait_for_sigterm();
    vetu_ipc_server_destroy(server);
    hac_test::report(line_of("done"));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const sigset_t set = termination();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    hac_test::set_report_sink(print_report);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "browser" && argc >= 3)
        return run_browser(std::atoi(argv[2]), argc >= 4 ? std::atoi(argv[3]) : 0,
                           !(argc >= 5 && std::strcmp(argv[4], "unregistered") == 0));
    if (mode == "appmgr") return run_appmgr();
    if (mode == "version") return run_version_query();
    if (mode == "transport" && argc == 3) return run_transport(static_cast<key_t>(std::strtol(argv[2], nullptr, 0)));
    std::fprintf(stderr, "usage: hac_test_peer browser GENERATION [NOTIFICATIONS] [unregistered] | appmgr | version"
                         " | transport KEY\n");
    return 2;
}
