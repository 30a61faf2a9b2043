// What the hac tool prints and how it ends: records (a human line or block,
// or one JSON object per line), usage errors and warnings on standard
// error, and the exit statuses.
#ifndef HAC_OUTPUT_H
#define HAC_OUTPUT_H

#include <stddef.h>

#include <json/json.h>

#include <string>
#include <utility>
#include <vector>

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

// "error: message=..." (kind "error").
Record error_record(const std::string& message);

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
// "dropped" says how many once the reader catches up. A reader that has
// gone away wakes wait_for_signal with SIGUSR1.
void start_output_thread(size_t max_pending_bytes);
void emit(const Record& record);
// Prints a finished text line under the output lock (help texts, tables).
void print_text(const std::string& text);
// Flushes the output and ends the process at once: library threads may still
// wait in the kernel, and nothing of theirs must run destructors under them.
[[noreturn]] void finish(int status);
// Emits an error record with the message; returns EXIT_FAILED.
int emit_failure(const std::string& message);
// Prints "hac <command>: <message>" and a hint to --help on stderr; returns
// EXIT_USAGE.
int usage_error(const std::string& command, const std::string& message);
// Prints "hac <command>: warning: <message>" on stderr.
void print_warning(const std::string& command, const std::string& message);

}  // namespace hac_tool

#endif
