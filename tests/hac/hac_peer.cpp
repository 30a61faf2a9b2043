// The other half for the HAC tests, as a process of its own.
//   hac_peer browser [unregistered]  HAC server whose table reports every call
//   hac_peer appmgr                  HAC client whose callbacks report every event
// Reports are JSON lines on stdout; the first is "ready". SIGTERM finalises
// the half and exits 0.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "hac_texts.h"
#include "vetu_log.h"

using hac_test::hex;

namespace {

// In an application-state event, asks the peer to call a query and a command
// from inside the callback.
const int kCallFromCallback = 1000;
const int kUserData = 0;

void report(const Json::Value& line) {
    printf("%s\n", hac_test::one_line(line).c_str());
    fflush(stdout);
}

Json::Value call(const char* member) {
    Json::Value line;
    line["m"] = member;
    return line;
}

Json::Value identifier_call(const char* member, const VetuAppIdentifier* app) {
    Json::Value line = call(member);
    line["appid"] = app->appid;
    line["orgid"] = app->orgid;
    return line;
}

/* ---- browser: the server table ---- */

void on_ait_ids(int svrid, int aitver, bool hasait) {
    Json::Value line = call("SendAitIDs");
    line["svrid"] = svrid;
    line["aitver"] = aitver;
    line["hasait"] = hasait;
    report(line);
}

void on_ait_app_info(int num, VetuAITAppInfo** apps) {
    Json::Value line = call("SendAitAppInfo");
    line["num"] = num;
    for (int i = 0; i < num; ++i) {
        std::string document;
        aitappinfo_packet(apps[i], document);
        line["docs"].append(hex(document));
        line["strings"].append(hac_test::record_strings(*apps[i]));
    }
    report(line);
}

// A notification sent from inside a member.
void on_stop_app(const VetuAppIdentifier* app) {
    Json::Value line = identifier_call("StopApp", app);
    line["notify"] = Vetu_HAC_Server_SendAppState(app->appid, app->orgid, VETU_APP_EVENT_STOPPED);
    report(line);
}

void on_xml_ait_url(const std::string& xml, const std::string& ccid) {
    Json::Value line = call("SendXmlAitUrl");
    line["xml"] = xml;
    line["ccid"] = ccid;
    report(line);
}

void on_app_error_code(const VetuAppIdentifier* app, int* errcode) {
    Json::Value line = identifier_call("GetAppErrorCode", app);
    line["in"] = *errcode;
    report(line);
    *errcode = app->appid + app->orgid;
}

void on_teletext(int enabled, int* teletext) {
    Json::Value line = call("ShowTeleTextApp");
    line["enabled"] = enabled;
    line["in"] = *teletext;
    report(line);
    *teletext = enabled * 2;
}

void on_create_bi_application(const std::string& url, VetuAppIdentifier* app, int src) {
    Json::Value line = identifier_call("CreateBIApplication", app);
    line["url"] = url;
    line["src"] = src;
    report(line);
    *app = VetuAppIdentifier{static_cast<int>(url.size()), src};
}

void on_destroy_bi_application(const VetuAppIdentifier* app) { report(identifier_call("DestroyBIApplication", app)); }

void on_reset(int svrid, int type, int timeout) {
    Json::Value line = call("Reset");
    line["svrid"] = svrid;
    line["type"] = type;
    line["timeout"] = timeout;
    report(line);
}

void on_version(int* major, int* minor, int* number) {
    Json::Value line = call("GetVersion");
    line["in"] = *major | *minor | *number;
    report(line);
    *major = 1;
    *minor = 2;
    *number = 3;
}

void on_is_app_running(int* isrunning) {
    Json::Value line = call("IsAppRunning");
    line["in"] = *isrunning;
    report(line);
    *isrunning = 1;
}

int start_browser(bool registered) {
    const VetuHacServerCallback table = {on_ait_ids,        on_ait_app_info, on_stop_app,
                                         on_xml_ait_url,    on_app_error_code, on_teletext,
                                         on_create_bi_application, on_destroy_bi_application, on_reset,
                                         on_version,        on_is_app_running};
    Vetu_HAC_Server_RegisterCallback(table, &kUserData);
    if (!registered) Vetu_HAC_Server_UnregisterCallback();
    // Whatever the server half would log must show up here as a line that
    // is not a report.
    insert_modules_list("HAC", 1);
    insert_modules_list("hac_server", 1);
    // Counted around the second call only: a sanitizer may start a thread
    // of its own with the first.
    Vetu_HAC_Server_Initialize();
    const int before = hac_test::thread_count();
    return Vetu_HAC_Server_Initialize() == 0 ? hac_test::thread_count() - before : -1;
}

/* ---- appmgr: the client callbacks ---- */

void on_app_state(const VetuAppIdentifier* app, int state, const void* user_data) {
    Json::Value line = identifier_call("AppState", app);
    line["state"] = state;
    line["ud"] = user_data == &kUserData;
    report(line);
    if (state != kCallFromCallback) return;
    int v[3] = {0, 0, 0};
    Json::Value inner = call("FromCallback");
    inner["query"] = Vetu_HAC_Client_GetVersion(&v[0], &v[1], &v[2]);
    for (int x : v) inner["version"].append(x);
    inner["command"] = Vetu_HAC_Client_StopApp(app);
    report(inner);
}

void on_key_event(const VetuAppIdentifier* app, VetuKey key, VetuKeyEventType type, int keyid, bool consumed,
                  const void* user_data) {
    Json::Value line = identifier_call("KeyEvent", app);
    line["key"] = static_cast<int>(key);
    line["type"] = static_cast<int>(type);
    line["keyid"] = keyid;
    line["consumed"] = consumed;
    line["ud"] = user_data == &kUserData;
    report(line);
}

void report_status(const char* member, VetuAppManagerUpdateAITStatus status, bool user_data_ok) {
    Json::Value line = call(member);
    line["status"] = static_cast<int>(status);
    line["ud"] = user_data_ok;
    report(line);
}

void on_dvb_status(VetuAppManagerUpdateAITStatus status, const void* user_data) {
    report_status("DvbStatus", status, user_data == &kUserData);
}

// Registered with a null user pointer.
void on_xml_status(VetuAppManagerUpdateAITStatus status, const void* user_data) {
    report_status("XmlStatus", status, user_data == nullptr);
}

int start_appmgr() {
    // Registered before Initialize: they serve the first notification.
    Vetu_HAC_Client_RegisterCallback(on_app_state, &kUserData);
    Vetu_HAC_Client_RegisterKeyEventCallback(on_key_event, &kUserData);
    Vetu_HAC_Client_RegisterDvbUpdateCallback(on_dvb_status, &kUserData);
    Vetu_HAC_Client_RegisterXmlUpdateCallback(on_xml_status, nullptr);
    if (Vetu_HAC_Client_Initialize() != 0) return -1;
    const int before = hac_test::thread_count();
    return Vetu_HAC_Client_Initialize() == 0 ? hac_test::thread_count() - before : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const bool browser = strcmp(argv[1], "browser") == 0;
    // Blocked before any thread starts, so only sigwait below takes it.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    Json::Value ready = call("ready");
    ready["threads_added"] = browser ? start_browser(argc < 3) : start_appmgr();
    report(ready);

    int sig = 0;
    sigwait(&stop, &sig);
    if (browser) {
        Vetu_HAC_Server_Finalize();
    } else {
        Vetu_HAC_Client_Finalize();
    }
    return 0;
}
