// hac manager: plays the application manager side of the HAC channel.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "hac_arguments.h"
#include "hac_catalogue.h"
#include "hac_commands.h"
#include "hac_message_records.h"
#include "hac_output.h"
#include "hac_process.h"
#include "hac_queue_state.h"
#include "vetu_hac.h"
#include "vetu_log.h"

namespace hac_tool {

namespace {

const char* const kManagerHelp =
    "Usage: hac manager [options] [COMMAND ...]\n"
    "\n"
    "Plays the application manager: starts the HAC client half, prints every\n"
    "notification of the browser and runs commands. Each argument is one command\n"
    "with its words (quote it: hac manager version 'stop 1 10'); without\n"
    "arguments, commands are read from standard input, one per line, until its\n"
    "end or 'quit'.\n"
    "\n"
    "Commands (one-way):\n"
    "  ids SVRID AITVER HASAIT        AIT identifiers (HASAIT 0|1)\n"
    "  ait FILE.json                  AIT application records from a JSON file\n"
    "  stop APPID ORGID               stop an application\n"
    "  xml URL CCID                   URL of an XML AIT\n"
    "  key KEY [TYPE [KEYID]]         a remote-control key (TYPE down|up|repeat)\n"
    "  destroy-bi APPID ORGID         destroy a broadcast-independent application\n"
    "  reset SVRID TYPE TIMEOUT       TYPE service-change|channel-change|standby|full\n"
    "Queries (wait for the browser's answer, at most --timeout seconds):\n"
    "  errcode APPID ORGID            an application's error code\n"
    "  teletext ENABLED               can a teletext application be shown\n"
    "  create-bi URL [SRC]            create a broadcast-independent application\n"
    "                                 (SRC url|xml-ait|broadcast, default url)\n"
    "  version                        the browser's version\n"
    "  running                        does an application run\n"
    "Enumeration values also take their numbers; KEY is a name (red, green,\n"
    "yellow, blue, up, down, left, right, enter, back, 0-9, play, pause, stop,\n"
    "fast-fwd, rewind, page-up, page-down, info, text) or, with #, a number (#7).\n"
    "\n"
    "FILE.json holds one record object or an array of them: the members of the\n"
    "record document (appid, orgid, visib, prior, ctrco, ipflag, isb, lang, name,\n"
    "iconloc, iconflag, appuse, serid, aitver, apptype, profile, profileversion),\n"
    "with \"tranprotocols\": [{\"pi\", \"bu\", \"ip\", \"pp\"}, ...], \"bd\": [\"...\"] and\n"
    "\"iso\": \"eng\"; the numbered form (pi0, bu0, bd0, iso0, trprn, bn) works too.\n"
    "A file over 1048576 bytes or nested deeper than 16 levels, or a record with\n"
    "a member the browser's decoder refuses (a string where a number is due, ...)\n"
    "is refused as bad usage, naming the record and member; nothing is sent.\n"
    "\n"
    "Options:\n"
    "  --timeout S     wait at most S seconds for each call (default 5;\n"
    "                  0.001 to 86400): the library's query time limit\n"
    "  --json          one JSON object per line\n"
    "  --log-control   start the log control thread (see 'hac log')\n"
    "  --help          this text\n"
    "\n"
    "Each command prints its status (0 ok, -1 failed, -3 refused or browser not\n"
    "running, -4 no memory, -5 no thread, -6 timed out) with a reason and, for queries,\n"
    "the values. A queue that another user made and this one may not read and\n"
    "write gives -3 with \"refused: permission denied on the request queue\n"
    "(0x92101071): owner ..., mode ...\"; a missing one \"browser not running:\n"
    "request queue does not exist\".\n"
    "\n"
    "Exit status: 0 every command returned 0; 1 a command returned non-zero or\n"
    "the client did not start; 2 bad usage (also a bad command on stdin, or a\n"
    "line there over 65536 bytes, which is skipped);\n"
    "3 no answer from the browser within --timeout (a request the browser had not\n"
    "taken yet is taken back off the request queue; the other commands still\n"
    "run); 130 (SIGINT) or 143 (SIGTERM) interrupted while a call was waiting.\n"
    "\n"
    "A manager that already reads the notification queue (a thread of it waits\n"
    "there, or it received last) is named in a warning on standard error: each\n"
    "notification then goes to one of the two.\n";

typedef std::vector<std::string> Words;

// A command checked and ready to run: call does the library call.
struct Prepared {
    std::string name;
    std::function<Record()> call;
};

typedef bool (*PrepareFn)(const Words& words, Prepared* out, std::string* error);

struct CommandSpec {
    const char* name;
    const char* usage;
    PrepareFn prepare;
};

// Why the client refused (-3): a queue that another user made and this one
// may not use, a queue that only the browser makes, or else a bad argument.
// Initialize opens the notification queue; every call the request queue and
// its reply queue.
std::string refusal_reason(bool initialising) {
    const std::vector<HacQueue> needed =
        initialising ? std::vector<HacQueue>{kHacQueues[2]} : std::vector<HacQueue>{kHacQueues[0], kHacQueues[1]};
    const std::string denied = first_denied_queue(needed);
    if (!denied.empty()) return "refused: " + denied;
    if (!initialising)
        for (const HacQueue& queue : needed)
            if (!queue_exists(queue.key)) return "browser not running: " + std::string(queue.name) + " queue does not exist";
    return vetu_status_text(VETU_ERR_REFUSED);
}

// The library's text for a status; a refusal is looked into further.
std::string client_status_reason(int status, bool initialising = false) {
    return status == VETU_ERR_REFUSED ? refusal_reason(initialising) : vetu_status_text(status);
}

Record result_record(const std::string& name, int status) {
    Record record("result", name, name);
    record.add("status", status).add("reason", client_status_reason(status));
    return record;
}

bool wrong_count(const Words& words, size_t low, size_t high, std::string* error) {
    const size_t given = words.size() - 1;
    if (given >= low && given <= high) return false;
    *error = "wrong number of arguments";
    return true;
}

bool parse_identifier(const Words& words, VetuAppIdentifier* app, std::string* error) {
    if (parse_int(words[1], &app->appid) && parse_int(words[2], &app->orgid)) return true;
    *error = "APPID and ORGID must be integers";
    return false;
}

bool prepare_ids(const Words& words, Prepared* out, std::string* error) {
    unsigned int svrid = 0, aitver = 0;
    int hasait = 0;
    if (wrong_count(words, 3, 3, error)) return false;
    if (!parse_unsigned(words[1], &svrid) || !parse_unsigned(words[2], &aitver) || !parse_truth(words[3], &hasait)) {
        *error = "SVRID and AITVER must be unsigned integers, HASAIT 0 or 1";
        return false;
    }
    out->call = [svrid, aitver, hasait] {
        return result_record("ids", Vetu_HAC_Client_SendAitIDs(svrid, aitver, hasait != 0));
    };
    return true;
}

// A record file larger than this is refused unread: no HAC message exceeds
// 16384 bytes, and a file sixty-four times that leaves room for any layout
// and comments around records that still fit in one.
const size_t kMaxRecordFileBytes = 1 << 20;
// Records nest four levels deep (array, record, tranprotocols, entry).
const int kMaxRecordFileDepth = 16;

// The record file's list of transport-protocol entries, each an object of
// the entry's members without their index.
const char* const kProtocolList = "tranprotocols";

// Turns the friendly members of a record file entry into the numbered members
// of the record document. False when a friendly member cannot be turned.
bool record_document(const Json::Value& entry, Json::Value* document, std::string* error) {
    *document = entry;
    if (entry.isMember(kProtocolList) && entry[kProtocolList].isArray()) {
        const Json::Value& protocols = entry[kProtocolList];
        document->removeMember(kProtocolList);
        (*document)[HAC_RECORD_TRANSPORT_COUNT] = (int)protocols.size();
        for (Json::ArrayIndex i = 0; i < protocols.size(); ++i) {
            const std::string n = std::to_string(i);
            if (!protocols[i].isObject()) {
                *error = kProtocolList + ("[" + n + "] is not an object");
                return false;
            }
            for (const HacEntryInt& field : kHacTransportInts)
                (*document)[field.stem + n] = protocols[i].get(field.stem, 0);
            for (const HacEntryString& field : kHacTransportStrings)
                (*document)[field.stem + n] = protocols[i].get(field.stem, "");
        }
    }
    if (entry.isMember(HAC_RECORD_BOUNDARY_STEM) && entry[HAC_RECORD_BOUNDARY_STEM].isArray()) {
        const Json::Value& boundaries = entry[HAC_RECORD_BOUNDARY_STEM];
        document->removeMember(HAC_RECORD_BOUNDARY_STEM);
        (*document)[HAC_RECORD_BOUNDARY_COUNT] = (int)boundaries.size();
        for (Json::ArrayIndex i = 0; i < boundaries.size(); ++i)
            (*document)[HAC_RECORD_BOUNDARY_STEM + std::to_string(i)] = boundaries[i];
    }
    if (entry.isMember(HAC_RECORD_ISO_STEM) && entry[HAC_RECORD_ISO_STEM].isString()) {
        const std::string iso = entry[HAC_RECORD_ISO_STEM].asString();
        document->removeMember(HAC_RECORD_ISO_STEM);
        for (int i = 0; i < 3; ++i)
            (*document)[HAC_RECORD_ISO_STEM + std::to_string(i)] = i < (int)iso.size() ? (unsigned char)iso[i] : 0;
    }
    if (entry.isMember(HAC_RECORD_SERVICE_BOUND) && entry[HAC_RECORD_SERVICE_BOUND].isBool())
        (*document)[HAC_RECORD_SERVICE_BOUND] = entry[HAC_RECORD_SERVICE_BOUND].asBool() ? 1 : 0;
    return true;
}

bool decodes(const Json::Value& document) {
    VetuAITAppInfo app;
    return aitappinfo_unpacket(document, &app) == 0;
}

// The member the decoder refuses, in a document it refuses. With the two
// counts first, which decide which numbered members are read, a document made
// of the first k members fails from the first refused member on, so halving
// finds it in a few decodes.
std::string refused_member(const Json::Value& document) {
    std::vector<std::string> names;
    const char* const counts[] = {HAC_RECORD_TRANSPORT_COUNT, HAC_RECORD_BOUNDARY_COUNT};
    for (const char* count : counts)
        if (document.isMember(count)) names.push_back(count);
    for (const std::string& name : document.getMemberNames())
        if (name != counts[0] && name != counts[1]) names.push_back(name);
    size_t fine = 0, refused = names.size();
    while (refused - fine > 1) {
        const size_t middle = fine + (refused - fine) / 2;
        Json::Value prefix(Json::objectValue);
        for (size_t i = 0; i < middle; ++i) prefix[names[i]] = document[names[i]];
        (decodes(prefix) ? fine : refused) = middle;
    }
    return refused > 0 ? names[refused - 1] : std::string();
}

bool is_transport_stem(const std::string& stem) {
    for (const HacEntryInt& field : kHacTransportInts)
        if (stem == field.stem) return true;
    for (const HacEntryString& field : kHacTransportStrings)
        if (stem == field.stem) return true;
    return false;
}

// The name a numbered member of the document has in the file entry.
std::string member_in_entry(const Json::Value& entry, const std::string& member) {
    const size_t digits = member.find_first_of("0123456789");
    if (digits == std::string::npos || member.find_first_not_of("0123456789", digits) != std::string::npos)
        return member;
    const std::string stem = member.substr(0, digits), index = member.substr(digits);
    if (is_transport_stem(stem) && entry[kProtocolList].isArray())
        return kProtocolList + ("[" + index + "]." + stem);
    if (stem == HAC_RECORD_BOUNDARY_STEM && entry[HAC_RECORD_BOUNDARY_STEM].isArray()) return stem + "[" + index + "]";
    return member;
}

std::string short_json(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    std::string text = Json::writeString(builder, value);
    if (text.size() > 40) text = text.substr(0, 37) + "...";
    return text;
}

bool read_record_file(const std::string& path, std::string* text, std::string* error) {
    if (read_small_file(path, kMaxRecordFileBytes, text, error)) return true;
    if (error->find(" is over ") != std::string::npos)
        *error += ": its records cannot fit in one message of at most 16384 bytes";
    return false;
}

bool parse_record_file(const std::string& path, const std::string& text, Json::Value* root, std::string* error) {
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = kMaxRecordFileDepth;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string parse_errors;
    try {
        if (reader->parse(text.data(), text.data() + text.size(), root, &parse_errors)) return true;
        *error = path + " is not JSON: " + parse_errors;
    } catch (const Json::RuntimeError&) {
        // The only error jsoncpp throws while parsing instead of reporting it.
        *error = path + " nests deeper than " + std::to_string(kMaxRecordFileDepth) + " levels: it holds no records";
    } catch (const std::exception& e) {
        *error = path + " cannot be parsed: " + e.what();
    }
    return false;
}

// Decodes one entry of the file as the browser would; a member the decoder
// refuses would otherwise leave the whole record zero or empty.
bool decode_entry(const Json::Value& entry, VetuAITAppInfo* app, std::string* error) {
    Json::Value document;
    if (!entry.isObject()) {
        *error = "not an object";
        return false;
    }
    if (!record_document(entry, &document, error)) return false;
    const int status = aitappinfo_unpacket(document, app);
    if (status == VETU_OK) return true;
    if (status == VETU_ERR_NO_MEMORY) {
        *error = vetu_status_text(status);
        return false;
    }
    const std::string member = refused_member(document);
    *error = "member \"" + member_in_entry(entry, member) + "\" has a kind the record does not take (" +
             short_json(document[member]) + ")";
    return false;
}

bool load_ait_file(const std::string& path, std::vector<VetuAITAppInfo>* apps, std::string* error) {
    std::string text;
    Json::Value root;
    if (!read_record_file(path, &text, error) || !parse_record_file(path, text, &root, error)) return false;
    if (root.isObject()) {
        Json::Value list(Json::arrayValue);
        list.append(root);
        root = list;
    }
    if (!root.isArray() || root.empty()) {
        *error = path + " must hold a record object or a non-empty array of them";
        return false;
    }
    for (Json::ArrayIndex i = 0; i < root.size(); ++i) {
        VetuAITAppInfo app = VetuAITAppInfo();
        if (!decode_entry(root[i], &app, error)) {
            *error = path + ": record " + std::to_string(i) + ": " + *error;
            return false;
        }
        apps->push_back(app);
    }
    return true;
}

bool prepare_ait(const Words& words, Prepared* out, std::string* error) {
    if (wrong_count(words, 1, 1, error)) return false;
    auto apps = std::make_shared<std::vector<VetuAITAppInfo>>();
    if (!load_ait_file(words[1], apps.get(), error)) return false;
    out->call = [apps] {
        std::vector<VetuAITAppInfo*> pointers;
        for (VetuAITAppInfo& app : *apps) pointers.push_back(&app);
        const int status = Vetu_HAC_Client_SendAitAppInfo((int)pointers.size(), pointers.data());
        Record record = result_record("ait", status);
        return add_members(&record, HAC_MSG_SEND_AIT_APP_INFO, {(int)pointers.size()});
    };
    return true;
}

bool prepare_stop(const Words& words, Prepared* out, std::string* error) {
    VetuAppIdentifier app = {0, 0};
    if (wrong_count(words, 2, 2, error) || !parse_identifier(words, &app, error)) return false;
    out->call = [app] { return result_record("stop", Vetu_HAC_Client_StopApp(&app)); };
    return true;
}

bool prepare_xml(const Words& words, Prepared* out, std::string* error) {
    if (wrong_count(words, 2, 2, error)) return false;
    const std::string xml = words[1], ccid = words[2];
    out->call = [xml, ccid] {
        return result_record("xml", Vetu_HAC_Client_SendXmlAitUrl(xml.c_str(), (int)xml.size(), ccid.c_str(),
                                                                   (int)ccid.size()));
    };
    return true;
}

bool parse_key(const std::string& text, int* key) {
    if (text.size() > 1 && text[0] == '#') return parse_int(text.substr(1), key);
    for (const NamedValue& named : kKeyNames) {
        if (text == named.name) {
            *key = named.value;
            return true;
        }
    }
    return false;
}

bool prepare_key(const Words& words, Prepared* out, std::string* error) {
    int key = 0, type = VETU_KEY_EVENT_DOWN, keyid = 0;
    if (wrong_count(words, 1, 3, error)) return false;
    if (!parse_key(words[1], &key)) {
        *error = "unknown key '" + words[1] + "' (a key name or #NUMBER)";
        return false;
    }
    if ((words.size() > 2 && !parse_named(words[2], kKeyEventTypeNames, &type)) ||
        (words.size() > 3 && !parse_int(words[3], &keyid))) {
        *error = "TYPE must be " + names_of(kKeyEventTypeNames) + " or a number, KEYID an integer";
        return false;
    }
    out->call = [key, type, keyid] {
        return result_record("key", Vetu_HAC_Client_SendKey((VetuKey)key, (VetuKeyEventType)type, keyid));
    };
    return true;
}

bool prepare_destroy_bi(const Words& words, Prepared* out, std::string* error) {
    VetuAppIdentifier app = {0, 0};
    if (wrong_count(words, 2, 2, error) || !parse_identifier(words, &app, error)) return false;
    out->call = [app] { return result_record("destroy-bi", Vetu_HAC_Client_DestroyBIApplication(&app)); };
    return true;
}

bool prepare_reset(const Words& words, Prepared* out, std::string* error) {
    int svrid = 0, type = 0, timeout = 0;
    if (wrong_count(words, 3, 3, error)) return false;
    if (!parse_int(words[1], &svrid) || !parse_named(words[2], kResetTypeNames, &type) ||
        !parse_int(words[3], &timeout)) {
        *error = "SVRID and TIMEOUT must be integers, TYPE " + names_of(kResetTypeNames) + " or a number";
        return false;
    }
    out->call = [svrid, type, timeout] {
        return result_record("reset", Vetu_HAC_Client_Reset(svrid, (VetuApmResetType)type, timeout));
    };
    return true;
}

bool prepare_errcode(const Words& words, Prepared* out, std::string* error) {
    VetuAppIdentifier app = {0, 0};
    if (wrong_count(words, 2, 2, error) || !parse_identifier(words, &app, error)) return false;
    out->call = [app] {
        int errcode = 0;
        const int status = Vetu_HAC_Client_GetAppErrorCode(&app, &errcode);
        Record record = result_record("errcode", status);
        if (status == 0) add_members(&record, HAC_MSG_GET_APP_ERROR_CODE_REPLY, {errcode});
        return record;
    };
    return true;
}

bool prepare_teletext(const Words& words, Prepared* out, std::string* error) {
    int enabled = 0;
    if (wrong_count(words, 1, 1, error)) return false;
    if (!parse_int(words[1], &enabled)) {
        *error = "ENABLED must be an integer";
        return false;
    }
    out->call = [enabled] {
        int teletext = 0;
        const int status = Vetu_HAC_Client_ShowTeleTextApp(enabled, &teletext);
        Record record = result_record("teletext", status);
        if (status == 0) add_members(&record, HAC_MSG_SHOW_TELETEXT_APP_REPLY, {teletext});
        return record;
    };
    return true;
}

bool prepare_create_bi(const Words& words, Prepared* out, std::string* error) {
    int src = VETU_APP_SOURCE_URL;
    if (wrong_count(words, 1, 2, error)) return false;
    if (words.size() > 2 && !parse_named(words[2], kAppSourceNames, &src)) {
        *error = "SRC must be " + names_of(kAppSourceNames) + " or a number";
        return false;
    }
    const std::string url = words[1];
    out->call = [url, src] {
        VetuAppIdentifier app = {0, 0};
        const int status =
            Vetu_HAC_Client_CreateBIApplication(url.c_str(), (int)url.size(), &app, (VetuApplicationSource)src);
        Record record = result_record("create-bi", status);
        if (status == 0) add_members(&record, HAC_MSG_CREATE_BI_APPLICATION_REPLY, {app.appid, app.orgid});
        return record;
    };
    return true;
}

bool prepare_version(const Words& words, Prepared* out, std::string* error) {
    if (wrong_count(words, 0, 0, error)) return false;
    out->call = [] {
        int major = 0, minor = 0, number = 0;
        const int status = Vetu_HAC_Client_GetVersion(&major, &minor, &number);
        Record record = result_record("version", status);
        if (status == 0) add_members(&record, HAC_MSG_GET_VERSION_REPLY, {major, minor, number});
        return record;
    };
    return true;
}

bool prepare_running(const Words& words, Prepared* out, std::string* error) {
    if (wrong_count(words, 0, 0, error)) return false;
    out->call = [] {
        int isrunning = 0;
        const int status = Vetu_HAC_Client_IsAppRunning(&isrunning);
        Record record = result_record("running", status);
        if (status == 0) add_members(&record, HAC_MSG_IS_APP_RUNNING_REPLY, {isrunning});
        return record;
    };
    return true;
}

const CommandSpec kCommands[] = {
    {"ids", "ids SVRID AITVER HASAIT", prepare_ids},
    {"ait", "ait FILE.json", prepare_ait},
    {"stop", "stop APPID ORGID", prepare_stop},
    {"xml", "xml URL CCID", prepare_xml},
    {"key", "key KEY [TYPE [KEYID]]", prepare_key},
    {"destroy-bi", "destroy-bi APPID ORGID", prepare_destroy_bi},
    {"reset", "reset SVRID TYPE TIMEOUT", prepare_reset},
    {"errcode", "errcode APPID ORGID", prepare_errcode},
    {"teletext", "teletext ENABLED", prepare_teletext},
    {"create-bi", "create-bi URL [SRC]", prepare_create_bi},
    {"version", "version", prepare_version},
    {"running", "running", prepare_running},
};

// Checks one command line; the error names the command and its usage.
bool prepare_command(const std::string& line, Prepared* out, std::string* error) {
    Words words;
    if (!split_words(line, &words, error)) return false;
    if (words.empty()) {
        *error = "empty command";
        return false;
    }
    for (const CommandSpec& spec : kCommands) {
        if (words[0] != spec.name) continue;
        out->name = spec.name;
        if (spec.prepare(words, out, error)) return true;
        *error = *error + " (usage: " + spec.usage + ")";
        return false;
    }
    *error = "unknown command '" + words[0] + "' (see 'hac manager --help')";
    return false;
}

// ---- the four notification callbacks ----

void on_app_state(const VetuAppIdentifier* app, int state, const void*) {
    emit(event_record(HAC_MSG_APP_STATE, {app->appid, app->orgid, state}));
}

// The tool prints the flag the wire calls "consum" as "consumed".
void on_key_event(const VetuAppIdentifier* app, VetuKey key, VetuKeyEventType type, int keyid, bool consumed,
                  const void*) {
    emit(event_record(HAC_MSG_KEY_EVENT, {app->appid, app->orgid, (int)key, (int)type, keyid})
             .add("consumed", consumed));
}

void on_dvb_update(VetuAppManagerUpdateAITStatus status, const void*) {
    emit(event_record(HAC_MSG_DVB_AIT_STATUS, {(int)status}));
}

void on_xml_update(VetuAppManagerUpdateAITStatus status, const void*) {
    emit(event_record(HAC_MSG_XML_AIT_STATUS, {(int)status}));
}

// ---- running commands ----

// Held around each library call, so that a stop request can tell whether a
// call is still waiting for the browser.
std::timed_mutex g_call_mutex;
bool g_stopping = false;  // under g_call_mutex
double g_timeout_seconds = 5;
// Written by the command thread before request_finish; a signal carries no
// ordering that thread checkers see, hence atomic.
std::atomic<int> g_exit_status(EXIT_OK);

int status_of(const Record& result) {
    for (const auto& field : result.fields)
        if (field.first == "status") return field.second.asInt();
    return 0;
}

// A query that reached the time limit: the library has taken its request
// back off the request queue if the browser had not taken it yet, and an
// answer that comes later is thrown away.
void emit_time_out(const std::string& name) {
    Record timeout("timeout", name, name + " timed out");
    timeout.add("message", "no answer from the browser").add("timeout", g_timeout_seconds);
    timeout.add("hint", "a request the browser had not taken yet was taken back off the request queue; "
                        "one it had taken is answered later, and that answer thrown away");
    emit(timeout);
}

// Runs a command and prints its result; returns its exit status: the
// library's time limit is --timeout.
int run_prepared(const Prepared& command) {
    std::lock_guard<std::timed_mutex> lock(g_call_mutex);
    if (g_stopping) return EXIT_OK;
    const Record result = command.call();
    const int status = status_of(result);
    if (status == VETU_ERR_TIMED_OUT) {
        emit_time_out(command.name);
        return EXIT_NO_ANSWER;
    }
    emit(result);
    return status == 0 ? EXIT_OK : EXIT_FAILED;
}

// A time-out outweighs a refusal or failure.
int worse(int a, int b) {
    if (a == EXIT_NO_ANSWER || b == EXIT_NO_ANSWER) return EXIT_NO_ANSWER;
    return a != EXIT_OK ? a : b;
}

void emit_command_error(const std::string& message) { emit(error_record(message)); }

void run_argument_commands(std::vector<Prepared> commands) {
    int worst = EXIT_OK;
    for (const Prepared& command : commands) worst = worse(worst, run_prepared(command));
    g_exit_status = worst;
    request_finish();
}

void run_stdin_commands() {
    LineReader reader(STDIN_FILENO);
    std::string line, error;
    int worst = EXIT_OK;
    for (LineReader::Result read; (read = reader.next(&line)) != LineReader::END;) {
        if (read == LineReader::TOO_LONG) {
            emit_command_error(too_long_line_message());
            worst = EXIT_USAGE;
            continue;
        }
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        if (line.substr(start) == "quit") break;
        Prepared command;
        if (!prepare_command(line, &command, &error)) {
            emit_command_error(error);
            worst = EXIT_USAGE;
            continue;
        }
        worst = worse(worst, run_prepared(command));
    }
    g_exit_status = worst;
    request_finish();
}

void register_callbacks() {
    Vetu_HAC_Client_RegisterCallback(on_app_state, nullptr);
    Vetu_HAC_Client_RegisterKeyEventCallback(on_key_event, nullptr);
    Vetu_HAC_Client_RegisterDvbUpdateCallback(on_dvb_update, nullptr);
    Vetu_HAC_Client_RegisterXmlUpdateCallback(on_xml_update, nullptr);
}

// After a signal: stop at once if a call is still waiting for the browser,
// since Finalize would wait for that call.
void stop_after_signal(int sig) {
    if (!g_call_mutex.try_lock_for(std::chrono::milliseconds(500))) {
        Record interrupted("interrupted", "", "manager interrupted");
        emit(interrupted.add("by", signal_label(sig)).add("message", "a call was still waiting for the browser"));
        finish(interrupted_status(sig));
    }
    g_stopping = true;
    g_call_mutex.unlock();
    g_exit_status = EXIT_OK;
}

}  // namespace

int manager_main(const std::vector<std::string>& args) {
    std::string timeout, error;
    bool json = false, log_control = false;
    std::vector<std::string> lines;
    const std::vector<Option> options = {{"--timeout", &timeout, nullptr}, {"--json", nullptr, &json},
                                         {"--log-control", nullptr, &log_control}};
    const int parsed = parse_command_line("manager", kManagerHelp, args, options, &lines);
    if (parsed != kGoOn) return parsed;
    if (!timeout.empty() && !parse_seconds(timeout, &g_timeout_seconds))
        return usage_error("manager", "--timeout wants a positive number of seconds (" + std::string(kSecondsRange) +
                                          "), got '" + timeout + "'");
    std::vector<Prepared> commands;
    for (const std::string& line : lines) {
        Prepared command;
        if (!prepare_command(line, &command, &error)) return usage_error("manager", error);
        commands.push_back(command);
    }

    set_output("manager", json);
    block_stop_signals();
    warn_if_queue_served("manager", kHacQueues[2],
                         "each notification goes to one of the two managers, and a query of either may "
                         "take the other's answer, which is then lost");
    if (log_control) vetu_log_initialize(1);
    register_callbacks();
    const int status = Vetu_HAC_Client_Initialize();
    Vetu_HAC_Client_SetQueryTimeout(static_cast<int>(g_timeout_seconds * 1000 + 0.5));
    if (status != 0) {
        Record failure("result", "initialize", "initialize");
        emit(failure.add("status", status).add("reason", client_status_reason(status, true)));
        Vetu_HAC_Client_Finalize();
        finish(EXIT_FAILED);
    }
    warn_if_queue_holds_fragments(kHacQueues[1], "a query may take one of them as its answer");

    if (commands.empty()) {
        Record ready("ready", "", "manager ready");
        emit(ready.add("pid", (int)getpid()).add("input", "commands from standard input, one per line"));
        std::thread(run_stdin_commands).detach();
    } else {
        std::thread(run_argument_commands, commands).detach();
    }
    const int sig = wait_for_signal();
    if (sig != SIGUSR1) stop_after_signal(sig);
    Vetu_HAC_Client_Finalize();
    finish(g_exit_status);
}

}  // namespace hac_tool
