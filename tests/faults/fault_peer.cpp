// The far end of the fault tests, run as a process of its own.
//   fault_peer sink <key>                 transport server endpoint on key; checks
//                                         every payload, prints "ok <seq>" / "bad"
//   fault_peer browser <generation> [n]   HAC server: answers queries with values
//                                         derived from the request and the
//                                         generation, prints what it gets, and
//                                         sends n numbered notifications; a
//                                         StopApp with orgid 777 sends a state
//                                         back, GetAppErrorCode with orgid 999
//                                         answers late; on
//                                         SIGTERM it finalises, prints
//                                         "finalized" and exits 0
//   fault_peer version                    HAC client: asks the browser's version
//                                         once and prints "version <major>"
// The first two print "ready" once they serve.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fault_payload.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"

namespace {

int g_generation;

void print_line(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

IpcData* check_sink_payload(const IpcData* payload, void*) {
    const long seq = hac_test::check_numbered_payload(std::string(payload->data, static_cast<size_t>(payload->len)));
    print_line(seq < 0 ? "bad" : "ok " + std::to_string(seq));
    return nullptr;
}

int run_sink(key_t key) {
    IpcServer* server = nullptr;
    if (vetu_ipc_server_create(key, 1, 1, HAC_IPC_CHUNK_SIZE, &server) != 0) return 1;
    vetu_ipc_server_register_callback(server, check_sink_payload, nullptr);
    print_line("ready");
    for (;;) pause();
}

void on_xml(const std::string& xml, const std::string&) {
    const long seq = hac_test::check_numbered_payload(xml);
    print_line(seq < 0 ? "xml bad" : "xml " + std::to_string(seq));
}

// The orgids that ask the browser for something besides its answer.
const int kNotifyBack = 777;  // StopApp: send an application state back
const int kSlowMember = 999;  // GetAppErrorCode: answer a third of a second late

void on_stop(const VetuAppIdentifier* app) {
    print_line("stop " + std::to_string(app->appid) + " " + std::to_string(app->orgid));
    if (app->orgid == kNotifyBack)
        print_line("notify " + std::to_string(Vetu_HAC_Server_SendAppState(app->appid, app->orgid,
                                                                           VETU_APP_EVENT_STARTED)));
}

void on_error_code(const VetuAppIdentifier* app, int* errcode) {
    print_line("errcode " + std::to_string(app->appid) + " " + std::to_string(app->orgid));
    if (app->orgid == kSlowMember) usleep(300000);  // a browser busy in its member
    *errcode = hac_test::derived_error_code(app->appid, app->orgid, g_generation);
}

void on_version(int* major, int* minor, int* number) {
    *major = g_generation;
    *minor = 0;
    *number = 0;
}

// Notifications to the application manager, each retried until the queue
// takes it (the client may not have created its queue yet).
void send_notifications(int count) {
    for (int seq = 1; seq <= count; ++seq)
        while (Vetu_HAC_Server_SendAppState(seq, 4242, VETU_APP_EVENT_STARTED) != 0) usleep(1000);
    print_line("notified " + std::to_string(count));
}

// SIGTERM is taken by sigwait, so that the browser finalises on the main
// thread as a real one would on its way out.
void block_termination() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int wait_for_termination() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    int sig = 0;
    sigwait(&set, &sig);
    Vetu_HAC_Server_Finalize();
    print_line("finalized");
    return 0;
}

int run_browser(int generation, int notifications) {
    block_termination();
    g_generation = generation;
    VetuHacServerCallback table{};
    table.SendXmlAitUrl = on_xml;
    table.StopApp = on_stop;
    table.GetAppErrorCode = on_error_code;
    table.GetVersion = on_version;
    Vetu_HAC_Server_RegisterCallback(table, nullptr);
    Vetu_HAC_Server_Initialize();
    print_line("ready");
    send_notifications(notifications);
    return wait_for_termination();
}

int run_version_query() {
    Vetu_HAC_Client_Initialize();
    int major = 0, minor = 0, number = 0;
    const int rc = Vetu_HAC_Client_GetVersion(&major, &minor, &number);
    print_line("version " + std::to_string(rc == 0 ? major : rc));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "sink") == 0) return run_sink(static_cast<key_t>(std::strtol(argv[2], nullptr, 0)));
    if (argc >= 3 && std::strcmp(argv[1], "browser") == 0)
        return run_browser(std::atoi(argv[2]), argc >= 4 ? std::atoi(argv[3]) : 0);
    if (argc >= 2 && std::strcmp(argv[1], "version") == 0) return run_version_query();
    std::fprintf(stderr, "usage: fault_peer sink <key> | browser <generation> [notifications] | version\n");
    return 2;
}
