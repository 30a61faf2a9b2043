// Both halves of the HAC channel in one process, over the real queues, for
// one kind of message at a time: what bench/profile runs under callgrind to
// show where the instructions of a message go. One message is in flight at
// a time; the calling thread waits until the receive thread has it.
//
// Usage: path_driver version|stopapp|appstate|appinfo COUNT
// Run it in an IPC namespace of its own: it uses the fixed HAC queues.
#include <sched.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ait_records.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"

namespace {

std::atomic<int> g_arrived{0};

void member_version(int* major, int* minor, int* number) {
    *major = 1;
    *minor = 2;
    *number = 3;
}
void member_stop_app(const VetuAppIdentifier*) { g_arrived++; }
void member_app_info(int, VetuAITAppInfo**) { g_arrived++; }
void callback_app_state(const VetuAppIdentifier*, int, const void*) { g_arrived++; }

// The receive thread signals arrival; the calling thread yields until then.
void wait_for(int count) {
    while (g_arrived.load() < count) sched_yield();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s version|stopapp|appstate|appinfo COUNT\n", argv[0]);
        return 2;
    }
    const std::string kind = argv[1];
    const int count = atoi(argv[2]);
    VetuHacServerCallback table;
    memset(&table, 0, sizeof table);
    table.GetVersion = member_version;
    table.StopApp = member_stop_app;
    table.SendAitAppInfo = member_app_info;
    Vetu_HAC_Server_RegisterCallback(table, nullptr);
    Vetu_HAC_Client_RegisterCallback(callback_app_state, nullptr);
    if (Vetu_HAC_Server_Initialize() != 0 || Vetu_HAC_Client_Initialize() != 0) return 1;

    // Finding the records' padding writes many trial texts: only the
    // message that carries them pays for it.
    std::vector<VetuAITAppInfo> records;
    if (kind == "appinfo") records = hac_bench::records_near_limit(12, IPC_MAX_PAYLOAD);
    std::vector<VetuAITAppInfo*> pointers;
    for (VetuAITAppInfo& r : records) pointers.push_back(&r);
    int failures = 0;
    for (int i = 0; i < count; i++) {
        const VetuAppIdentifier app = {i, 7};
        int major = 0, minor = 0, number = 0;
        if (kind == "version") {
            failures += Vetu_HAC_Client_GetVersion(&major, &minor, &number) != 0;
            continue;
        }
        if (kind == "stopapp") failures += Vetu_HAC_Client_StopApp(&app) != 0;
        else if (kind == "appstate") failures += Vetu_HAC_Server_SendAppState(i, 7, VETU_APP_EVENT_STARTED) != 0;
        else if (kind == "appinfo") failures += Vetu_HAC_Client_SendAitAppInfo(12, pointers.data()) != 0;
        else return 2;
        wait_for(i + 1 - failures);
    }
    Vetu_HAC_Client_Finalize();
    Vetu_HAC_Server_Finalize();
    printf("%s: %d messages, %d failed\n", kind.c_str(), count, failures);
    return failures == 0 ? 0 : 1;
}
