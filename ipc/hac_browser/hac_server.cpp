/*
 * HAC server: the browser's half of the HAC channel.
 *
 * Its IPC server endpoint on the request queue hands every request to
 * server_ipc_callback, which calls the member of the browser's callback
 * table that serves the request's type and, for a query, builds the reply.
 * Its IPC client endpoint sends the browser's notifications to the
 * notification queue. This half writes no log lines.
 */
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "envelope.h"
#include "hac_catalogue.h"
#include "halves.h"
#include "lock.h"
#include "transport.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"

namespace {

// Serialises Initialize and Finalize, and guards the request endpoint,
// which only they touch.
pthread_mutex_t g_server_lifecycle_mutex = PTHREAD_MUTEX_INITIALIZER;
IpcServer* g_server_ipc_server = nullptr;
// As the client's: set by Finalize before it destroys the request
// endpoint, so that a request its thread still joins gets the no-reply
// answer, without waiting for a member that runs.
std::atomic<bool> g_server_closing{false};

// Guards the notification endpoint's handle; held around every
// notification. It is never held while the request endpoint is registered
// on or destroyed: the receive thread holds that endpoint's mutex while a
// member runs, and a member may send notifications, so holding both here
// would let Finalize and a member wait on each other for good.
pthread_mutex_t g_server_ipc_mutex = PTHREAD_MUTEX_INITIALIZER;
IpcClient* g_server_ipc_client = nullptr;

// Guards the table; held while a member runs. A member may replace the
// table: the thread's flag tells that it holds the lock already.
pthread_mutex_t g_server_callback_mutex = PTHREAD_MUTEX_INITIALIZER;
thread_local bool t_holds_table = false;
VetuHacServerCallback g_server_callback = {};

// Calls one member of the table, if it is registered, under the table's
// lock; the lock is released on every way out.
template <typename Member, typename... Args>
void call_member(Member VetuHacServerCallback::*member, Args&&... args) {
    ScopedLock lock(&g_server_callback_mutex, &t_holds_table);
    const Member function = g_server_callback.*member;
    if (function != nullptr) function(std::forward<Args>(args)...);
}

// The reply of the query the receive thread is serving: lent to it (the
// request endpoint lends its answers), over the text in the thread's own
// buffer, which stays as it is until the thread has sent it.
thread_local IpcData t_reply = {0, nullptr};

// A reply for the receive thread to send; null when memory runs out.
IpcData* make_reply(unsigned int type, std::initializer_list<HacValue> members) {
    const std::string_view text = hac_write_message(type, members);
    if (text.empty()) return nullptr;
    t_reply = {static_cast<int32_t>(text.size()), const_cast<char*>(text.data())};
    return &t_reply;
}

// Decodes the records "ai0" to "ai<num-1>" in index order. False when one is
// missing, does not parse or is refused by the decoder: the message is then
// dropped whole.
bool decode_records(const Json::Value& request, int num, std::vector<VetuAITAppInfo>* records) {
    // Every record is a member of the message: a forged num reserves no
    // more than the message holds.
    records->reserve(std::min(static_cast<size_t>(num), static_cast<size_t>(request.size())));
    HacReader reader(request);
    std::string converted;
    for (int i = 0; i < num; ++i) {
        const char* document = reader.text_in_place(hac_indexed_member(HAC_RECORD_MEMBER_STEM, i).text, &converted);
        Json::Value root;
        if (!reader.ok || !hac_parse_text(document, &root)) return false;
        records->emplace_back();
        // The parsed document is not needed afterwards: the decoder takes it
        // instead of a copy.
        if (aitappinfo_unpacket(std::move(root), &records->back()) != 0) return false;
    }
    return true;
}

IpcData* serve_ait_app_info(const Json::Value& request, int num) {
    if (num < 1) return nullptr;
    std::vector<VetuAITAppInfo> records;
    if (!decode_records(request, num, &records)) return nullptr;
    VetuAITAppInfo** apps = static_cast<VetuAITAppInfo**>(malloc(records.size() * sizeof(VetuAITAppInfo*)));
    if (apps == nullptr) return nullptr;
    for (size_t i = 0; i < records.size(); ++i) apps[i] = &records[i];
    call_member(&VetuHacServerCallback::SendAitAppInfo, num, apps);
    free(apps);
    return nullptr;
}

// The members of each request are read before the member is called, in the
// catalogue's order (the comments name them); a query's reply has the type
// one higher, with the out-values in the catalogue's order.
IpcData* serve(const Json::Value& request, int type, const HacFields& in) {
    const int* v = in.integers;
    const VetuAppIdentifier app = {v[0], v[1]};
    switch (type) {
        case HAC_MSG_SEND_AIT_IDS:  // svrid, aitver, hasait
            call_member(&VetuHacServerCallback::SendAitIDs, v[0], v[1], v[2] != 0);
            return nullptr;
        case HAC_MSG_SEND_AIT_APP_INFO:  // num, then the records
            return serve_ait_app_info(request, v[0]);
        case HAC_MSG_STOP_APP:  // appid, orgid
            call_member(&VetuHacServerCallback::StopApp, &app);
            return nullptr;
        case HAC_MSG_SEND_XML_AIT_URL:  // xml, (xmllen), ccid, (ccidlen)
            call_member(&VetuHacServerCallback::SendXmlAitUrl, in.texts[0], in.texts[2]);
            return nullptr;
        case HAC_MSG_GET_APP_ERROR_CODE: {  // appid, orgid
            int errcode = 0;
            call_member(&VetuHacServerCallback::GetAppErrorCode, &app, &errcode);
            return make_reply(HAC_MSG_GET_APP_ERROR_CODE_REPLY, {errcode});
        }
        case HAC_MSG_SHOW_TELETEXT_APP: {  // enabled
            int teletext = 0;
            call_member(&VetuHacServerCallback::ShowTeleTextApp, v[0], &teletext);
            return make_reply(HAC_MSG_SHOW_TELETEXT_APP_REPLY, {teletext});
        }
        case HAC_MSG_CREATE_BI_APPLICATION: {  // url, (urllen), src
            VetuAppIdentifier created = {0, 0};
            call_member(&VetuHacServerCallback::CreateBIApplication, in.texts[0], &created, v[2]);
            return make_reply(HAC_MSG_CREATE_BI_APPLICATION_REPLY, {created.appid, created.orgid});
        }
        case HAC_MSG_DESTROY_BI_APPLICATION:  // appid, orgid
            call_member(&VetuHacServerCallback::DestroyBIApplication, &app);
            return nullptr;
        case HAC_MSG_RESET:  // svrid, type, timeout
            call_member(&VetuHacServerCallback::Reset, v[0], v[1], v[2]);
            return nullptr;
        case HAC_MSG_GET_VERSION: {
            int major = 0, minor = 0, number = 0;
            call_member(&VetuHacServerCallback::GetVersion, &major, &minor, &number);
            return make_reply(HAC_MSG_GET_VERSION_REPLY, {major, minor, number});
        }
        case HAC_MSG_IS_APP_RUNNING: {
            int isrunning = 0;
            call_member(&VetuHacServerCallback::IsAppRunning, &isrunning);
            return make_reply(HAC_MSG_IS_APP_RUNNING_REPLY, {isrunning});
        }
        default:
            return nullptr;  // keys (105): carried, served by nobody
    }
}

IpcData* dispatch(const Json::Value& request) {
    HacReader reader(request);
    const int type = reader.integer("t");
    if (!reader.ok) return nullptr;
    // Replies, notifications and anything else the catalogue does not send
    // to the browser are dropped.
    const HacMessage* entry = hac_message(type);
    if (entry == nullptr || entry->direction != HAC_TO_BROWSER) return nullptr;
    HacFields members;
    if (!hac_read_members(request, type, &members)) return nullptr;
    return serve(request, type, members);
}

}  // namespace

// The callback of the request endpoint. A text that does not parse, is not
// an object, or has members that jsoncpp refuses to convert, gets no member
// call and no reply.
IpcData* server_ipc_callback(const IpcData* payload, void* /*user_data*/) {
    if (g_server_closing || payload == nullptr || payload->data == nullptr) return nullptr;
    try {
        Json::Value root;
        if (!hac_parse_text(payload->data, &root)) return nullptr;
        return dispatch(root);
    } catch (...) {
        // Nothing may escape into the receive thread, not even from a
        // member; the table's lock is already released.
        return nullptr;
    }
}

namespace {

// The one path of every notification. Nothing leaves the library as an
// exception: jsoncpp throws when memory runs out while the message is
// built, which is reported as no memory.
int notify(unsigned int type, std::initializer_list<HacValue> members) {
    try {
        const std::string_view text = hac_write_message(type, members);
        if (text.empty()) return VETU_ERR_NO_MEMORY;
        IpcData payload = {static_cast<int32_t>(text.size()), const_cast<char*>(text.data())};
        ScopedLock lock(&g_server_ipc_mutex);
        return vetu_ipc_client_send(g_server_ipc_client, &payload);
    } catch (...) {
        return VETU_ERR_NO_MEMORY;
    }
}

}  // namespace

int Vetu_HAC_Server_Initialize() {
    ScopedLock lifecycle(&g_server_lifecycle_mutex);
    if (g_server_ipc_server == nullptr) {
        g_server_closing = false;
        // Only the handle tells whether the endpoint exists; a failure is
        // retried by the next call. The dispatcher is in place before the
        // first receive, so a request that waited for this browser is served
        // rather than answered with the no-reply answer.
        IpcServer* server = nullptr;
        ipc_server_create_serving(HAC_REQUEST_QUEUE_KEY, HAC_IPC_MTYPE, 1, HAC_IPC_CHUNK_SIZE, server_ipc_callback,
                                  nullptr, IPC_ANSWERS_LENT, &server);
        if (server != nullptr) g_server_ipc_server = server;
    }
    if (g_server_ipc_client == nullptr) {
        IpcClient* client = nullptr;
        vetu_ipc_client_create(HAC_NOTIFICATION_QUEUE_KEY, HAC_IPC_MTYPE, 0, HAC_IPC_CHUNK_SIZE, &client);
        ScopedLock lock(&g_server_ipc_mutex);
        g_server_ipc_client = client;
    }
    return 0;
}

int Vetu_HAC_Server_Finalize() {
    // From a member too: destroying the endpoint whose thread runs the
    // member does not wait for that thread, which ends after the member.
    ScopedLock lifecycle(&g_server_lifecycle_mutex);
    // Taken out under the IPC mutex, so no notification still uses it once
    // it is destroyed; a member's notification meanwhile gets -3.
    IpcClient* client = nullptr;
    {
        ScopedLock lock(&g_server_ipc_mutex);
        client = g_server_ipc_client;
        g_server_ipc_client = nullptr;
    }
    if (client != nullptr) vetu_ipc_client_destroy(client);
    if (g_server_ipc_server != nullptr) {
        g_server_closing = true;
        vetu_ipc_server_destroy(g_server_ipc_server);
        g_server_ipc_server = nullptr;
    }
    return 0;
}

int Vetu_HAC_Server_RegisterCallback(VetuHacServerCallback callbacks, const void* /*user_data*/) {
    ScopedLock lock(&g_server_callback_mutex, &t_holds_table);
    g_server_callback = callbacks;
    return 0;
}

int Vetu_HAC_Server_UnregisterCallback() {
    ScopedLock lock(&g_server_callback_mutex, &t_holds_table);
    g_server_callback = VetuHacServerCallback{};
    return 0;
}

int Vetu_HAC_Server_SendAppState(int appid, int orgid, VetuAppManagerClientEvent state) {
    return notify(HAC_MSG_APP_STATE, {appid, orgid, static_cast<int>(state)});
}

int Vetu_HAC_Server_UpdateDvbAitStatus(VetuAppManagerUpdateAITStatus status) {
    return notify(HAC_MSG_DVB_AIT_STATUS, {static_cast<int>(status)});
}

int Vetu_HAC_Server_UpdateXmlAitStatus(VetuAppManagerUpdateAITStatus status) {
    return notify(HAC_MSG_XML_AIT_STATUS, {static_cast<int>(status)});
}
