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
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "envelope.h"
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

// Guards the notification endpoint's handle; held around every
// notification. It is never held while the request endpoint is registered
// on or destroyed: the receive thread holds that endpoint's mutex while a
// member runs, and a member may send notifications, so holding both here
// would let Finalize and a member wait on each other for good.
pthread_mutex_t g_server_ipc_mutex = PTHREAD_MUTEX_INITIALIZER;
IpcClient* g_server_ipc_client = nullptr;

// Guards the table; held while a member runs.
pthread_mutex_t g_server_callback_mutex = PTHREAD_MUTEX_INITIALIZER;
VetuHacServerCallback g_server_callback = {};

// Whether the calling thread runs a member, and so holds
// g_server_callback_mutex: a member may replace the table without taking
// the lock again.
thread_local bool t_in_member = false;

// Holds the table for a scope, unless the calling thread already does.
class TableLock {
public:
    TableLock() : taken_(!t_in_member) {
        if (taken_) pthread_mutex_lock(&g_server_callback_mutex);
    }
    ~TableLock() {
        if (taken_) pthread_mutex_unlock(&g_server_callback_mutex);
    }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

private:
    bool taken_;
};

// Calls one member of the table, if it is registered, under the table's
// lock; the lock is released on every way out.
template <typename Member, typename... Args>
void call_member(Member VetuHacServerCallback::*member, Args&&... args) {
    TableLock lock;
    const Member function = g_server_callback.*member;
    if (function == nullptr) return;
    struct InMember {
        InMember() { t_in_member = true; }
        ~InMember() { t_in_member = false; }
    } in_member;
    function(std::forward<Args>(args)...);
}

// A reply for the receive thread to send and free: the IpcData made with
// new, its text with malloc. Null when memory runs out.
IpcData* make_reply(unsigned int type, std::initializer_list<std::pair<const char*, int>> members) {
    Json::Value message = hac_new_message(type);
    for (const auto& member : members) message[member.first] = Json::Value(member.second);
    const std::string* text = hac_write_thread_text(message);
    if (text == nullptr) return nullptr;
    char* copy = static_cast<char*>(malloc(text->size() + 1));
    if (copy == nullptr) return nullptr;
    memcpy(copy, text->c_str(), text->size() + 1);
    IpcData* reply = new (std::nothrow) IpcData;
    if (reply == nullptr) {
        free(copy);
        return nullptr;
    }
    reply->len = static_cast<int32_t>(text->size());
    reply->data = copy;
    return reply;
}

/* Each serve_ function reads the request's members before any lock and
 * returns null, calling nothing, when one of them does not convert. */

IpcData* serve_ait_ids(HacReader& request) {
    // Written unsigned by the client: every 32-bit value keeps its bits.
    const int svrid = request.unsigned_bits("svrid");
    const int aitver = request.unsigned_bits("aitver");
    const bool hasait = request.integer("hasait") != 0;
    if (request.ok) call_member(&VetuHacServerCallback::SendAitIDs, svrid, aitver, hasait);
    return nullptr;
}

// Decodes the records "ai0" to "ai<num-1>" in index order. False when one is
// missing, does not parse or is refused by the decoder: the message is then
// dropped whole.
bool decode_records(HacReader& request, int num, std::vector<VetuAITAppInfo>* records) {
    // Every record is a member of the message: a forged num reserves no
    // more than the message holds.
    records->reserve(std::min(static_cast<size_t>(num), static_cast<size_t>(request.root.size())));
    for (int i = 0; i < num; ++i) {
        const std::string document = request.text(hac_indexed_member("ai", i).c_str());
        Json::Value root;
        if (!request.ok || !hac_parse_text(document.c_str(), &root)) return false;
        records->emplace_back();
        // The parsed document is not needed afterwards: the decoder takes it
        // instead of a copy.
        if (aitappinfo_unpacket(std::move(root), &records->back()) != 0) return false;
    }
    return true;
}

IpcData* serve_ait_app_info(HacReader& request) {
    const int num = request.integer("num");
    if (!request.ok || num < 1) return nullptr;
    std::vector<VetuAITAppInfo> records;
    if (!decode_records(request, num, &records)) return nullptr;
    VetuAITAppInfo** apps = static_cast<VetuAITAppInfo**>(malloc(records.size() * sizeof(VetuAITAppInfo*)));
    if (apps == nullptr) return nullptr;
    for (size_t i = 0; i < records.size(); ++i) apps[i] = &records[i];
    call_member(&VetuHacServerCallback::SendAitAppInfo, num, apps);
    free(apps);
    return nullptr;
}

VetuAppIdentifier read_identifier(HacReader& request) {
    return VetuAppIdentifier{request.integer("appid"), request.integer("orgid")};
}

template <typename Member>
IpcData* serve_identifier(HacReader& request, Member VetuHacServerCallback::*member) {
    const VetuAppIdentifier app = read_identifier(request);
    if (request.ok) call_member(member, &app);
    return nullptr;
}

IpcData* serve_xml_ait_url(HacReader& request) {
    const std::string xml = request.text("xml");
    const std::string ccid = request.text("ccid");
    if (request.ok) call_member(&VetuHacServerCallback::SendXmlAitUrl, xml, ccid);
    return nullptr;
}

IpcData* serve_reset(HacReader& request) {
    const int svrid = request.integer("svrid");
    const int type = request.integer("type");
    const int timeout = request.integer("timeout");
    if (request.ok) call_member(&VetuHacServerCallback::Reset, svrid, type, timeout);
    return nullptr;
}

IpcData* serve_app_error_code(HacReader& request) {
    const VetuAppIdentifier app = read_identifier(request);
    if (!request.ok) return nullptr;
    int errcode = 0;
    call_member(&VetuHacServerCallback::GetAppErrorCode, &app, &errcode);
    return make_reply(HAC_MSG_GET_APP_ERROR_CODE_REPLY, {{"errcode", errcode}});
}

IpcData* serve_teletext(HacReader& request) {
    const int enabled = request.integer("enabled");
    if (!request.ok) return nullptr;
    int teletext = 0;
    call_member(&VetuHacServerCallback::ShowTeleTextApp, enabled, &teletext);
    return make_reply(HAC_MSG_SHOW_TELETEXT_APP_REPLY, {{"teletext", teletext}});
}

IpcData* serve_create_bi_application(HacReader& request) {
    const std::string url = request.text("url");
    const int src = request.integer("src");
    if (!request.ok) return nullptr;
    VetuAppIdentifier app = {0, 0};
    call_member(&VetuHacServerCallback::CreateBIApplication, url, &app, src);
    return make_reply(HAC_MSG_CREATE_BI_APPLICATION_REPLY, {{"appid", app.appid}, {"orgid", app.orgid}});
}

IpcData* serve_version() {
    int major = 0;
    int minor = 0;
    int number = 0;
    call_member(&VetuHacServerCallback::GetVersion, &major, &minor, &number);
    return make_reply(HAC_MSG_GET_VERSION_REPLY, {{"major", major}, {"minor", minor}, {"number", number}});
}

IpcData* serve_is_app_running() {
    int isrunning = 0;
    call_member(&VetuHacServerCallback::IsAppRunning, &isrunning);
    return make_reply(HAC_MSG_IS_APP_RUNNING_REPLY, {{"isrunning", isrunning}});
}

IpcData* dispatch(HacReader& request) {
    const int type = request.integer("t");
    if (!request.ok) return nullptr;
    switch (type) {
        case HAC_MSG_SEND_AIT_IDS:
            return serve_ait_ids(request);
        case HAC_MSG_SEND_AIT_APP_INFO:
            return serve_ait_app_info(request);
        case HAC_MSG_STOP_APP:
            return serve_identifier(request, &VetuHacServerCallback::StopApp);
        case HAC_MSG_SEND_XML_AIT_URL:
            return serve_xml_ait_url(request);
        case HAC_MSG_GET_APP_ERROR_CODE:
            return serve_app_error_code(request);
        case HAC_MSG_SHOW_TELETEXT_APP:
            return serve_teletext(request);
        case HAC_MSG_CREATE_BI_APPLICATION:
            return serve_create_bi_application(request);
        case HAC_MSG_DESTROY_BI_APPLICATION:
            return serve_identifier(request, &VetuHacServerCallback::DestroyBIApplication);
        case HAC_MSG_RESET:
            return serve_reset(request);
        case HAC_MSG_GET_VERSION:
            return serve_version();
        case HAC_MSG_IS_APP_RUNNING:
            return serve_is_app_running();
        default:
            return nullptr;  // keys (105), replies and anything else: dropped
    }
}

}  // namespace

// The callback of the request endpoint. A text that does not parse, is not
// an object, or has members that jsoncpp refuses to convert, gets no member
// call and no reply.
IpcData* server_ipc_callback(const IpcData* payload, void* /*user_data*/) {
    if (payload == nullptr || payload->data == nullptr) return nullptr;
    try {
        Json::Value root;
        if (!hac_parse_text(payload->data, &root)) return nullptr;
        HacReader request(root);
        return dispatch(request);
    } catch (...) {
        // Nothing may escape into the receive thread, not even from a
        // member; the table's lock is already released.
        return nullptr;
    }
}

namespace {

// The one path of every notification.
int send_notification(const Json::Value& message) {
    const std::string* text = hac_write_thread_text(message);
    if (text == nullptr) return VETU_ERR_NO_MEMORY;
    IpcData payload = {static_cast<int32_t>(text->size()), const_cast<char*>(text->data())};
    HacLock lock(&g_server_ipc_mutex);
    return vetu_ipc_client_send(g_server_ipc_client, &payload);
}

// Builds and sends one notification. Nothing leaves the library as an
// exception: jsoncpp throws when memory runs out while the message is
// built, which is reported as -4.
template <typename Build>
int notify(Build build) {
    try {
        return send_notification(build());
    } catch (...) {
        return VETU_ERR_NO_MEMORY;
    }
}

Json::Value ait_status_message(unsigned int type, VetuAppManagerUpdateAITStatus status) {
    Json::Value message = hac_new_message(type);
    message["status"] = Json::Value(static_cast<int>(status));
    return message;
}

}  // namespace

int Vetu_HAC_Server_Initialize() {
    HacLock lifecycle(&g_server_lifecycle_mutex);
    if (g_server_ipc_server == nullptr) {
        // Only the handle tells whether the endpoint exists; a failure is
        // retried by the next call. The dispatcher is in place before the
        // first receive, so a request that waited for this browser is served
        // rather than answered with the no-reply answer.
        IpcServer* server = nullptr;
        ipc_server_create_serving(HAC_REQUEST_QUEUE_KEY, HAC_IPC_MTYPE, 1, HAC_IPC_CHUNK_SIZE, server_ipc_callback,
                                  nullptr, &server);
        if (server != nullptr) g_server_ipc_server = server;
    }
    if (g_server_ipc_client == nullptr) {
        IpcClient* client = nullptr;
        vetu_ipc_client_create(HAC_NOTIFICATION_QUEUE_KEY, HAC_IPC_MTYPE, 0, HAC_IPC_CHUNK_SIZE, &client);
        HacLock lock(&g_server_ipc_mutex);
        g_server_ipc_client = client;
    }
    return 0;
}

int Vetu_HAC_Server_Finalize() {
    // From a member too: destroying the endpoint whose thread runs the
    // member does not wait for that thread, which ends after the member.
    HacLock lifecycle(&g_server_lifecycle_mutex);
    // Taken out under the IPC mutex, so no notification still uses it once
    // it is destroyed; a member's notification meanwhile gets -3.
    IpcClient* client = nullptr;
    {
        HacLock lock(&g_server_ipc_mutex);
        client = g_server_ipc_client;
        g_server_ipc_client = nullptr;
    }
    if (client != nullptr) vetu_ipc_client_destroy(client);
    if (g_server_ipc_server != nullptr) {
        vetu_ipc_server_unregister_callback(g_server_ipc_server);
        vetu_ipc_server_destroy(g_server_ipc_server);
        g_server_ipc_server = nullptr;
    }
    return 0;
}

int Vetu_HAC_Server_RegisterCallback(VetuHacServerCallback callbacks, const void* /*user_data*/) {
    TableLock lock;
    g_server_callback = callbacks;
    return 0;
}

int Vetu_HAC_Server_UnregisterCallback() {
    TableLock lock;
    g_server_callback = VetuHacServerCallback{};
    return 0;
}

int Vetu_HAC_Server_SendAppState(int appid, int orgid, VetuAppManagerClientEvent state) {
    return notify([&] {
        Json::Value message = hac_new_message(HAC_MSG_APP_STATE);
        message["appid"] = Json::Value(appid);
        message["orgid"] = Json::Value(orgid);
        message["state"] = Json::Value(static_cast<int>(state));
        return message;
    });
}

int Vetu_HAC_Server_UpdateDvbAitStatus(VetuAppManagerUpdateAITStatus status) {
    return notify([&] { return ait_status_message(HAC_MSG_DVB_AIT_STATUS, status); });
}

int Vetu_HAC_Server_UpdateXmlAitStatus(VetuAppManagerUpdateAITStatus status) {
    return notify([&] { return ait_status_message(HAC_MSG_XML_AIT_STATUS, status); });
}
