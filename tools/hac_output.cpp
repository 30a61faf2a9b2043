#include "hac_output.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "hac_process.h"

namespace hac_tool {

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

Record error_record(const std::string& message) {
    Record record("error", "", "error");
    record.add("message", message);
    return record;
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

int emit_failure(const std::string& message) {
    emit(error_record(message));
    return EXIT_FAILED;
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

}  // namespace hac_tool
