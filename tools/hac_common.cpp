#include "hac_tool.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "hac_message_type.h"
#include "vetu_hac.h"

namespace hac_tool {

// ---- output ----

namespace {

std::mutex g_output_mutex;
std::string g_side = "hac";
bool g_json = false;
// Where the tool's own lines go: standard output, or with --json a copy of
// the original standard output (descriptor 1 then goes to standard error).
int g_out_fd = STDOUT_FILENO;

// The writer thread's queue (start_output_thread).
struct OutputQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> texts;
    size_t bytes = 0;
    size_t max_bytes = 0;
    unsigned long dropped = 0;
    bool writing = false;  // the writer holds a text it took
    bool active = false;
};
OutputQueue g_queue;

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
    for (const auto& field : record.json_fields) object[field.first] = field.second;
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
        if (child.second.flat) {
            for (const auto& field : child.second.fields) *out += " " + field.first + "=" + human_value(field.second);
            continue;
        }
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

std::string render(const Record& record) {
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
    return line;
}

// False when the reader is gone or the descriptor fails.
bool write_all(int fd, const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += (size_t)n;
    }
    return true;
}

std::string dropped_text(unsigned long dropped) {
    Record record("dropped", "", "dropped");
    record.add("records", (Json::UInt64)dropped)
        .add("message", std::to_string(dropped) + " records dropped: the output was not read fast enough");
    return render(record) + "\n";
}

// A pipe whose reader has gone reports an error on its writing end.
bool reader_gone(int fd) {
    pollfd entry = {fd, 0, 0};
    return poll(&entry, 1, 0) == 1 && (entry.revents & (POLLERR | POLLNVAL)) != 0;
}

// Writes what the queue holds; a reader that has gone away (EPIPE) ends the
// process's work as SIGUSR1 does, also while there is nothing to write
// (hac monitor | head -1 must end with head).
void output_writer() {
    std::unique_lock<std::mutex> lock(g_queue.mutex);
    for (;;) {
        while (!g_queue.changed.wait_for(lock, std::chrono::seconds(1),
                                         [] { return !g_queue.texts.empty() || g_queue.dropped > 0; })) {
            if (!reader_gone(g_out_fd)) continue;
            g_queue.active = false;
            request_finish();
            return;
        }
        std::string text;
        if (g_queue.dropped > 0 && g_queue.texts.empty()) {
            text = dropped_text(g_queue.dropped);
            g_queue.dropped = 0;
        } else {
            text = std::move(g_queue.texts.front());
            g_queue.texts.pop_front();
            g_queue.bytes -= text.size();
        }
        g_queue.writing = true;
        lock.unlock();
        const bool written = write_all(g_out_fd, text);
        lock.lock();
        g_queue.writing = false;
        g_queue.changed.notify_all();
        if (!written) {
            g_queue.active = false;
            request_finish();
            return;
        }
    }
}

void enqueue_text(std::string text) {
    std::lock_guard<std::mutex> lock(g_queue.mutex);
    if (!g_queue.active) return;
    if (g_queue.bytes + text.size() > g_queue.max_bytes) {
        ++g_queue.dropped;
        return;
    }
    g_queue.bytes += text.size();
    g_queue.texts.push_back(std::move(text));
    g_queue.changed.notify_all();
}

// Gives the writer up to a second to write what is queued: a reader that
// stopped reading must not keep the process from ending.
void drain_output_queue() {
    std::unique_lock<std::mutex> lock(g_queue.mutex);
    if (!g_queue.active) return;
    g_queue.changed.wait_for(lock, std::chrono::seconds(1), [] {
        return !g_queue.active || (g_queue.texts.empty() && g_queue.dropped == 0 && !g_queue.writing);
    });
}

}  // namespace

int interrupted_status(int sig) { return sig == SIGTERM ? EXIT_TERMINATED : EXIT_INTERRUPTED; }

Record::Record(const std::string& kind_, const std::string& name_, const std::string& title_)
    : kind(kind_), name(name_), title(title_), block(false), flat(false) {}

Record& Record::add(const std::string& key, const Json::Value& value) {
    fields.emplace_back(key, value);
    return *this;
}

Record& Record::add_json(const std::string& key, const Json::Value& value) {
    json_fields.emplace_back(key, value);
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
    std::lock_guard<std::mutex> lock(g_output_mutex);
    g_side = side;
    g_json = json;
    // Library log lines go to stdout too; line buffering keeps both in order
    // and lets a reader on a pipe see each line when it is written.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!json || g_out_fd != STDOUT_FILENO) return;
    fflush(stdout);
    const int copy = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (copy < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return;
    g_out_fd = copy;
}

void start_output_thread(size_t max_pending_bytes) {
    {
        std::lock_guard<std::mutex> lock(g_queue.mutex);
        g_queue.max_bytes = max_pending_bytes;
        g_queue.active = true;
    }
    std::thread(output_writer).detach();
}

void emit(const Record& record) { print_text(render(record)); }

void print_text(const std::string& text) {
    // One write per record, so that a reader on a pipe gets a block of lines
    // whole; stdio is flushed first to keep the library's own lines in order.
    // A library log line leaves its colour reset after its newline: what is
    // still pending in stdio then gets a line of its own, so that every record
    // starts a line (a JSON reader sees "{" first). With --json the library's
    // lines go elsewhere.
    std::lock_guard<std::mutex> lock(g_output_mutex);
    if (!g_json && __fpending(stdout) > 0) fputc('\n', stdout);
    fflush(stdout);
    bool queued = false;
    {
        std::lock_guard<std::mutex> queue_lock(g_queue.mutex);
        queued = g_queue.active;
    }
    if (queued)
        enqueue_text(text + "\n");
    else
        write_all(g_out_fd, text + "\n");
}

void finish(int status) {
    drain_output_queue();
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

void print_warning(const std::string& command, const std::string& message) {
    std::lock_guard<std::mutex> lock(g_output_mutex);
    fprintf(stderr, "hac %s: warning: %s\n", command.c_str(), message.c_str());
    fflush(stderr);
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
        } else if (equals != std::string::npos || i + 1 < args.size()) {
            *match->value = equals != std::string::npos ? arg.substr(equals + 1) : args[++i];
            if (match->values) match->values->push_back(*match->value);
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

bool read_small_file(const std::string& path, size_t max_bytes, std::string* text, std::string* error) {
    if (path.find('\0') != std::string::npos) {
        *error = "the file name holds a NUL byte";
        return false;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    text->clear();
    int read_errno = 0;
    while (text->size() <= max_bytes) {
        const size_t have = text->size(), want = max_bytes + 1 - have;
        text->resize(have + want);
        const ssize_t n = read(fd, &(*text)[have], want);
        text->resize(have + (n > 0 ? (size_t)n : 0));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) read_errno = errno;
        if (n <= 0) break;
    }
    close(fd);
    if (read_errno != 0) {
        *error = "cannot read " + path + ": " + strerror(read_errno);
        return false;
    }
    if (text->size() > max_bytes) {
        *error = path + " is over " + std::to_string(max_bytes) + " bytes";
        return false;
    }
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

int wait_for_signal_until(double seconds) {
    const sigset_t set = stop_signal_set();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                                  std::chrono::duration<double>(seconds));
    for (;;) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return 0;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec timeout = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
        const int sig = sigtimedwait(&set, nullptr, &timeout);
        if (sig > 0) return sig;
        if (errno == EAGAIN) return 0;
    }
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

std::string process_name(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

bool process_alive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

pid_t thread_group_of(pid_t tid) {
    std::ifstream status("/proc/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 5, "Tgid:") == 0) return (pid_t)atoi(line.c_str() + 5);
    return 0;
}

// ---- AIT records as the browser prints them ----

namespace {
Record tranprotocol_record(const TranProtocol& protocol) {
    Record record("", "", "");
    record.add("pi", protocol.pi).add("bu", protocol.bu).add("ip", protocol.ip).add("pp", protocol.pp);
    return record;
}
}  // namespace

Record ait_app_record(const VetuAITAppInfo& app) {
    Record record("", "", "");
    record.block = true;
    record.add("appid", app.appid).add("orgid", app.orgid).add("visib", app.visib).add("prior", app.prior);
    record.add("ctrco", app.ctrco).add("ipflag", app.ipflag).add("trprn", app.trprn);
    record.add("isb", app.isb).add("bn", app.bn);
    Json::Value boundaries(Json::arrayValue);
    for (const std::string& boundary : app.bd) boundaries.append(boundary);
    record.add("bd", boundaries).add("lang", app.lang);
    Json::Value iso(Json::arrayValue);
    for (unsigned char byte : app.iso) iso.append((int)byte);
    record.add("iso", iso).add("name", app.name).add("iconloc", app.iconloc).add("iconflag", app.iconflag);
    record.add("appuse", app.appuse).add("serid", app.serid).add("aitver", app.aitver);
    record.add("apptype", app.apptype).add("profile", app.profile).add("profileversion", app.profileversion);
    std::vector<Record> protocols;
    for (const TranProtocol& protocol : app.tranprotocols) protocols.push_back(tranprotocol_record(protocol));
    record.add_list("tranprotocol", protocols);
    return record;
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

namespace {

std::string first_line_of(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// Does the thread wait in msgrcv on this queue? Its wait channel says where
// it sleeps (do_msgrcv) whatever the architecture, also under an emulator;
// where the kernel does not name it, the system call number does. The first
// argument of the call is the queue's identifier.
bool thread_waits_on(const std::string& task_dir, int msqid) {
    const std::string wchan = first_line_of(task_dir + "/wchan");
    std::istringstream call(first_line_of(task_dir + "/syscall"));
    long number = -1;
    std::string first_argument;
    if (!(call >> number >> first_argument)) return false;  // "running", or not allowed to look
    const bool in_msgrcv = wchan.find("msgrcv") != std::string::npos;
#ifdef SYS_msgrcv
    if (!in_msgrcv && number != SYS_msgrcv) return false;
#else
    if (!in_msgrcv) return false;
#endif
    return strtol(first_argument.c_str(), nullptr, 16) == msqid;
}

}  // namespace

std::vector<QueueWaiter> queue_waiters(int msqid) {
    std::vector<QueueWaiter> waiters;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return waiters;
    const pid_t self = getpid();
    while (const dirent* process = readdir(proc)) {
        int pid = 0;
        if (!parse_int(process->d_name, &pid) || pid <= 0 || pid == self) continue;
        const std::string tasks_dir = std::string("/proc/") + process->d_name + "/task";
        DIR* tasks = opendir(tasks_dir.c_str());
        if (tasks == nullptr) continue;
        while (const dirent* task = readdir(tasks)) {
            int tid = 0;
            if (parse_int(task->d_name, &tid) && thread_waits_on(tasks_dir + "/" + task->d_name, msqid))
                waiters.push_back({(pid_t)pid, (pid_t)tid});
        }
        closedir(tasks);
    }
    closedir(proc);
    return waiters;
}

std::vector<pid_t> queue_readers(const HacQueue& queue) {
    std::vector<pid_t> readers;
    const QueueState state = queue_state(queue.key);
    if (!state.exists) return readers;
    std::set<pid_t> seen;
    for (const QueueWaiter& waiter : queue_waiters(state.id))
        if (seen.insert(waiter.pid).second) readers.push_back(waiter.pid);
    // The kernel names the thread that received last.
    const pid_t last = state.readable ? thread_group_of(state.last_receiver) : 0;
    if (readers.empty() && last > 0 && last != getpid()) readers.push_back(last);
    return readers;
}

void warn_if_queue_served(const std::string& command, const HacQueue& queue, const std::string& consequence) {
    for (pid_t pid : queue_readers(queue)) {
        const std::string name = process_name(pid);
        print_warning(command, std::string("the ") + queue.name + " queue (" + key_text(queue.key) +
                                   ") is served already by pid " + std::to_string(pid) +
                                   (name.empty() ? "" : " (" + name + ")") + ": " + consequence);
    }
}

}  // namespace hac_tool
