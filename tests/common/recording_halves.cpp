#include "recording_halves.h"

#include <unistd.h>

#include <initializer_list>
#include <memory>

#include "hac_catalogue.h"
#include "test_support.h"

namespace hac_test {

namespace {

std::mutex g_sink_mutex;
std::shared_ptr<ReportSink> g_sink;

// A report of a message the catalogue names: its arguments under the names
// of the members the receiver reads, in order, and for a query "in" with the
// out-values its member was handed.
Json::Value catalogued(unsigned int type, std::initializer_list<Json::Value> arguments,
                       std::initializer_list<int> out_values = {}) {
    const HacMessage* message = hac_message(type);
    Json::Value line(Json::objectValue);
    line["m"] = message->name;
    auto argument = arguments.begin();
    for (int i = 0; i < message->count && argument != arguments.end(); ++i)
        if (message->members[i].read) line[message->members[i].name] = *argument++;
    for (int v : out_values) line["in"].append(v);
    return line;
}

/* ---- browser ---- */

int g_generation = 1;

void on_ait_ids(int svrid, int aitver, bool hasait) {
    report(catalogued(HAC_MSG_SEND_AIT_IDS, {svrid, aitver, hasait}));
}

// Each record as its document again: the bytes that crossed, and every
// field of the record with them.
void on_ait_app_info(int num, VetuAITAppInfo** apps) {
    Json::Value line = catalogued(HAC_MSG_SEND_AIT_APP_INFO, {num});
    line["records"] = Json::Value(Json::arrayValue);
    for (int i = 0; i < num; ++i) {
        std::string document;
        aitappinfo_packet(apps[i], document);
        line["records"].append(hex(document));
    }
    report(line);
}

void on_stop_app(const VetuAppIdentifier* app) {
    Json::Value line = catalogued(HAC_MSG_STOP_APP, {app->appid, app->orgid});
    if (app->orgid == kNotifyBackOrg)
        line["notify"] = Vetu_HAC_Server_SendAppState(app->appid, app->orgid, VETU_APP_EVENT_STOPPED);
    report(line);
}

void on_xml_ait_url(const std::string& xml, const std::string& ccid) {
    report(catalogued(HAC_MSG_SEND_XML_AIT_URL, {xml, ccid}));
}

void on_app_error_code(const VetuAppIdentifier* app, int* errcode) {
    report(catalogued(HAC_MSG_GET_APP_ERROR_CODE, {app->appid, app->orgid}, {*errcode}));
    if (app->orgid == kSlowMemberOrg) usleep(300000);  // a browser busy in its member
    *errcode = derived_error_code(app->appid, app->orgid, g_generation);
}

void on_teletext(int enabled, int* teletext) {
    report(catalogued(HAC_MSG_SHOW_TELETEXT_APP, {enabled}, {*teletext}));
    *teletext = derived_teletext(enabled);
}

void on_create_bi_application(const std::string& url, VetuAppIdentifier* app, int src) {
    report(catalogued(HAC_MSG_CREATE_BI_APPLICATION, {url, src}, {app->appid, app->orgid}));
    *app = derived_application(url, src);
}

void on_destroy_bi_application(const VetuAppIdentifier* app) {
    report(catalogued(HAC_MSG_DESTROY_BI_APPLICATION, {app->appid, app->orgid}));
}

void on_reset(int svrid, int type, int timeout) { report(catalogued(HAC_MSG_RESET, {svrid, type, timeout})); }

void on_version(int* major, int* minor, int* number) {
    report(catalogued(HAC_MSG_GET_VERSION, {}, {*major, *minor, *number}));
    *major = g_generation;
    *minor = 2;
    *number = 3;
}

void on_is_app_running(int* isrunning) {
    report(catalogued(HAC_MSG_IS_APP_RUNNING, {}, {*isrunning}));
    *isrunning = 1;
}

/* ---- application manager ---- */

const char kUserData[] = "recording manager";

Json::Value event(unsigned int type, std::initializer_list<Json::Value> arguments, const void* user_data) {
    Json::Value line = catalogued(type, arguments);
    line["ud"] = user_data == kUserData;
    return line;
}

void on_app_state(const VetuAppIdentifier* app, int state, const void* user_data) {
    report(event(HAC_MSG_APP_STATE, {app->appid, app->orgid, state}, user_data));
    if (state != kCallFromCallback) return;
    int v[3] = {0, 0, 0};
    Json::Value inner;
    inner["m"] = "FromCallback";
    inner["query"] = Vetu_HAC_Client_GetVersion(&v[0], &v[1], &v[2]);
    for (int part : v) inner["version"].append(part);
    inner["command"] = Vetu_HAC_Client_StopApp(app);
    report(inner);
}

void on_key_event(const VetuAppIdentifier* app, VetuKey key, VetuKeyEventType type, int keyid, bool consumed,
                  const void* user_data) {
    report(event(HAC_MSG_KEY_EVENT,
                 {app->appid, app->orgid, static_cast<int>(key), static_cast<int>(type), keyid, consumed}, user_data));
}

void on_dvb_status(VetuAppManagerUpdateAITStatus status, const void* user_data) {
    report(event(HAC_MSG_DVB_AIT_STATUS, {static_cast<int>(status)}, user_data));
}

void on_xml_status(VetuAppManagerUpdateAITStatus status, const void* user_data) {
    report(event(HAC_MSG_XML_AIT_STATUS, {static_cast<int>(status)}, user_data));
}

}  // namespace

void set_report_sink(ReportSink sink) {
    std::lock_guard<std::mutex> lock(g_sink_mutex);
    g_sink = sink ? std::make_shared<ReportSink>(std::move(sink)) : nullptr;
}

void report(const Json::Value& line) {
    std::shared_ptr<ReportSink> sink;
    {
        std::lock_guard<std::mutex> lock(g_sink_mutex);
        sink = g_sink;
    }
    if (sink) (*sink)(line);
}

int derived_error_code(int appid, int orgid, int generation) { return appid * 7 + orgid + generation * 1000000; }

int derived_teletext(int enabled) { return enabled * 2; }

// The URL's hash, so that two requests of the same length get apart answers.
VetuAppIdentifier derived_application(const std::string& url, int src) {
    return VetuAppIdentifier{static_cast<int>(digest(url) & 0x7FFFFFFFu), src};
}

VetuHacServerCallback recording_browser(int generation) {
    g_generation = generation;
    return VetuHacServerCallback{on_ait_ids,      on_ait_app_info, on_stop_app,  on_xml_ait_url,
                                 on_app_error_code, on_teletext,   on_create_bi_application,
                                 on_destroy_bi_application,        on_reset,     on_version,
                                 on_is_app_running};
}

void register_recording_manager() {
    Vetu_HAC_Client_RegisterCallback(on_app_state, kUserData);
    Vetu_HAC_Client_RegisterKeyEventCallback(on_key_event, kUserData);
    Vetu_HAC_Client_RegisterDvbUpdateCallback(on_dvb_status, kUserData);
    Vetu_HAC_Client_RegisterXmlUpdateCallback(on_xml_status, kUserData);
}

ReportLog::ReportLog() {
    set_report_sink([this](const Json::Value& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.push_back(line);
    });
}

ReportLog::~ReportLog() { set_report_sink(nullptr); }

std::vector<Json::Value> ReportLog::all() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
}

Json::Value ReportLog::next(std::chrono::milliseconds timeout) {
    Json::Value line;
    wait_until(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            if (taken_ >= reports_.size()) return false;
            line = reports_[taken_++];
            return true;
        },
        timeout);
    return line;
}

bool ReportLog::saw(const Json::Value& members, std::chrono::milliseconds timeout) {
    return wait_until(
        [&] {
            for (const Json::Value& line : all())
                if (has_members(line, members)) return true;
            return false;
        },
        timeout);
}

bool has_members(const Json::Value& line, const Json::Value& members) {
    if (!line.isObject()) return false;
    for (const std::string& name : members.getMemberNames())
        if (one_line(line[name]) != one_line(members[name])) return false;
    return true;
}

std::string one_line(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

Json::Value parse_json(const std::string& text) {
    Json::Value root;
    Json::Reader reader;
    if (!reader.parse(text, root)) return Json::Value();
    return root;
}

Json::Value as_read(const Json::Value& value) { return parse_json(one_line(value)); }

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

}  // namespace hac_test
