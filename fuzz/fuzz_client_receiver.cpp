// The HAC client's event receiver on a notification text, with all four
// callbacks registered. It never answers and never throws, whatever arrives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "halves.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"


namespace {

volatile long g_sink;
const char kUserData[] = "user";

void on_app_state(const VetuAppIdentifier* app, int state, const void* user_data) {
    if (app == nullptr || user_data != kUserData) abort();
    g_sink = g_sink + app->appid + app->orgid + state;
}
void on_key(const VetuAppIdentifier* app, VetuKey key, VetuKeyEventType type, int keyid, bool consumed,
            const void* user_data) {
    if (app == nullptr || user_data != kUserData) abort();
    g_sink = g_sink + app->appid + key + type + keyid + consumed;
}
void on_ait_status(VetuAppManagerUpdateAITStatus status, const void* user_data) {
    if (user_data != kUserData) abort();
    g_sink = g_sink + status;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The receiver's error records go to stdout.
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    Vetu_HAC_Client_RegisterCallback(on_app_state, kUserData);
    Vetu_HAC_Client_RegisterKeyEventCallback(on_key, kUserData);
    Vetu_HAC_Client_RegisterDvbUpdateCallback(on_ait_status, kUserData);
    Vetu_HAC_Client_RegisterXmlUpdateCallback(on_ait_status, kUserData);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > IPC_MAX_PAYLOAD) return 0;
    char* block = static_cast<char*>(malloc(size + 1));
    memcpy(block, data, size);
    block[size] = '\0';
    IpcData payload{static_cast<int32_t>(size), block};
    if (ipc_callback(&payload, nullptr) != nullptr) abort();
    free(block);
    return 0;
}
