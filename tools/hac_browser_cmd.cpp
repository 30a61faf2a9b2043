// hac browser: plays the browser side of the HAC channel.
#include <unistd.h>

#include <thread>

#include "hac_arguments.h"
#include "hac_commands.h"
#include "hac_message_records.h"
#include "hac_output.h"
#include "hac_process.h"
#include "hac_queue_state.h"
#include "vetu_hac.h"
#include "vetu_log.h"

namespace hac_tool {

namespace {

const char* const kBrowserHelp =
    "Usage: hac browser [options]\n"
    "\n"
    "Plays the browser: starts the HAC server half, prints every request the\n"
    "application manager sends (all arguments, AIT records field by field) and\n"
    "answers the queries with the values below.\n"
    "\n"
    "Options:\n"
    "  --version X.Y.Z     answer to version            (default 1.0.0)\n"
    "  --errcode N         answer to errcode            (default 0)\n"
    "  --running 0|1       answer to running            (default 1)\n"
    "  --teletext 0|1      answer to teletext           (default 1)\n"
    "  --bi-app APPID:ORGID  identifier create-bi gives (default 1:1)\n"
    "  --json              one JSON object per line\n"
    "  --log-control       start the log control thread (see 'hac log')\n"
    "  --quit-on-eof       stop at the end of standard input\n"
    "  --help              this text\n"
    "\n"
    "Standard input takes notifications for the application manager, one per line:\n"
    "  state APPID ORGID STATE   STATE: loaded|started|stopped|load-error|killed or a number\n"
    "  dvb STATUS                DVB AIT status: ok|error|no-application|unchanged or a number\n"
    "  xml STATUS                XML AIT status, as dvb\n"
    "  quit                      stop the browser\n"
    "A line over 65536 bytes is skipped with an error record.\n"
    "\n"
    "The browser runs until SIGINT or SIGTERM (or quit). The end of standard input\n"
    "does not stop it, so that it can run in the background with </dev/null;\n"
    "--quit-on-eof makes it stop there. It stops with Finalize and exit status 0.\n"
    "\n"
    "A browser that already serves the request queue (a thread of it waits there,\n"
    "or it received last) is named in a warning on standard error: each request\n"
    "then goes to one of the two.\n"
    "\n"
    "Exit status: 0 stopped cleanly; 1 the request or reply queue could not be\n"
    "created, or another user made it and this one may not read and write it\n"
    "(\"permission denied on the request queue (0x92101071): owner ..., mode ...\");\n"
    "2 bad usage.\n";

struct BrowserAnswers {
    int major, minor, number;
    int errcode, running, teletext;
    VetuAppIdentifier bi_app;
};

// Read-only once the server runs.
BrowserAnswers g_answers = {1, 0, 0, 0, 1, 1, {1, 1}};

// The values the browser answers a query with, under the names of its reply.
Record answer_record(unsigned int query, const std::vector<Json::Value>& values) {
    Record answer("", "", "answer");
    return add_members(&answer, query + 1, values);
}

// ---- the callback table: print the request, fill the answer ----

void on_send_ait_ids(int svrid, int aitver, bool hasait) {
    emit(request_record(HAC_MSG_SEND_AIT_IDS, {svrid, aitver, hasait}));
}

void on_send_ait_app_info(int num, VetuAITAppInfo** apps) {
    Record record = request_record(HAC_MSG_SEND_AIT_APP_INFO, {num});
    std::vector<Record> items;
    for (int i = 0; i < num; ++i) items.push_back(ait_app_record(*apps[i]));
    record.add_list("app", items);
    emit(record);
}

void on_stop_app(const VetuAppIdentifier* app) { emit(request_record(HAC_MSG_STOP_APP, {app->appid, app->orgid})); }

void on_send_xml_ait_url(const std::string& xml, const std::string& ccid) {
    emit(request_record(HAC_MSG_SEND_XML_AIT_URL, {xml, ccid}));
}

void on_get_app_error_code(const VetuAppIdentifier* app, int* errcode) {
    *errcode = g_answers.errcode;
    emit(request_record(HAC_MSG_GET_APP_ERROR_CODE, {app->appid, app->orgid})
             .add_child("answer", answer_record(HAC_MSG_GET_APP_ERROR_CODE, {*errcode})));
}

void on_show_teletext_app(int enabled, int* teletext) {
    *teletext = g_answers.teletext;
    emit(request_record(HAC_MSG_SHOW_TELETEXT_APP, {enabled})
             .add_child("answer", answer_record(HAC_MSG_SHOW_TELETEXT_APP, {*teletext})));
}

void on_create_bi_application(const std::string& url, VetuAppIdentifier* app, int src) {
    *app = g_answers.bi_app;
    emit(request_record(HAC_MSG_CREATE_BI_APPLICATION, {url, src})
             .add_child("answer", answer_record(HAC_MSG_CREATE_BI_APPLICATION, {app->appid, app->orgid})));
}

void on_destroy_bi_application(const VetuAppIdentifier* app) {
    emit(request_record(HAC_MSG_DESTROY_BI_APPLICATION, {app->appid, app->orgid}));
}

void on_reset(int svrid, int type, int timeout) { emit(request_record(HAC_MSG_RESET, {svrid, type, timeout})); }

void on_get_version(int* major, int* minor, int* number) {
    *major = g_answers.major;
    *minor = g_answers.minor;
    *number = g_answers.number;
    emit(request_record(HAC_MSG_GET_VERSION, {})
             .add_child("answer", answer_record(HAC_MSG_GET_VERSION, {*major, *minor, *number})));
}

void on_is_app_running(int* isrunning) {
    *isrunning = g_answers.running;
    emit(request_record(HAC_MSG_IS_APP_RUNNING, {})
             .add_child("answer", answer_record(HAC_MSG_IS_APP_RUNNING, {*isrunning})));
}

VetuHacServerCallback callback_table() {
    VetuHacServerCallback table;
    table.SendAitIDs = on_send_ait_ids;
    table.SendAitAppInfo = on_send_ait_app_info;
    table.StopApp = on_stop_app;
    table.SendXmlAitUrl = on_send_xml_ait_url;
    table.GetAppErrorCode = on_get_app_error_code;
    table.ShowTeleTextApp = on_show_teletext_app;
    table.CreateBIApplication = on_create_bi_application;
    table.DestroyBIApplication = on_destroy_bi_application;
    table.Reset = on_reset;
    table.GetVersion = on_get_version;
    table.IsAppRunning = on_is_app_running;
    return table;
}

// ---- notifications from standard input ----

// The library's text for a status; a refusal is looked into further.
std::string notification_reason(int status) {
    if (status != VETU_ERR_REFUSED) return vetu_status_text(status);
    const std::string denied = first_denied_queue({kHacQueues[2]});
    if (!denied.empty()) return "refused: " + denied;
    return queue_exists(HAC_NOTIFICATION_QUEUE_KEY) ? "refused: server not initialised"
                                                    : "manager not running: notification queue does not exist";
}

void emit_input_error(const std::string& message) { emit(error_record(message)); }

void send_state(const std::vector<std::string>& words) {
    int appid = 0, orgid = 0, state = 0;
    if (words.size() != 4 || !parse_int(words[1], &appid) || !parse_int(words[2], &orgid) ||
        !parse_named(words[3], kAppEventNames, &state)) {
        emit_input_error("usage: state APPID ORGID STATE (STATE: " + names_of(kAppEventNames) + " or a number)");
        return;
    }
    const int status = Vetu_HAC_Server_SendAppState(appid, orgid, (VetuAppManagerClientEvent)state);
    Record record("notification", "state", "notify state");
    add_members(&record, HAC_MSG_APP_STATE, {appid, orgid, state});
    emit(record.add("status", status).add("reason", notification_reason(status)));
}

void send_ait_status(const std::vector<std::string>& words) {
    const bool dvb = words[0] == "dvb";
    int ait_status = 0;
    if (words.size() != 2 || !parse_named(words[1], kAitStatusNames, &ait_status)) {
        emit_input_error("usage: " + words[0] + " STATUS (STATUS: " + names_of(kAitStatusNames) + " or a number)");
        return;
    }
    const VetuAppManagerUpdateAITStatus value = (VetuAppManagerUpdateAITStatus)ait_status;
    const int status = dvb ? Vetu_HAC_Server_UpdateDvbAitStatus(value) : Vetu_HAC_Server_UpdateXmlAitStatus(value);
    Record record("notification", words[0], "notify " + words[0]);
    record.add("ait_status", ait_status);
    emit(record.add("status", status).add("reason", notification_reason(status)));
}

void read_notifications(bool quit_on_eof) {
    LineReader reader(STDIN_FILENO);
    std::string line, error;
    std::vector<std::string> words;
    for (LineReader::Result read; (read = reader.next(&line)) != LineReader::END;) {
        if (read == LineReader::TOO_LONG) {
            emit_input_error(too_long_line_message());
            continue;
        }
        if (!split_words(line, &words, &error)) {
            emit_input_error(error);
            continue;
        }
        if (words.empty() || words[0][0] == '#') continue;
        if (words[0] == "quit") {
            request_finish();
            return;
        }
        if (words[0] == "state") {
            send_state(words);
        } else if (words[0] == "dvb" || words[0] == "xml") {
            send_ait_status(words);
        } else {
            emit_input_error("unknown notification '" + words[0] + "' (state, dvb, xml or quit)");
        }
    }
    if (quit_on_eof) request_finish();
}

bool parse_version(const std::string& text, BrowserAnswers* answers) {
    const size_t first = text.find('.');
    const size_t second = first == std::string::npos ? first : text.find('.', first + 1);
    if (second == std::string::npos) return false;
    return parse_int(text.substr(0, first), &answers->major) &&
           parse_int(text.substr(first + 1, second - first - 1), &answers->minor) &&
           parse_int(text.substr(second + 1), &answers->number);
}

bool parse_bi_app(const std::string& text, VetuAppIdentifier* app) {
    const size_t colon = text.find(':');
    return colon != std::string::npos && parse_int(text.substr(0, colon), &app->appid) &&
           parse_int(text.substr(colon + 1), &app->orgid);
}

// Fills g_answers; returns an error message, empty when all is well.
std::string parse_answers(const std::string& version, const std::string& errcode, const std::string& running,
                          const std::string& teletext, const std::string& bi_app) {
    if (!version.empty() && !parse_version(version, &g_answers)) return "--version wants X.Y.Z, got '" + version + "'";
    if (!errcode.empty() && !parse_int(errcode, &g_answers.errcode)) return "--errcode wants an integer";
    if (!running.empty() && !parse_truth(running, &g_answers.running)) return "--running wants 0 or 1";
    if (!teletext.empty() && !parse_truth(teletext, &g_answers.teletext)) return "--teletext wants 0 or 1";
    if (!bi_app.empty() && !parse_bi_app(bi_app, &g_answers.bi_app)) return "--bi-app wants APPID:ORGID";
    return "";
}

// Why the server cannot serve: a queue it could not create, or one that
// another user made and that it may not read and write. Empty when it serves.
std::string server_queue_problem() {
    for (const HacQueue& queue : {kHacQueues[0], kHacQueues[1]}) {
        const QueueState state = queue_state(queue.key);
        if (!state.exists) return "the " + std::string(queue.name) + " queue could not be created";
        if (!state.usable) return denied_queue_text(queue, state) + "; the browser cannot serve";
    }
    return "";
}

Record ready_record() {
    Record ready("ready", "", "browser ready");
    ready.add("pid", (int)getpid());
    ready.add("version", std::to_string(g_answers.major) + "." + std::to_string(g_answers.minor) + "." +
                             std::to_string(g_answers.number));
    ready.add("errcode", g_answers.errcode).add("running", g_answers.running).add("teletext", g_answers.teletext);
    ready.add("bi_app", std::to_string(g_answers.bi_app.appid) + ":" + std::to_string(g_answers.bi_app.orgid));
    return ready;
}

}  // namespace

int browser_main(const std::vector<std::string>& args) {
    std::string version, errcode, running, teletext, bi_app, error;
    bool json = false, log_control = false, quit_on_eof = false;
    const std::vector<Option> options = {
        {"--version", &version, nullptr},   {"--errcode", &errcode, nullptr},  {"--running", &running, nullptr},
        {"--teletext", &teletext, nullptr}, {"--bi-app", &bi_app, nullptr},    {"--json", nullptr, &json},
        {"--log-control", nullptr, &log_control}, {"--quit-on-eof", nullptr, &quit_on_eof}};
    const int parsed = parse_command_line("browser", kBrowserHelp, args, options);
    if (parsed != kGoOn) return parsed;
    error = parse_answers(version, errcode, running, teletext, bi_app);
    if (!error.empty()) return usage_error("browser", error);

    set_output("browser", json);
    block_stop_signals();
    warn_if_queue_served("browser", kHacQueues[0],
                         "each request goes to one of the two browsers, and the other never sees it");
    if (log_control) vetu_log_initialize(1);
    Vetu_HAC_Server_RegisterCallback(callback_table(), nullptr);
    Vetu_HAC_Server_Initialize();
    // Initialize returns 0 also when it could not open the queues, so the
    // queues themselves tell whether the server serves.
    error = server_queue_problem();
    if (!error.empty()) {
        emit(error_record(error));
        Vetu_HAC_Server_Finalize();
        finish(EXIT_FAILED);
    }
    warn_if_queue_holds_fragments(kHacQueues[0], "they are served now, as requests of an earlier manager");
    emit(ready_record());

    std::thread(read_notifications, quit_on_eof).detach();
    const int sig = wait_for_signal();
    Vetu_HAC_Server_Finalize();
    Record stopped("stopped", "", "browser stopped");
    emit(stopped.add("by", signal_label(sig)));
    finish(EXIT_OK);
}

}  // namespace hac_tool
