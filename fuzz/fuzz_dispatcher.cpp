// The HAC server's request dispatcher on a request text, with a callback
// table that touches every argument it gets. A reply, when there is one,
// must be a whole HAC message answering the request's type.
#include <json/json.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "envelope.h"
#include "halves.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"


namespace {

volatile size_t g_sink;

void touch(const std::string& s) {
    size_t sum = 0;
    for (char c : s) sum += static_cast<unsigned char>(c);
    g_sink = g_sink + sum;
}

void touch_record(const VetuAITAppInfo* r) {
    if (r == nullptr) abort();
    for (const TranProtocol& t : r->tranprotocols) {
        touch(t.bu);
        touch(t.ip);
    }
    for (const std::string& b : r->bd) touch(b);
    touch(r->name);
    touch(r->iconloc);
    g_sink = g_sink + r->appid + r->iso[0] + r->iso[1] + r->iso[2];
}

void on_ait_ids(int svrid, int aitver, bool hasait) { g_sink = g_sink + svrid + aitver + hasait; }
void on_ait_app_info(int num, VetuAITAppInfo** apps) {
    if (num < 1 || apps == nullptr) abort();
    for (int i = 0; i < num; ++i) touch_record(apps[i]);
}
void on_app(const VetuAppIdentifier* app) {
    if (app == nullptr) abort();
    g_sink = g_sink + app->appid + app->orgid;
}
void on_xml(const std::string& xml, const std::string& ccid) {
    touch(xml);
    touch(ccid);
}
void on_error_code(const VetuAppIdentifier* app, int* errcode) {
    if (app == nullptr || errcode == nullptr || *errcode != 0) abort();
    *errcode = app->appid ^ app->orgid;
}
void on_teletext(int enabled, int* teletext) {
    if (teletext == nullptr || *teletext != 0) abort();
    *teletext = enabled;
}
void on_create_bi(const std::string& url, VetuAppIdentifier* app, int src) {
    if (app == nullptr || app->appid != 0 || app->orgid != 0) abort();
    touch(url);
    app->appid = static_cast<int>(url.size());
    app->orgid = src;
}
void on_reset(int svrid, int type, int timeout) { g_sink = g_sink + svrid + type + timeout; }
void on_version(int* major, int* minor, int* number) {
    if (major == nullptr || minor == nullptr || number == nullptr) abort();
    *major = INT_MAX;
    *minor = INT_MIN;
    *number = -1;
}
void on_running(int* isrunning) {
    if (isrunning == nullptr) abort();
    *isrunning = 1;
}

// The type of the request, when the request is an object with an int "t".
bool request_type(const char* text, int* type) {
    Json::Value root;
    if (!hac_parse_text(text, &root)) return false;
    HacReader reader(root);
    *type = reader.integer("t");
    return reader.ok;
}

void check_reply(const char* request, const IpcData* reply) {
    if (reply->data == nullptr || reply->len <= 0 || reply->len > IPC_MAX_PAYLOAD) abort();
    if (strlen(reply->data) != static_cast<size_t>(reply->len)) abort();
    int asked = 0;
    if (!request_type(request, &asked)) abort();  // no reply for what does not parse
    Json::Value root;
    if (!hac_parse_text(reply->data, &root)) abort();
    HacReader reader(root);
    if (reader.integer("t") != asked + 1 || !reader.ok) abort();
    switch (asked) {
    case HAC_MSG_GET_APP_ERROR_CODE:
    case HAC_MSG_SHOW_TELETEXT_APP:
    case HAC_MSG_CREATE_BI_APPLICATION:
        break;
    case HAC_MSG_GET_VERSION:
        if (reader.integer("major") != INT_MAX || reader.integer("minor") != INT_MIN || reader.integer("number") != -1)
            abort();
        break;
    case HAC_MSG_IS_APP_RUNNING:
        if (reader.integer("isrunning") != 1) abort();
        break;
    default:
        abort();  // only the five queries are answered
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    VetuHacServerCallback table{};
    table.SendAitIDs = on_ait_ids;
    table.SendAitAppInfo = on_ait_app_info;
    table.StopApp = on_app;
    table.SendXmlAitUrl = on_xml;
    table.GetAppErrorCode = on_error_code;
    table.ShowTeleTextApp = on_teletext;
    table.CreateBIApplication = on_create_bi;
    table.DestroyBIApplication = on_app;
    table.Reset = on_reset;
    table.GetVersion = on_version;
    table.IsAppRunning = on_running;
    Vetu_HAC_Server_RegisterCallback(table, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > IPC_MAX_PAYLOAD) return 0;
    // The receive thread hands over the payload with a closing NUL.
    char* block = static_cast<char*>(malloc(size + 1));
    memcpy(block, data, size);
    block[size] = '\0';
    IpcData payload{static_cast<int32_t>(size), block};
    // A reply is lent: the text is the thread's, nothing to free.
    const IpcData* reply = server_ipc_callback(&payload, nullptr);
    if (reply != nullptr) check_reply(block, reply);
    free(block);
    return 0;
}
