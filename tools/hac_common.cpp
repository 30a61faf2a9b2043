#include "hac_tool.h"

#include <ctype.h>
#include <errno.h>
#include <pthread.h>
#include <pwd.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "hac_message_type.h"

namespace hac_tool {

// ---- output ----

namespace {

std::mutex g_output_mutex;
std::string g_side = "hac";
bool g_json = false;

std::string compact_json(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

std::string human_value(const Json::Value& value) {
    if (value.isBool()) return value.asBool() ? "true" : "false";
    if (value.isIntegral()) return value.isUInt64() ? std::to_string(value.asUInt64())
                                                    : std::to_string(value.asInt64());
    return compact_json(value);  // strings quoted, arrays and objects compact
}

Json::Value record_json(const Record& record) {
    Json::Value object(Json::objectValue);
    for (const auto& field : record.fields) object[field.first] = field.second;
    for (const auto& child : record.children) object[child.first] = record_json(child.second);
    for (const auto& list : record.lists) {
        Json::Value items(Json::arrayValue);
        for (const Record& item : list.second) items.append(record_json(item));
        object[list.first] = items;
    }
    return object;
}

void render_human(const Record& record, int indent, std::string* out) {
    const std::string pad(indent + 2, ' ');
    *out += record.title;
    if (record.block) {
        *out += ":";
        for (const auto& field : record.fields) *out += "\n" + pad + field.first + ": " + human_value(field.second);
    } else if (!record.fields.empty()) {
        *out += ":";
        for (const auto& field : record.fields) *out += " " + field.first + "=" + human_value(field.second);
    }
    for (const auto& child : record.children) {
        *out += "\n" + pad;
        render_human(child.second, indent + 2, out);
    }
    for (const auto& list : record.lists) {
        for (const Record& item : list.second) {
            *out += "\n" + pad;
            render_human(item, indent + 2, out);
        }
    }
}

}  // namespace

Record::Record(const std::string& kind_, const std::string& name_, const std::string& title_)
    : kind(kind_), name(name_), title(title_), block(false) {}

Record& Record::add(const std::string& key, const Json::Value& value) {
    fields.emplace_back(key, value);
    return *this;
}

Record& Record::add_child(const std::string& key, Record child) {
    if (child.title.empty()) child.title = key;
    children.emplace_back(key, std::move(child));
    return *this;
}

Record& Record::add_list(const std::string& key, std::vector<Record> items) {
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i].title.empty()) items[i].title = key + " " + std::to_string(i);
    lists.emplace_back(key, std::move(items));
    return *this;
}

void set_output(const std::string& side, bool json) {
    g_side = side;
    g_json = json;
    // Library log lines go to stdout too; line buffering keeps both in order
    // and lets a reader on a pipe see each line when it is written.
    setvbuf(stdout, nullptr, _IOLBF, 0);
}

void emit(const Record& record) {
    std::string line;
    if (g_json) {
        Json::Value object = record_json(record);
        object["side"] = g_side;
        object["kind"] = record.kind;
        if (!record.name.empty()) object["name"] = record.name;
        line = compact_json(object);
    } else {
        render_human(record, 0, &line);
    }
    print_text(line);
}

void print_text(const std::string& text) {
    // One write per record, so that a reader on a pipe gets a block of lines
    // whole; stdio is flushed first to keep the library's own lines in order.
    // A library log line leaves its colour reset after its newline: what is
    // still pending in stdio then gets a line of its own, so that every record
    // starts a line (a JSON reader sees "{" first).
    const std::string line = text + "\n";
    std::lock_guard<std::mutex> lock(g_output_mutex);
    if (__fpending(stdout) > 0) fputc('\n', stdout);
    fflush(stdout);
    size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = write(STDOUT_FILENO, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        written += (size_t)n;
    }
}

void finish(int status) {
    {
        std::lock_guard<std::mutex> lock(g_output_mutex);
        fflush(stdout);
        fflush(stderr);
    }
    _exit(status);
}

int usage_error(const std::string& command, const std::string& message) {
    std::lock_guard<std::mutex> lock(g_output_mutex);
    fprintf(stderr, "hac %s: %s\nTry 'hac %s --help'.\n", command.c_str(), message.c_str(), command.c_str());
    fflush(stderr);
    return EXIT_USAGE;
}

// ---- arguments ----

bool parse_options(const std::vector<std::string>& args, const std::vector<Option>& options,
                   std::vector<std::string>* positional, std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            positional->insert(positional->end(), args.begin() + i + 1, args.end());
            return true;
        }
        if (arg.size() < 2 || arg[0] != '-' || arg == "-" || (arg[1] != '-' && !isalpha((unsigned char)arg[1]))) {
            positional->push_back(arg);  // also negative numbers such as -3
            continue;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const Option* match = nullptr;
        for (const Option& option : options)
            if (name == option.name) match = &option;
        if (!match) {
            *error = "unknown option " + name;
            return false;
        }
        if (match->flag) {
            if (equals != std::string::npos) {
                *error = "option " + name + " takes no value";
                return false;
            }
            *match->flag = true;
        } else if (equals != std::string::npos) {
            *match->value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            *match->value = args[++i];
        } else {
            *error = "option " + name + " needs a value";
            return false;
        }
    }
    return true;
}

namespace {

// A number is the whole word: an optional sign, then decimal digits and
// nothing else. strtoll alone would skip leading blanks and stop at a NUL
// byte, so "\0garbage" would read as 0.
bool is_decimal_word(const std::string& text, bool minus_allowed) {
    size_t digits = 0;
    if (!text.empty() && (text[0] == '+' || (minus_allowed && text[0] == '-'))) digits = 1;
    if (digits == text.size()) return false;
    for (size_t i = digits; i < text.size(); ++i)
        if (!isdigit((unsigned char)text[i])) return false;
    return true;
}

}  // namespace

bool parse_int(const std::string& text, int* out) {
    if (!is_decimal_word(text, true)) return false;
    errno = 0;
    const long long value = strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || value < INT_MIN || value > INT_MAX) return false;
    *out = (int)value;
    return true;
}

bool parse_unsigned(const std::string& text, unsigned int* out) {
    if (!is_decimal_word(text, false)) return false;
    errno = 0;
    const unsigned long long value = strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || value > UINT_MAX) return false;
    *out = (unsigned int)value;
    return true;
}

bool parse_truth(const std::string& text, int* out) {
    if (text != "0" && text != "1") return false;
    *out = text == "1";
    return true;
}

bool parse_seconds(const std::string& text, double* out) {
    // strtod would skip leading blanks and stop at a NUL byte.
    if (text.empty() || isspace((unsigned char)text[0])) return false;
    char* end = nullptr;
    errno = 0;
    const double value = strtod(text.c_str(), &end);
    // Written so that NaN fails too.
    if (errno != 0 || end != text.c_str() + text.size() || !(value >= kMinSeconds && value <= kMaxSeconds))
        return false;
    *out = value;
    return true;
}

bool split_words(const std::string& line, std::vector<std::string>* words, std::string* error) {
    words->clear();
    std::string word;
    bool in_word = false, quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            in_word = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (in_word) words->push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (quoted) {
        *error = "unterminated quote";
        return false;
    }
    if (in_word) words->push_back(word);
    return true;
}

const std::vector<NamedValue> kKeyNames = {
    {"unknown", 0}, {"red", 1},      {"green", 2},  {"yellow", 3},    {"blue", 4},    {"up", 5},
    {"down", 6},    {"left", 7},     {"right", 8},  {"enter", 9},     {"back", 10},   {"0", 11},
    {"1", 12},      {"2", 13},       {"3", 14},     {"4", 15},        {"5", 16},      {"6", 17},
    {"7", 18},      {"8", 19},       {"9", 20},     {"play", 21},     {"pause", 22},  {"stop", 23},
    {"fast-fwd", 24}, {"rewind", 25}, {"page-up", 26}, {"page-down", 27}, {"info", 28}, {"text", 29}};
const std::vector<NamedValue> kKeyEventTypeNames = {{"down", 0}, {"up", 1}, {"repeat", 2}};
const std::vector<NamedValue> kAitStatusNames = {{"ok", 0}, {"error", 1}, {"no-application", 2}, {"unchanged", 3}};
const std::vector<NamedValue> kAppSourceNames = {{"url", 0}, {"xml-ait", 1}, {"broadcast", 2}};
const std::vector<NamedValue> kResetTypeNames = {
    {"service-change", 0}, {"channel-change", 1}, {"standby", 2}, {"full", 3}};
const std::vector<NamedValue> kAppEventNames = {
    {"loaded", 0}, {"started", 1}, {"stopped", 2}, {"load-error", 3}, {"killed", 4}};

bool parse_named(const std::string& text, const std::vector<NamedValue>& names, int* out) {
    // Names first: the key names "0" to "9" are not the numbers 0 to 9.
    for (const NamedValue& named : names) {
        if (text == named.name) {
            *out = named.value;
            return true;
        }
    }
    return parse_int(text, out);
}

std::string names_of(const std::vector<NamedValue>& names) {
    std::string text;
    for (const NamedValue& named : names) text += (text.empty() ? "" : "|") + std::string(named.name);
    return text;
}

// ---- processes ----

namespace {
sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    return set;
}
}  // namespace

void block_stop_signals() {
    const sigset_t set = stop_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int wait_for_signal() {
    const sigset_t set = stop_signal_set();
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    return sig;
}

void request_finish() { kill(getpid(), SIGUSR1); }

const char* signal_label(int sig) {
    switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "end of input";
    }
}

bool LineReader::read_more() {
    // What is left of the current line moves to the front once per read, and
    // it is never longer than the cap.
    buffer_.erase(0, start_);
    start_ = 0;
    const size_t kChunk = 65536;
    const size_t kept = buffer_.size();
    buffer_.resize(kept + kChunk);
    for (;;) {
        const ssize_t n = read(fd_, &buffer_[kept], kChunk);
        if (n < 0 && errno == EINTR) continue;
        buffer_.resize(kept + (n > 0 ? (size_t)n : 0));
        return n > 0;
    }
}

LineReader::Result LineReader::next(std::string* line) {
    for (;;) {
        const size_t newline = buffer_.find('\n', start_ + scanned_);
        const size_t end = newline != std::string::npos ? newline : buffer_.size();
        const size_t length = end - start_;
        if (newline != std::string::npos || (eof_ && (length > 0 || skipping_))) {
            const bool too_long = skipping_ || length > kMaxLineBytes;
            if (!too_long) {
                line->assign(buffer_, start_, length);
                if (!line->empty() && line->back() == '\r') line->pop_back();
            }
            start_ = newline != std::string::npos ? newline + 1 : end;
            scanned_ = 0;
            skipping_ = false;
            return too_long ? TOO_LONG : LINE;
        }
        if (eof_) return END;
        scanned_ = length;
        if (length > kMaxLineBytes) {
            buffer_.clear();
            start_ = scanned_ = 0;
            skipping_ = true;
        }
        if (!read_more()) eof_ = true;
    }
}

std::string too_long_line_message() {
    return "line over " + std::to_string(LineReader::kMaxLineBytes) +
           " bytes skipped: no command or notification is that long";
}

bool run_with_timeout(const std::function<Record()>& call, double seconds, Record* result) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done_cv;
        bool done = false;
        Record result{"", "", ""};
    };
    auto shared = std::make_shared<Shared>();
    std::thread worker([shared, call] {
        Record value = call();
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->result = std::move(value);
        shared->done = true;
        shared->done_cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(shared->mutex);
    const bool done = shared->done_cv.wait_for(lock, std::chrono::duration<double>(seconds),
                                               [&shared] { return shared->done; });
    if (!done) {
        lock.unlock();
        worker.detach();
        return false;
    }
    *result = shared->result;
    lock.unlock();
    worker.join();
    return true;
}

// ---- HAC queues ----

const HacQueue kHacQueues[3] = {{"request", (key_t)HAC_REQUEST_QUEUE_KEY},
                                {"reply", (key_t)HAC_REPLY_QUEUE_KEY},
                                {"notification", (key_t)HAC_NOTIFICATION_QUEUE_KEY}};

namespace {

// Owner and mode of a queue this process may not stat: /proc/sysvipc/msg
// shows every queue of the IPC namespace to everyone.
bool owner_from_proc(int id, uid_t* owner, unsigned int* mode) {
    FILE* table = fopen("/proc/sysvipc/msg", "re");
    if (table == nullptr) return false;
    char line[512];
    bool found = false;
    if (fgets(line, sizeof line, table) != nullptr) {  // the heading
        while (!found && fgets(line, sizeof line, table) != nullptr) {
            int key = 0, msqid = -1;
            unsigned int perms = 0, uid = 0;
            unsigned long cbytes = 0, qnum = 0;
            int lspid = 0, lrpid = 0;
            if (sscanf(line, "%d %d %o %lu %lu %d %d %u", &key, &msqid, &perms, &cbytes, &qnum, &lspid, &lrpid,
                       &uid) == 8 &&
                msqid == id) {
                *owner = (uid_t)uid;
                *mode = perms & 0777;
                found = true;
            }
        }
    }
    fclose(table);
    return found;
}

std::string user_name(uid_t uid) {
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[1024];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) return found->pw_name;
    return "uid " + std::to_string(uid);
}

}  // namespace

QueueState queue_state(key_t key) {
    QueueState state = {false, false, false, false, -1, 0, 0, 0, 0, 0, 0};
    const int id = msgget(key, 0);
    if (id < 0) return state;
    state.exists = true;
    state.id = id;
    // The library opens its queues asking for read and write, and an
    // existing queue refuses such an open with EACCES, where msgget(key, 0)
    // asks for nothing and succeeds.
    state.usable = msgget(key, 0666) >= 0;
    struct msqid_ds ds;
    if (msgctl(id, IPC_STAT, &ds) == 0) {
        state.readable = true;
        state.messages = ds.msg_qnum;
        state.bytes = ds.__msg_cbytes;
        state.last_sender = ds.msg_lspid;
        state.last_receiver = ds.msg_lrpid;
        state.owner_known = true;
        state.owner = ds.msg_perm.uid;
        state.mode = ds.msg_perm.mode & 0777;
    } else {
        state.owner_known = owner_from_proc(id, &state.owner, &state.mode);
    }
    return state;
}

bool queue_exists(key_t key) { return msgget(key, 0) >= 0; }

std::string key_text(key_t key) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", (unsigned int)key);
    return text;
}

std::string mode_text(unsigned int mode) {
    char text[8];
    snprintf(text, sizeof text, "%04o", mode & 0777);
    return text;
}

std::string owner_and_mode(const QueueState& state) {
    if (!state.owner_known) return "owner and mode unknown";
    const std::string name = user_name(state.owner);
    const std::string uid = "uid " + std::to_string(state.owner);
    return "owner " + (name == uid ? uid : name + " (" + uid + ")") + ", mode " + mode_text(state.mode);
}

std::string denied_queue_text(const HacQueue& queue, const QueueState& state) {
    return std::string("permission denied on the ") + queue.name + " queue (" + key_text(queue.key) +
           "): " + owner_and_mode(state);
}

std::string first_denied_queue(const std::vector<HacQueue>& queues) {
    for (const HacQueue& queue : queues) {
        const QueueState state = queue_state(queue.key);
        if (state.exists && !state.usable) return denied_queue_text(queue, state);
    }
    return "";
}

void warn_if_queue_holds_fragments(const HacQueue& queue, const std::string& consequence) {
    const QueueState state = queue_state(queue.key);
    if (state.exists && !state.readable) {
        Record warning("warning", "queue_denied", "warning");
        warning.add("queue", queue.name)
            .add("message", "fragments waiting in the " + std::string(queue.name) + " queue cannot be counted: " +
                                denied_queue_text(queue, state));
        emit(warning);
        return;
    }
    if (!state.exists || state.messages == 0) return;
    Record warning("warning", "stale_fragments", "warning");
    warning.add("queue", queue.name)
        .add("fragments", (Json::UInt64)state.messages)
        .add("message", std::to_string(state.messages) + " fragments from before wait in the " + queue.name +
                            " queue: " + consequence + " ('hac queues --purge' removes them)");
    emit(warning);
}

}  // namespace hac_tool
