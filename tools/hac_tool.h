// Pieces shared by the subcommands of the hac tool: output records (human
// or one JSON object per line), argument parsing, stopping on signals, the
// HAC queues as seen through msgctl, and the names of enumeration values.
#ifndef HAC_TOOL_H
#define HAC_TOOL_H

#include <signal.h>
#include <sys/types.h>

#include <json/json.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct VetuAITAppInfo;

namespace hac_tool {

// Exit statuses of every subcommand.
enum ExitStatus {
    EXIT_OK = 0,
    EXIT_FAILED = 1,       // a call returned a non-zero status, or a setup step failed
    EXIT_USAGE = 2,        // bad command line or bad command
    EXIT_NO_ANSWER = 3,    // a query got no answer within --timeout
    EXIT_NOT_PERMITTED = 4,  // hac monitor: a process it may not trace
    EXIT_INTERRUPTED = 130,  // SIGINT while a call was still waiting (128 + 2)
    EXIT_TERMINATED = 143    // SIGTERM while a call was still waiting (128 + 15)
};

// 130 for SIGINT, 143 for SIGTERM: the status a shell gives a command that
// such a signal ended.
int interrupted_status(int sig);

// ---- output ----

// One thing that happened, printed as a human line (or block) or as one JSON
// object. Fields keep their order for the human form.
struct Record {
    Record(const std::string& kind, const std::string& name, const std::string& title);

    Record& add(const std::string& key, const Json::Value& value);
    // A field of the JSON object only: the human form says it in its title.
    Record& add_json(const std::string& key, const Json::Value& value);
    Record& add_child(const std::string& key, Record child);
    Record& add_list(const std::string& key, std::vector<Record> items);

    std::string kind;   // JSON "kind"
    std::string name;   // JSON "name", left out when empty
    std::string title;  // start of the human form
    bool block;         // human form: one field per line
    bool flat;          // as a child, human form: its fields on the parent's line
    std::vector<std::pair<std::string, Json::Value>> fields;
    std::vector<std::pair<std::string, Json::Value>> json_fields;
    std::vector<std::pair<std::string, std::vector<Record>>> lists;
    std::vector<std::pair<std::string, Record>> children;
};

// The side ("browser", "manager", ...) goes into every JSON object. With
// json, standard output carries the tool's JSON lines only: the library's
// log lines and the transport's diagnostics, which it prints on standard
// output, go to standard error from then on (descriptor 1 becomes a copy of
// 2, and the tool writes to a copy of the original 1).
void set_output(const std::string& side, bool json);
// Records are handed to a writer thread instead of being written by the
// caller, so that a reader that does not keep up never blocks the caller
// (hac monitor: its traced processes wait while it is blocked). Beyond
// max_pending_bytes waiting, records are dropped and counted, and a record
// "dropped" says how many once the reader catches up.
void start_output_thread(size_t max_pending_bytes);
void emit(const Record& record);
// Prints a finished text line under the output lock (help texts, tables).
void print_text(const std::string& text);
// Flushes the output and ends the process at once: library threads may still
// wait in the kernel, and nothing of theirs must run destructors under them.
[[noreturn]] void finish(int status);
// Prints "hac <command>: <message>" and a hint to --help on stderr; returns
// EXIT_USAGE.
int usage_error(const std::string& command, const std::string& message);
// Prints "hac <command>: warning: <message>" on stderr.
void print_warning(const std::string& command, const std::string& message);

// ---- arguments ----

struct Option {
    const char* name;   // "--timeout"
    std::string* value; // receives the value; null for a flag
    bool* flag;         // set by a flag; null for an option with a value
    std::vector<std::string>* values = nullptr;  // a repeatable option: every value, in order
};

// Splits args into options and positional arguments. Accepts "--name value"
// and "--name=value". A lone "--" ends the options.
bool parse_options(const std::vector<std::string>& args, const std::vector<Option>& options,
                   std::vector<std::string>* positional, std::string* error);
// Numbers take the whole word: digits with an optional sign, nothing else
// (no blank, no NUL byte).
bool parse_int(const std::string& text, int* out);
bool parse_unsigned(const std::string& text, unsigned int* out);
// "0" or "1".
bool parse_truth(const std::string& text, int* out);
// A finite number of seconds from kMinSeconds to kMaxSeconds: below a
// millisecond a wait ends before any answer can come, and a day is longer
// than anyone waits on purpose.
const double kMinSeconds = 0.001;
const double kMaxSeconds = 86400;
const char* const kSecondsRange = "0.001 to 86400";
bool parse_seconds(const std::string& text, double* out);
// Reads a whole file of at most max_bytes; reads no more than max_bytes + 1
// bytes whatever the file is (/dev/zero). The error names the path.
bool read_small_file(const std::string& path, size_t max_bytes, std::string* text, std::string* error);
// Splits a command line at blanks; "double quotes" keep blanks in a word.
bool split_words(const std::string& line, std::vector<std::string>* words, std::string* error);

// Enumeration values by name or number ("started" or 1).
struct NamedValue {
    const char* name;
    int value;
};
extern const std::vector<NamedValue> kKeyNames;
extern const std::vector<NamedValue> kKeyEventTypeNames;
extern const std::vector<NamedValue> kAitStatusNames;
extern const std::vector<NamedValue> kAppSourceNames;
extern const std::vector<NamedValue> kResetTypeNames;
extern const std::vector<NamedValue> kAppEventNames;
bool parse_named(const std::string& text, const std::vector<NamedValue>& names, int* out);
std::string names_of(const std::vector<NamedValue>& names);

// ---- processes ----

// Blocks SIGINT, SIGTERM and SIGUSR1 in the calling thread, before any thread
// is started, so that every thread (the library's included) inherits the
// mask and only wait_for_signal sees them. SIGUSR1 means "work done".
void block_stop_signals();
int wait_for_signal();
// As wait_for_signal, but for at most seconds; 0 when none came in time.
int wait_for_signal_until(double seconds);
// Wakes wait_for_signal with SIGUSR1.
void request_finish();
const char* signal_label(int sig);

// Reads standard input line by line with read(2), never through stdio, so a
// thread blocked here holds no stdio lock when the process ends. Each byte
// is looked at once, and a line longer than the cap is thrown away as it
// comes instead of being kept: time stays linear and memory bounded
// whatever arrives.
class LineReader {
public:
    enum Result { LINE, TOO_LONG, END };
    // No HAC message exceeds 16384 bytes; a command line four times that
    // long makes none.
    static constexpr size_t kMaxLineBytes = 65536;

    explicit LineReader(int fd) : fd_(fd) {}
    // LINE: *line is the next line without its newline (or CR LF). TOO_LONG:
    // a line of more than kMaxLineBytes was skipped whole. END: no more input.
    Result next(std::string* line);

private:
    bool read_more();  // false at the end of input

    int fd_;
    std::string buffer_;
    size_t start_ = 0;    // where the next line begins in buffer_
    size_t scanned_ = 0;  // bytes from start_ known to hold no newline
    bool skipping_ = false;  // the line's first bytes were over the cap and are gone
    bool eof_ = false;
};

// "line over 65536 bytes skipped: ..."
std::string too_long_line_message();


// The name of a process (its comm), empty when it cannot be read.
std::string process_name(pid_t pid);
bool process_alive(pid_t pid);
// The process a thread belongs to; 0 when the thread is gone.
pid_t thread_group_of(pid_t tid);

// ---- AIT records as the browser prints them ----
Record ait_app_record(const VetuAITAppInfo& app);

// ---- HAC queues ----

struct QueueState {
    bool exists;
    bool usable;       // read and write allowed, as the library opens its queues
    bool readable;     // msgctl(IPC_STAT) allowed: the counts below are known
    bool owner_known;  // owner and mode below are known
    int id;
    unsigned long messages;
    unsigned long bytes;
    pid_t last_sender;
    pid_t last_receiver;
    uid_t owner;
    unsigned int mode;  // permission bits
};

struct HacQueue {
    const char* name;
    key_t key;
};
extern const HacQueue kHacQueues[3];  // request, reply, notification

QueueState queue_state(key_t key);
bool queue_exists(key_t key);
std::string key_text(key_t key);          // "0x92101071"
std::string mode_text(unsigned int mode);  // "0600"
// "owner root (uid 0), mode 0600", or "owner and mode unknown".
std::string owner_and_mode(const QueueState& state);
// "permission denied on the reply queue (0x92101072): owner root (uid 0), mode 0600"
std::string denied_queue_text(const HacQueue& queue, const QueueState& state);
// The denial of the first of these queues that exists but may not be used;
// empty when there is none. The library's calls give only -3 for it, as for
// a missing queue.
std::string first_denied_queue(const std::vector<HacQueue>& queues);
// Prints a warning when fragments are already waiting in the queue, or when
// they cannot be counted.
void warn_if_queue_holds_fragments(const HacQueue& queue, const std::string& consequence);

// A thread of another process that waits in msgrcv on a queue: seen in
// /proc (the thread's wait channel and system call), where this user may
// look at the process.
struct QueueWaiter {
    pid_t pid;
    pid_t tid;
};
std::vector<QueueWaiter> queue_waiters(int msqid);
// The processes other than this one that serve (read) the queue: those with
// a thread waiting on it, or else the process of the thread that received
// last (msg_lrpid) while it lives. Empty when the queue does not exist.
std::vector<pid_t> queue_readers(const HacQueue& queue);
// On standard error, before this process takes part: "the request queue
// (0x92101071) is served already by pid N (name): <consequence>".
void warn_if_queue_served(const std::string& command, const HacQueue& queue, const std::string& consequence);

// ---- subcommands ----

int browser_main(const std::vector<std::string>& args);
int manager_main(const std::vector<std::string>& args);
int log_main(const std::vector<std::string>& args);
int queues_main(const std::vector<std::string>& args);
int demo_main(const std::vector<std::string>& args);
int monitor_main(const std::vector<std::string>& args);
int send_main(const std::vector<std::string>& args);

}  // namespace hac_tool

#endif
