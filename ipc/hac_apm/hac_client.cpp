/*
 * HAC client: the application manager's half of the HAC channel.
 *
 * It sends commands and queries on the request queue through an IPC client
 * endpoint with a reply queue, and receives the browser's notifications on
 * the notification queue through an IPC server endpoint, whose receive
 * thread calls the registered event callbacks. Every function traces itself
 * under the log module "HAC".
 */
#include <pthread.h>

#include <cstdlib>
#include <string>

#include "envelope.h"
#include "halves.h"
#include "lock.h"
#include "transport.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"
#include "vetu_log.h"

namespace {

const char kLogModule[] = "HAC";
const char kSourcePath[] = "ipc/hac_apm/hac_client";

template <typename Callback>
struct CallbackPair {
    Callback callback;
    const void* user_data;
};

// Serialises Initialize and Finalize, and guards the notification endpoint,
// which only they touch.
pthread_mutex_t g_client_lifecycle_mutex = PTHREAD_MUTEX_INITIALIZER;
IpcServer* g_client_ipc_server = nullptr;

// Guards the request endpoint's handle; held around every send, and by a
// query across its whole exchange. It is never held while the notification
// endpoint is registered on or destroyed: the receive thread holds that
// endpoint's mutex while a callback runs, and a callback may send, so
// holding both here would let Finalize and a callback's query wait on each
// other for good.
pthread_mutex_t g_client_ipc_mutex = PTHREAD_MUTEX_INITIALIZER;
IpcClient* g_client_ipc_client = nullptr;

// The process's limit on the time a command or query waits, in
// milliseconds; 0 waits without limit. Read and written atomically.
int g_query_timeout_ms = 0;

// Guards the four callback pairs; held while a callback runs.
pthread_mutex_t g_client_callback_mutex = PTHREAD_MUTEX_INITIALIZER;
CallbackPair<VetuAppStateCallback> g_app_state_callback = {nullptr, nullptr};
CallbackPair<VetuKeyEventCallback> g_key_event_callback = {nullptr, nullptr};
CallbackPair<VetuAitUpdateCallback> g_dvb_update_callback = {nullptr, nullptr};
CallbackPair<VetuAitUpdateCallback> g_xml_update_callback = {nullptr, nullptr};

// Whether the calling thread holds g_client_callback_mutex: a callback
// runs with it held, and may (un)register callbacks without taking it again.
thread_local bool t_holds_callbacks = false;

// Holds the callback table for a scope; the thread already holding it (a
// callback registering a callback) goes on holding it. Unlocks on every way
// out, so that nothing a callback does can leave the table locked for good.
class CallbackLock {
public:
    CallbackLock() : taken_(!t_holds_callbacks) {
        if (!taken_) return;
        pthread_mutex_lock(&g_client_callback_mutex);
        t_holds_callbacks = true;
    }
    ~CallbackLock() {
        if (!taken_) return;
        t_holds_callbacks = false;
        pthread_mutex_unlock(&g_client_callback_mutex);
    }
    CallbackLock(const CallbackLock&) = delete;
    CallbackLock& operator=(const CallbackLock&) = delete;

private:
    bool taken_;
};

void log_enter(const char* function, int line) {
    vetu_log_print(LOG_TYPE_ENTER, kLogModule, kSourcePath, function, line, nullptr, nullptr);
}

void log_leave(const char* function, int line) {
    vetu_log_print(LOG_TYPE_LEAVE, kLogModule, kSourcePath, function, line, nullptr, nullptr);
}

void log_error(const char* function, int line) {
    vetu_log_print(LOG_TYPE_ERROR, kLogModule, kSourcePath, function, line, nullptr, nullptr);
}

void log_value(const char* function, int line, const char* name, int value) {
    vetu_log_print(LOG_TYPE_INT, kLogModule, kSourcePath, function, line, name, &value);
}

int refuse_argument(const char* function, int line) {
    log_error(function, line);
    return VETU_ERR_REFUSED;
}

// Runs the body of a command or query. Nothing leaves the library as an
// exception: jsoncpp and the standard library throw when memory runs out
// while a message is built, which is reported as -4.
template <typename Body>
int guarded(const char* function, Body body) {
    try {
        return body();
    } catch (...) {
        log_error(function, __LINE__);
        return VETU_ERR_NO_MEMORY;
    }
}

/* ---- event receiver ---- */

// Each deliver_ function reads its members before taking the callback lock
// and returns false, calling nothing, when a member has a kind that cannot
// be converted.

bool deliver_key_event(HacReader& event) {
    const VetuAppIdentifier app = {event.integer("appid"), event.integer("orgid")};
    const int key = event.integer("key");
    const int type = event.integer("type");
    const int keyid = event.integer("keyid");
    const bool consumed = event.integer("consum") != 0;
    if (!event.ok) return false;
    CallbackLock lock;
    if (g_key_event_callback.callback != nullptr) {
        g_key_event_callback.callback(&app, static_cast<VetuKey>(key), static_cast<VetuKeyEventType>(type), keyid,
                                      consumed, g_key_event_callback.user_data);
    }
    return true;
}

bool deliver_app_state(HacReader& event) {
    const VetuAppIdentifier app = {event.integer("appid"), event.integer("orgid")};
    const int state = event.integer("state");
    if (!event.ok) return false;
    CallbackLock lock;
    if (g_app_state_callback.callback != nullptr) {
        g_app_state_callback.callback(&app, state, g_app_state_callback.user_data);
    }
    return true;
}

bool deliver_ait_status(HacReader& event, const CallbackPair<VetuAitUpdateCallback>& pair, const char* value_name,
                        const char* function) {
    const int status = event.integer("status");
    if (!event.ok) return false;
    CallbackLock lock;
    log_value(function, __LINE__, value_name, status);
    if (pair.callback != nullptr) pair.callback(static_cast<VetuAppManagerUpdateAITStatus>(status), pair.user_data);
    return true;
}

bool deliver_event(HacReader& event, const char* function) {
    const int type = event.integer("t");
    if (!event.ok) return false;
    switch (type) {
        case HAC_MSG_KEY_EVENT:
            return deliver_key_event(event);
        case HAC_MSG_APP_STATE:
            return deliver_app_state(event);
        case HAC_MSG_DVB_AIT_STATUS:
            return deliver_ait_status(event, g_dvb_update_callback, "dvb_status", function);
        case HAC_MSG_XML_AIT_STATUS:
            return deliver_ait_status(event, g_xml_update_callback, "xml_status", function);
        default:
            return true;  // not a notification: dropped
    }
}

}  // namespace

// The callback of the notification endpoint. It never answers. A text that
// does not parse, or whose members jsoncpp refuses to convert, is dropped
// with an error record.
IpcData* ipc_callback(const IpcData* payload, void* /*user_data*/) {
    log_enter(__func__, __LINE__);
    if (payload == nullptr || payload->len <= 0 || payload->data == nullptr) {
        log_error(__func__, __LINE__);
        return nullptr;
    }
    try {
        Json::Value root;
        if (!hac_parse_text(payload->data, &root)) {
            log_error(__func__, __LINE__);
            return nullptr;
        }
        HacReader event(root);
        if (!deliver_event(event, __func__)) {
            log_error(__func__, __LINE__);
            return nullptr;
        }
    } catch (...) {
        // Nothing may escape into the receive thread, not even from a
        // callback; the callback lock is already released.
        log_error(__func__, __LINE__);
        return nullptr;
    }
    log_leave(__func__, __LINE__);
    return nullptr;
}

namespace {

/* ---- lifecycle ---- */

// Creates only the endpoints that are missing, so a second call, or one
// after a partly failed call, neither leaks an endpoint nor starts a second
// receive thread. Called with g_client_lifecycle_mutex held.
int create_missing_endpoints(const char* function) {
    if (g_client_ipc_client == nullptr) {
        IpcClient* client = nullptr;
        const int status = vetu_ipc_client_create(HAC_REQUEST_QUEUE_KEY, HAC_IPC_MTYPE, 1, HAC_IPC_CHUNK_SIZE, &client);
        if (status != 0) {
            log_error(function, __LINE__);
            return status;
        }
        HacLock lock(&g_client_ipc_mutex);
        g_client_ipc_client = client;
    }
    if (g_client_ipc_server == nullptr) {
        IpcServer* server = nullptr;
        // Served from its first receive: notifications already waiting in the
        // queue reach the callbacks instead of being dropped.
        const int status = ipc_server_create_serving(HAC_NOTIFICATION_QUEUE_KEY, HAC_IPC_MTYPE, 0, HAC_IPC_CHUNK_SIZE,
                                                     ipc_callback, nullptr, &server);
        if (status != 0) {
            log_error(function, __LINE__);
            return status;
        }
        g_client_ipc_server = server;
    }
    // Registering the registered pair again changes nothing; after a failed
    // registration it is the retry.
    const int status = vetu_ipc_server_register_callback(g_client_ipc_server, ipc_callback, nullptr);
    if (status != 0) {
        log_error(function, __LINE__);
        return status;
    }
    return 0;
}

/* ---- commands and queries ---- */

Json::Value identifier_message(unsigned int type, const VetuAppIdentifier& app) {
    Json::Value message = hac_new_message(type);
    message["appid"] = Json::Value(app.appid);
    message["orgid"] = Json::Value(app.orgid);
    return message;
}

// The payload over the text of a message, written in this thread's buffer;
// false when memory ran out.
bool write_payload(const Json::Value& message, IpcData* payload) {
    const std::string* text = hac_write_thread_text(message);
    if (text == nullptr) return false;
    *payload = {static_cast<int32_t>(text->size()), const_cast<char*>(text->data())};
    return true;
}

// The one path of every command: serialise, send one-way, trace.
// The deadline of a call under the process's time limit, or none.
struct CallDeadline {
    CallDeadline() {
        const int ms = __atomic_load_n(&g_query_timeout_ms, __ATOMIC_RELAXED);
        if (ms > 0) at = ipc_deadline_after(ms);
        limited = ms > 0;
    }
    const struct timespec* get() const { return limited ? &at : nullptr; }
    struct timespec at = {0, 0};
    bool limited = false;
};

int send_command(const char* function, const Json::Value& message) {
    const CallDeadline deadline;
    IpcData payload = {0, nullptr};
    if (!write_payload(message, &payload)) {
        log_error(function, __LINE__);
        return VETU_ERR_NO_MEMORY;
    }
    int status = VETU_ERR_TIMED_OUT;
    {
        // A query of another thread may hold the endpoint: wait no longer
        // than the limit for it.
        HacLock lock(&g_client_ipc_mutex, deadline.get());
        if (lock.held()) status = vetu_ipc_client_send(g_client_ipc_client, &payload);
    }
    if (status != 0) {
        log_error(function, __LINE__);
        return status;
    }
    log_leave(function, __LINE__);
    return 0;
}

// A reply member and the caller's int it is written to.
struct ReplyMember {
    const char* name;
    int* out;
};

const int kMaxReplyMembers = 3;

// Takes the reply text of a query, frees the block the IPC layer handed
// over, and writes the out-values only when every member converts. The
// first member's value is traced under value_name, when one is given.
// Called with g_client_ipc_mutex held.
int take_reply(const char* function, IpcData* reply, const ReplyMember* members, int count, const char* value_name) {
    if (reply->data == nullptr || reply->len == 0) {
        free(reply->data);
        log_error(function, __LINE__);
        return VETU_ERR_FAILED;
    }
    Json::Value root;
    int failure = 0;
    const bool parsed = hac_parse_text(reply->data, &root, &failure);
    free(reply->data);
    reply->data = nullptr;
    if (!parsed) {
        log_error(function, __LINE__);
        return failure;
    }
    HacReader reader(root);
    int values[kMaxReplyMembers] = {0, 0, 0};
    for (int i = 0; i < count; ++i) values[i] = reader.integer(members[i].name);
    if (!reader.ok) {
        log_error(function, __LINE__);
        return VETU_ERR_FAILED;
    }
    for (int i = 0; i < count; ++i) *members[i].out = values[i];
    if (value_name != nullptr) log_value(function, __LINE__, value_name, values[0]);
    return 0;
}

// The one path of every query: serialise, exchange, read the reply, trace.
// The IPC mutex covers the whole exchange, so one request of the process is
// in flight at a time.
int run_query(const char* function, const Json::Value& request, const ReplyMember* members, int count,
              const char* value_name) {
    const CallDeadline deadline;
    IpcData payload = {0, nullptr};
    if (!write_payload(request, &payload)) {
        log_error(function, __LINE__);
        return VETU_ERR_NO_MEMORY;
    }
    IpcData reply = {0, nullptr};
    int result = VETU_ERR_TIMED_OUT;
    {
        // One deadline for the whole call: the wait for the endpoint, which
        // another thread's query may hold, and the wait for the answer.
        HacLock lock(&g_client_ipc_mutex, deadline.get());
        const int status = !lock.held() ? VETU_ERR_TIMED_OUT
                           : g_client_ipc_client == nullptr
                               ? VETU_ERR_REFUSED
                               : ipc_client_exchange_until(g_client_ipc_client, &payload, &reply, deadline.get());
        result = status != 0 ? status : take_reply(function, &reply, members, count, value_name);
        if (status != 0) log_error(function, __LINE__);
    }
    if (result == 0) log_leave(function, __LINE__);
    return result;
}

template <typename Callback>
int store_callback(const char* function, CallbackPair<Callback>* pair, Callback callback, const void* user_data) {
    log_enter(function, __LINE__);
    {
        CallbackLock lock;
        pair->callback = callback;
        pair->user_data = user_data;
    }
    log_leave(function, __LINE__);
    return 0;
}

}  // namespace

int Vetu_HAC_Client_Initialize() {
    log_enter(__func__, __LINE__);
    int status;
    {
        HacLock lock(&g_client_lifecycle_mutex);
        status = create_missing_endpoints(__func__);
    }
    if (status == 0) log_leave(__func__, __LINE__);
    return status;
}

int Vetu_HAC_Client_Finalize() {
    log_enter(__func__, __LINE__);
    int result = 0;
    // From a callback too: destroying the endpoint whose thread runs the
    // callback does not wait for that thread, which ends after the callback.
    HacLock lifecycle(&g_client_lifecycle_mutex);
    if (g_client_ipc_server != nullptr) {
        if (vetu_ipc_server_unregister_callback(g_client_ipc_server) != 0) log_error(__func__, __LINE__);
        result = vetu_ipc_server_destroy(g_client_ipc_server);
        if (result != 0) log_error(__func__, __LINE__);
        g_client_ipc_server = nullptr;
    }
    // Taken out under the IPC mutex, so no send still uses it once it is
    // destroyed; a query in flight finishes first.
    IpcClient* client = nullptr;
    {
        HacLock lock(&g_client_ipc_mutex);
        client = g_client_ipc_client;
        g_client_ipc_client = nullptr;
    }
    if (client != nullptr) {
        result = vetu_ipc_client_destroy(client);
        if (result != 0) log_error(__func__, __LINE__);
    }
    return result;
}

int Vetu_HAC_Client_SetQueryTimeout(int milliseconds) {
    log_enter(__func__, __LINE__);
    if (milliseconds < 0) return refuse_argument(__func__, __LINE__);
    __atomic_store_n(&g_query_timeout_ms, milliseconds, __ATOMIC_RELAXED);
    log_leave(__func__, __LINE__);
    return 0;
}

int Vetu_HAC_Client_RegisterCallback(VetuAppStateCallback callback, const void* user_data) {
    return store_callback(__func__, &g_app_state_callback, callback, user_data);
}

int Vetu_HAC_Client_UnregisterCallback() {
    return store_callback<VetuAppStateCallback>(__func__, &g_app_state_callback, nullptr, nullptr);
}

int Vetu_HAC_Client_RegisterKeyEventCallback(VetuKeyEventCallback callback, const void* user_data) {
    return store_callback(__func__, &g_key_event_callback, callback, user_data);
}

int Vetu_HAC_Client_UnregisterKeyEventCallback() {
    return store_callback<VetuKeyEventCallback>(__func__, &g_key_event_callback, nullptr, nullptr);
}

int Vetu_HAC_Client_RegisterDvbUpdateCallback(VetuAitUpdateCallback callback, const void* user_data) {
    return store_callback(__func__, &g_dvb_update_callback, callback, user_data);
}

int Vetu_HAC_Client_UnregisterDvbUpdateCallback() {
    return store_callback<VetuAitUpdateCallback>(__func__, &g_dvb_update_callback, nullptr, nullptr);
}

int Vetu_HAC_Client_RegisterXmlUpdateCallback(VetuAitUpdateCallback callback, const void* user_data) {
    return store_callback(__func__, &g_xml_update_callback, callback, user_data);
}

int Vetu_HAC_Client_UnregisterXmlUpdateCallback() {
    return store_callback<VetuAitUpdateCallback>(__func__, &g_xml_update_callback, nullptr, nullptr);
}

/* ---- commands ---- */

int Vetu_HAC_Client_SendAitIDs(unsigned int svrid, unsigned int aitver, bool hasait) {
    const char* const function = __func__;
    log_enter(function, __LINE__);
    return guarded(function, [&] {
        Json::Value message = hac_new_message(HAC_MSG_SEND_AIT_IDS);
        message["svrid"] = Json::Value(svrid);
        message["aitver"] = Json::Value(aitver);
        message["hasait"] = Json::Value(hasait ? 1 : 0);
        return send_command(function, message);
    });
}

int Vetu_HAC_Client_SendAitAppInfo(int num, VetuAITAppInfo** apps) {
    const char* const function = __func__;
    log_enter(function, __LINE__);
    if (apps == nullptr || num == 0) return refuse_argument(function, __LINE__);
    return guarded(function, [&]() -> int {
        Json::Value message = hac_new_message(HAC_MSG_SEND_AIT_APP_INFO);
        message["num"] = Json::Value(num);
        for (int i = 0; i < num; ++i) {
            // A null record is left out; "num" still counts it and the
            // following records keep their names. A record that memory
            // does not suffice to encode fails the command instead of
            // reaching the browser as a gap.
            std::string document;
            const int encoded = aitappinfo_packet(apps[i], document);
            if (encoded == VETU_ERR_NO_MEMORY) {
                log_error(function, __LINE__);
                return VETU_ERR_NO_MEMORY;
            }
            if (encoded == 0) message[hac_indexed_member("ai", i)] = Json::Value(document);
        }
        return send_command(function, message);
    });
}

int Vetu_HAC_Client_StopApp(const VetuAppIdentifier* app) {
    const char* const function = __func__;
    log_enter(function, __LINE__);
    if (app == nullptr) return refuse_argument(function, __LINE__);
    return guarded(function, [&] { return send_command(function, identifier_message(HAC_MSG_STOP_APP, *app)); });
}

int Vetu_HAC_Client_SendXmlAitUrl(const char* xml, int xmllen, const char* ccid, int ccidlen) {
    const char* const function = __func__;
    log_enter(function, __LINE__);
    if (xml == nullptr || xmllen == 0 || ccid == nullptr) return refuse_argument(function, __LINE__);
    return guarded(function, [&] {
        Json::Value message = hac_new_message(HAC_MSG_SEND_XML_AIT_URL);
        message["xml"] = Json::Value(xml);
        message["xmllen"] = Json::Value(xmllen);
        message["ccid"] = Json::Value(ccid);
        message["ccidlen"] = Json::Value(ccidlen);
        return send_command(function, message);
    });
}

int Vetu_HAC_Client_SendKey(VetuKey key, VetuKeyEventType keytype, int keyid) {
    const char* const function = __func__;
    log_enter(function, __LINE__);
    return guarded(function, [&] {
        Json::Value message = hac_new_message(HAC_MSG_SEND_KEY);
        message["key"] = Json::Value(static_cast<int>(key));
        message["keytype"] = Json::Value(static_cast<int>(keytype));
        message["keyid"] = Json::Value(keyid);
        return send_command(function, message);
    });
}

int Vetu_HAC_Client_DestroyBIApplication(const VetuAppIdentifier* app) {
    const char* const function = __func__;
    log_enter(function, __LINE__);
    if (app == nullptr) return refuse_argument(function, __LINE__);
    return guarded(function,
                   [&] { return send_command(function, identifier_message(HAC_MSG_DESTROY_BI_APPLICATION, *app)); });
}

int Vetu_HAC_Client_Reset(int svrid, VetuApmResetType type, int timeout) {
    const char* const function = __func__;
    log_enter(function, __LINE__);
    return guarded(function, [&] {
        Json::Value message = hac_new_message(HAC_MSG_RESET);
        message["svrid"] = Json::Value(svrid);
        message["type"] = Json::Value(static_cast<int>(type));
        message["timeout"] = Json::Value(timeout);
        return send_command(function, message);
    });
}

/* ---- queries ---- */

int Vetu_HAC_Client_GetAppErrorCode(const VetuAppIdentifier* app, int* out_err) {
    const char* const function = __func__;
    log_enter(function, __LINE__);
    if (app == nullptr || out_err == nullptr) return refuse_argument(function, __LINE__);
    return guarded(function, [&] {
        const ReplyMember reply[] = {{"errcode", out_err}};
        return run_query(function, identifier_message(HAC_MSG_GET_APP_ERROR_CODE, *app), reply, 1, "*out_err");
    });
}

int Vetu_HAC_Client_ShowTeleTextApp(int enabled, int* out_hasTeleText) {
    const char* const function = __func__;
    log_enter(function, __LINE__);
    if (out_hasTeleText == nullptr) return refuse_argument(function, __LINE__);
    return guarded(function, [&] {
        Json::Value request = hac_new_message(HAC_MSG_SHOW_TELETEXT_APP);
        request["enabled"] = Json::Value(enabled);
        const ReplyMember reply[] = {{"teletext", out_hasTeleText}};
        return run_query(function, request, reply, 1, "*out_hasTeleText");
    });
}

int Vetu_HAC_Client_CreateBIApplication(const char* url, int urllen, VetuAppIdentifier* app,
                                        VetuApplicationSource src) {
    const char* const function = __func__;
    log_enter(function, __LINE__);
    if (url == nullptr || urllen == 0 || app == nullptr) return refuse_argument(function, __LINE__);
    return guarded(function, [&] {
        Json::Value request = hac_new_message(HAC_MSG_CREATE_BI_APPLICATION);
        request["url"] = Json::Value(url);
        request["urllen"] = Json::Value(urllen);
        request["src"] = Json::Value(static_cast<int>(src));
        const ReplyMember reply[] = {{"appid", &app->appid}, {"orgid", &app->orgid}};
        return run_query(function, request, reply, 2, nullptr);
    });
}

int Vetu_HAC_Client_GetVersion(int* major, int* minor, int* number) {
    const char* const function = __func__;
    log_enter(function, __LINE__);
    if (major == nullptr || minor == nullptr || number == nullptr) return refuse_argument(function, __LINE__);
    return guarded(function, [&] {
        const ReplyMember reply[] = {{"major", major}, {"minor", minor}, {"number", number}};
        return run_query(function, hac_new_message(HAC_MSG_GET_VERSION), reply, 3, nullptr);
    });
}

int Vetu_HAC_Client_IsAppRunning(int* isrunning) {
    const char* const function = __func__;
    log_enter(function, __LINE__);
    if (isrunning == nullptr) return refuse_argument(function, __LINE__);
    return guarded(function, [&] {
        const ReplyMember reply[] = {{"isrunning", isrunning}};
        return run_query(function, hac_new_message(HAC_MSG_IS_APP_RUNNING), reply, 1, nullptr);
    });
}
