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

#include <atomic>
#include <cstdlib>
#include <string>
#include <string_view>

#include "envelope.h"
#include "halves.h"
#include "hac_catalogue.h"
#include "lock.h"
#include "log_table.h"
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
// Set by Finalize before it destroys the notification endpoint: what its
// thread still receives reaches no callback. Finalize does not unregister
// the receiver instead, which would wait without bound for a callback that
// runs, and for ever for one that calls Finalize itself.
std::atomic<bool> g_client_closing{false};

// Guards the request endpoint's handle; held around every send, and by a
// query across its whole exchange. It is never held while the notification
// endpoint is registered on or destroyed: the receive thread holds that
// endpoint's mutex while a callback runs, and a callback may send, so
// holding both here would let Finalize and a callback's query wait on each
// other for good.
pthread_mutex_t g_client_ipc_mutex = PTHREAD_MUTEX_INITIALIZER;
IpcClient* g_client_ipc_client = nullptr;
// The block every query's reply is received into, kept from one query to
// the next (one is in flight at a time); also under g_client_ipc_mutex.
IpcAnswerBlock g_client_answer_block = {nullptr, 0};

// The process's limit on the time a command or query waits, in
// milliseconds; 0 waits without limit. Read and written atomically.
int g_query_timeout_ms = 0;

// Guards the four callback pairs; held while a callback runs. A callback
// may (un)register callbacks: the thread's flag tells that it holds it.
pthread_mutex_t g_client_callback_mutex = PTHREAD_MUTEX_INITIALIZER;
thread_local bool t_holds_callbacks = false;
CallbackPair<VetuAppStateCallback> g_app_state_callback = {nullptr, nullptr};
CallbackPair<VetuKeyEventCallback> g_key_event_callback = {nullptr, nullptr};
CallbackPair<VetuAitUpdateCallback> g_dvb_update_callback = {nullptr, nullptr};
CallbackPair<VetuAitUpdateCallback> g_xml_update_callback = {nullptr, nullptr};

/* ---- log records ---- */

// The client function running on this thread, named in its log records, so
// that the helpers it calls write records without being handed the name. A
// command called from a callback inside the receiver nests.
thread_local const char* t_function = nullptr;

void log_record(int type, int line, const char* name = nullptr, const void* value = nullptr) {
    // What vetu_log_print drops first, dropped before the call: every
    // record but an error while no module is listed (the default).
    if (type != LOG_TYPE_ERROR && log_table_is_empty()) return;
    vetu_log_print(type, kLogModule, kSourcePath, t_function, line, name, value);
}

// Names the function for its records and writes its entry record.
class Trace {
public:
    Trace(const char* function, int line) : outer_(t_function) {
        t_function = function;
        log_record(LOG_TYPE_ENTER, line);
    }
    ~Trace() { t_function = outer_; }
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

private:
    const char* outer_;
};

void log_leave(int line) { log_record(LOG_TYPE_LEAVE, line); }

void log_error(int line) { log_record(LOG_TYPE_ERROR, line); }

void log_value(int line, const char* name, int value) { log_record(LOG_TYPE_INT, line, name, &value); }

// The error record and the status of a failure.
int fail(int line, int status) {
    log_error(line);
    return status;
}

// The error record of a notification the receiver drops.
IpcData* drop(int line) {
    log_error(line);
    return nullptr;
}

// Runs the body of a command or query. Nothing leaves the library as an
// exception: jsoncpp and the standard library throw when memory runs out
// while a message is built, which is reported as no memory.
template <typename Body>
int guarded(Body body) {
    try {
        return body();
    } catch (...) {
        return fail(__LINE__, VETU_ERR_NO_MEMORY);
    }
}

}  // namespace

/* ---- event receiver ---- */

namespace {

// Each deliver_ function is handed the members of its notification, read
// before the callback lock is taken.

void deliver_key_event(const HacFields& event) {  // appid, orgid, key, type, keyid, consum
    const VetuAppIdentifier app = {event.integers[0], event.integers[1]};
    ScopedLock lock(&g_client_callback_mutex, &t_holds_callbacks);
    if (g_key_event_callback.callback != nullptr) {
        g_key_event_callback.callback(&app, static_cast<VetuKey>(event.integers[2]),
                                      static_cast<VetuKeyEventType>(event.integers[3]), event.integers[4],
                                      event.integers[5] != 0, g_key_event_callback.user_data);
    }
}

void deliver_app_state(const HacFields& event) {  // appid, orgid, state
    const VetuAppIdentifier app = {event.integers[0], event.integers[1]};
    ScopedLock lock(&g_client_callback_mutex, &t_holds_callbacks);
    if (g_app_state_callback.callback != nullptr)
        g_app_state_callback.callback(&app, event.integers[2], g_app_state_callback.user_data);
}

void deliver_ait_status(const HacFields& event, const CallbackPair<VetuAitUpdateCallback>& pair,
                        const char* value_name) {  // status
    ScopedLock lock(&g_client_callback_mutex, &t_holds_callbacks);
    log_value(__LINE__, value_name, event.integers[0]);
    if (pair.callback != nullptr)
        pair.callback(static_cast<VetuAppManagerUpdateAITStatus>(event.integers[0]), pair.user_data);
}

// False, calling nothing, when a member has a kind that cannot be converted.
bool deliver_event(const Json::Value& root) {
    HacReader reader(root);
    const int type = reader.integer("t");
    if (!reader.ok) return false;
    const HacMessage* entry = hac_message(type);
    // Anything but a notification (a reply, a request, an unknown type) is
    // dropped without a callback.
    if (entry == nullptr || entry->direction != HAC_TO_MANAGER || entry->mode != HAC_ONE_WAY) return true;
    HacFields event;
    if (!hac_read_members(root, type, &event)) return false;
    switch (type) {
        case HAC_MSG_KEY_EVENT:
            deliver_key_event(event);
            break;
        case HAC_MSG_APP_STATE:
            deliver_app_state(event);
            break;
        case HAC_MSG_DVB_AIT_STATUS:
            deliver_ait_status(event, g_dvb_update_callback, "dvb_status");
            break;
        case HAC_MSG_XML_AIT_STATUS:
            deliver_ait_status(event, g_xml_update_callback, "xml_status");
            break;
    }
    return true;
}

}  // namespace

// The callback of the notification endpoint. It never answers. A text that
// does not parse, or whose members jsoncpp refuses to convert, is dropped
// with an error record.
IpcData* ipc_callback(const IpcData* payload, void* /*user_data*/) {
    if (g_client_closing) return nullptr;
    Trace trace(__func__, __LINE__);
    if (payload == nullptr || payload->len <= 0 || payload->data == nullptr) return drop(__LINE__);
    try {
        Json::Value root;
        if (!hac_parse_text(payload->data, &root) || !deliver_event(root)) return drop(__LINE__);
    } catch (...) {
        // Nothing may escape into the receive thread, not even from a
        // callback; the callback lock is already released.
        return drop(__LINE__);
    }
    log_leave(__LINE__);
    return nullptr;
}

namespace {

/* ---- lifecycle ---- */

// Creates only the endpoints that are missing, so a second call, or one
// after a partly failed call, neither leaks an endpoint nor starts a second
// receive thread. Called with g_client_lifecycle_mutex held.
int create_missing_endpoints() {
    if (g_client_ipc_client == nullptr) {
        IpcClient* client = nullptr;
        const int status = vetu_ipc_client_create(HAC_REQUEST_QUEUE_KEY, HAC_IPC_MTYPE, 1, HAC_IPC_CHUNK_SIZE, &client);
        if (status != 0) return fail(__LINE__, status);
        ScopedLock lock(&g_client_ipc_mutex);
        g_client_ipc_client = client;
    }
    if (g_client_ipc_server == nullptr) {
        g_client_closing = false;
        IpcServer* server = nullptr;
        // Served from its first receive: notifications already waiting in the
        // queue reach the callbacks instead of being dropped.
        const int status = ipc_server_create_serving(HAC_NOTIFICATION_QUEUE_KEY, HAC_IPC_MTYPE, 0, HAC_IPC_CHUNK_SIZE,
                                                     ipc_callback, nullptr, IPC_ANSWERS_GIVEN, &server);
        if (status != 0) return fail(__LINE__, status);
        g_client_ipc_server = server;
    }
    // Registering the registered pair again changes nothing; after a failed
    // registration it is the retry.
    const int status = vetu_ipc_server_register_callback(g_client_ipc_server, ipc_callback, nullptr);
    return status != 0 ? fail(__LINE__, status) : 0;
}

/* ---- commands and queries ---- */

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

// The payload over the text of a message, written in this thread's buffer
// (empty when memory ran out); false when it is empty.
bool as_payload(std::string_view text, IpcData* payload) {
    if (text.empty()) return false;
    *payload = {static_cast<int32_t>(text.size()), const_cast<char*>(text.data())};
    return true;
}

// The one path of every command: send the text one-way, trace.
int send_text(const CallDeadline& deadline, std::string_view text) {
    IpcData payload = {0, nullptr};
    if (!as_payload(text, &payload)) return fail(__LINE__, VETU_ERR_NO_MEMORY);
    int status = VETU_ERR_TIMED_OUT;
    {
        // A query of another thread may hold the endpoint: wait no longer
        // than the limit for it.
        ScopedLock lock(&g_client_ipc_mutex, deadline.get());
        if (lock.held()) status = vetu_ipc_client_send(g_client_ipc_client, &payload);
    }
    if (status != 0) return fail(__LINE__, status);
    log_leave(__LINE__);
    return 0;
}

// Takes the reply text of a query, and writes the out-values (the reply's
// members in the catalogue's order) only when every member converts. The
// first member's value is traced under value_name, when one is given.
// Called with g_client_ipc_mutex held: the text is in the answer block.
int take_reply(unsigned int reply_type, const IpcData* reply, int* const* outs, const char* value_name) {
    if (reply->data == nullptr || reply->len == 0) return fail(__LINE__, VETU_ERR_FAILED);
    Json::Value root;
    int failure = 0;
    if (!hac_parse_text(reply->data, &root, &failure)) return fail(__LINE__, failure);
    HacFields values;
    if (!hac_read_members(root, reply_type, &values)) return fail(__LINE__, VETU_ERR_FAILED);
    const HacMessage* entry = hac_message(reply_type);
    for (int i = 0; i < entry->count; ++i) *outs[i] = values.integers[i];
    if (value_name != nullptr) log_value(__LINE__, value_name, values.integers[0]);
    return 0;
}

// A command of the catalogue with the values of its members.
int send_command(unsigned int type, std::initializer_list<HacValue> values) {
    const CallDeadline deadline;
    return send_text(deadline, hac_write_message(type, values));
}

// The one path of every query: serialise, exchange, read the reply, trace.
// The IPC mutex covers the whole exchange, so one request of the process is
// in flight at a time. outs receives the reply's members, in the
// catalogue's order.
int run_query(unsigned int type, std::initializer_list<HacValue> values, int* const* outs,
              const char* value_name = nullptr) {
    const CallDeadline deadline;
    IpcData payload = {0, nullptr};
    if (!as_payload(hac_write_message(type, values), &payload)) return fail(__LINE__, VETU_ERR_NO_MEMORY);
    const unsigned int reply_type = type + 1;
    IpcData reply = {0, nullptr};
    int result = VETU_ERR_TIMED_OUT;
    {
        // One deadline for the whole call: the wait for the endpoint, which
        // another thread's query may hold, and the wait for the answer.
        ScopedLock lock(&g_client_ipc_mutex, deadline.get());
        if (!lock.held()) return fail(__LINE__, VETU_ERR_TIMED_OUT);
        if (g_client_ipc_client == nullptr) return fail(__LINE__, VETU_ERR_REFUSED);
        const int status = ipc_client_exchange_into(g_client_ipc_client, &payload, &reply, &g_client_answer_block,
                                                    deadline.get());
        if (status != 0) return fail(__LINE__, status);
        result = take_reply(reply_type, &reply, outs, value_name);
    }
    if (result == 0) log_leave(__LINE__);
    return result;
}

template <typename Callback>
int store_callback(CallbackPair<Callback>* pair, Callback callback, const void* user_data) {
    {
        ScopedLock lock(&g_client_callback_mutex, &t_holds_callbacks);
        pair->callback = callback;
        pair->user_data = user_data;
    }
    log_leave(__LINE__);
    return 0;
}

}  // namespace

int Vetu_HAC_Client_Initialize() {
    Trace trace(__func__, __LINE__);
    int status;
    {
        ScopedLock lock(&g_client_lifecycle_mutex);
        status = create_missing_endpoints();
    }
    if (status == 0) log_leave(__LINE__);
    return status;
}

int Vetu_HAC_Client_Finalize() {
    Trace trace(__func__, __LINE__);
    int result = 0;
    // From a callback too: destroying the endpoint whose thread runs the
    // callback does not wait for that thread, which ends after the callback.
    ScopedLock lifecycle(&g_client_lifecycle_mutex);
    if (g_client_ipc_server != nullptr) {
        g_client_closing = true;
        result = vetu_ipc_server_destroy(g_client_ipc_server);
        if (result != 0) log_error(__LINE__);
        g_client_ipc_server = nullptr;
    }
    // Taken out under the IPC mutex, so no send still uses it once it is
    // destroyed; a query in flight finishes first.
    IpcClient* client = nullptr;
    {
        ScopedLock lock(&g_client_ipc_mutex);
        client = g_client_ipc_client;
        g_client_ipc_client = nullptr;
        free(g_client_answer_block.data);
        g_client_answer_block = {nullptr, 0};
    }
    if (client != nullptr) {
        result = vetu_ipc_client_destroy(client);
        if (result != 0) log_error(__LINE__);
    }
    return result;
}

int Vetu_HAC_Client_SetQueryTimeout(int milliseconds) {
    Trace trace(__func__, __LINE__);
    if (milliseconds < 0) return fail(__LINE__, VETU_ERR_REFUSED);
    __atomic_store_n(&g_query_timeout_ms, milliseconds, __ATOMIC_RELAXED);
    log_leave(__LINE__);
    return 0;
}

int Vetu_HAC_Client_RegisterCallback(VetuAppStateCallback callback, const void* user_data) {
    Trace trace(__func__, __LINE__);
    return store_callback(&g_app_state_callback, callback, user_data);
}

int Vetu_HAC_Client_UnregisterCallback() {
    Trace trace(__func__, __LINE__);
    return store_callback<VetuAppStateCallback>(&g_app_state_callback, nullptr, nullptr);
}

int Vetu_HAC_Client_RegisterKeyEventCallback(VetuKeyEventCallback callback, const void* user_data) {
    Trace trace(__func__, __LINE__);
    return store_callback(&g_key_event_callback, callback, user_data);
}

int Vetu_HAC_Client_UnregisterKeyEventCallback() {
    Trace trace(__func__, __LINE__);
    return store_callback<VetuKeyEventCallback>(&g_key_event_callback, nullptr, nullptr);
}

int Vetu_HAC_Client_RegisterDvbUpdateCallback(VetuAitUpdateCallback callback, const void* user_data) {
    Trace trace(__func__, __LINE__);
    return store_callback(&g_dvb_update_callback, callback, user_data);
}

int Vetu_HAC_Client_UnregisterDvbUpdateCallback() {
    Trace trace(__func__, __LINE__);
    return store_callback<VetuAitUpdateCallback>(&g_dvb_update_callback, nullptr, nullptr);
}

int Vetu_HAC_Client_RegisterXmlUpdateCallback(VetuAitUpdateCallback callback, const void* user_data) {
    Trace trace(__func__, __LINE__);
    return store_callback(&g_xml_update_callback, callback, user_data);
}

int Vetu_HAC_Client_UnregisterXmlUpdateCallback() {
    Trace trace(__func__, __LINE__);
    return store_callback<VetuAitUpdateCallback>(&g_xml_update_callback, nullptr, nullptr);
}

/* ---- commands ---- */

int Vetu_HAC_Client_SendAitIDs(unsigned int svrid, unsigned int aitver, bool hasait) {
    Trace trace(__func__, __LINE__);
    return guarded([&] { return send_command(HAC_MSG_SEND_AIT_IDS, {svrid, aitver, hasait ? 1 : 0}); });
}

int Vetu_HAC_Client_SendAitAppInfo(int num, VetuAITAppInfo** apps) {
    Trace trace(__func__, __LINE__);
    if (apps == nullptr || num == 0) return fail(__LINE__, VETU_ERR_REFUSED);
    return guarded([&]() -> int {
        Json::Value message = hac_build_message(HAC_MSG_SEND_AIT_APP_INFO, {num});
        for (int i = 0; i < num; ++i) {
            // A null record is left out; "num" still counts it and the
            // following records keep their names. A record that memory
            // does not suffice to encode fails the command instead of
            // reaching the browser as a gap.
            if (apps[i] == nullptr) continue;
            // aitappinfo_packet's text, copied once: into the message.
            const std::string_view document = hac_write_record_text(*apps[i]);
            if (document.empty()) return fail(__LINE__, VETU_ERR_NO_MEMORY);
            message[hac_indexed_member(HAC_RECORD_MEMBER_STEM, i).text] =
                Json::Value(document.data(), document.data() + document.size());
        }
        const CallDeadline deadline;
        return send_text(deadline, hac_write_thread_text(message));
    });
}

int Vetu_HAC_Client_StopApp(const VetuAppIdentifier* app) {
    Trace trace(__func__, __LINE__);
    if (app == nullptr) return fail(__LINE__, VETU_ERR_REFUSED);
    return guarded([&] { return send_command(HAC_MSG_STOP_APP, {app->appid, app->orgid}); });
}

int Vetu_HAC_Client_SendXmlAitUrl(const char* xml, int xmllen, const char* ccid, int ccidlen) {
    Trace trace(__func__, __LINE__);
    if (xml == nullptr || xmllen == 0 || ccid == nullptr) return fail(__LINE__, VETU_ERR_REFUSED);
    return guarded(
        [&] { return send_command(HAC_MSG_SEND_XML_AIT_URL, {xml, xmllen, ccid, ccidlen}); });
}

int Vetu_HAC_Client_SendKey(VetuKey key, VetuKeyEventType keytype, int keyid) {
    Trace trace(__func__, __LINE__);
    return guarded([&] {
        return send_command(HAC_MSG_SEND_KEY, {static_cast<int>(key), static_cast<int>(keytype), keyid});
    });
}

int Vetu_HAC_Client_DestroyBIApplication(const VetuAppIdentifier* app) {
    Trace trace(__func__, __LINE__);
    if (app == nullptr) return fail(__LINE__, VETU_ERR_REFUSED);
    return guarded(
        [&] { return send_command(HAC_MSG_DESTROY_BI_APPLICATION, {app->appid, app->orgid}); });
}

int Vetu_HAC_Client_Reset(int svrid, VetuApmResetType type, int timeout) {
    Trace trace(__func__, __LINE__);
    return guarded(
        [&] { return send_command(HAC_MSG_RESET, {svrid, static_cast<int>(type), timeout}); });
}

/* ---- queries ---- */

int Vetu_HAC_Client_GetAppErrorCode(const VetuAppIdentifier* app, int* out_err) {
    Trace trace(__func__, __LINE__);
    if (app == nullptr || out_err == nullptr) return fail(__LINE__, VETU_ERR_REFUSED);
    int* const outs[] = {out_err};
    return guarded([&] {
        return run_query(HAC_MSG_GET_APP_ERROR_CODE, {app->appid, app->orgid}, outs, "*out_err");
    });
}

int Vetu_HAC_Client_ShowTeleTextApp(int enabled, int* out_hasTeleText) {
    Trace trace(__func__, __LINE__);
    if (out_hasTeleText == nullptr) return fail(__LINE__, VETU_ERR_REFUSED);
    int* const outs[] = {out_hasTeleText};
    return guarded([&] {
        return run_query(HAC_MSG_SHOW_TELETEXT_APP, {enabled}, outs, "*out_hasTeleText");
    });
}

int Vetu_HAC_Client_CreateBIApplication(const char* url, int urllen, VetuAppIdentifier* app,
                                        VetuApplicationSource src) {
    Trace trace(__func__, __LINE__);
    if (url == nullptr || urllen == 0 || app == nullptr) return fail(__LINE__, VETU_ERR_REFUSED);
    int* const outs[] = {&app->appid, &app->orgid};
    return guarded([&] {
        return run_query(HAC_MSG_CREATE_BI_APPLICATION, {url, urllen, static_cast<int>(src)}, outs);
    });
}

int Vetu_HAC_Client_GetVersion(int* major, int* minor, int* number) {
    Trace trace(__func__, __LINE__);
    if (major == nullptr || minor == nullptr || number == nullptr) return fail(__LINE__, VETU_ERR_REFUSED);
    int* const outs[] = {major, minor, number};
    return guarded([&] { return run_query(HAC_MSG_GET_VERSION, {}, outs); });
}

int Vetu_HAC_Client_IsAppRunning(int* isrunning) {
    Trace trace(__func__, __LINE__);
    if (isrunning == nullptr) return fail(__LINE__, VETU_ERR_REFUSED);
    int* const outs[] = {isrunning};
    return guarded([&] { return run_query(HAC_MSG_IS_APP_RUNNING, {}, outs); });
}
