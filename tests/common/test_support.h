// Helpers shared by the test areas: no test waits by sleeping; every wait is
// on a condition with a deadline.
#ifndef HAC_TEST_SUPPORT_H
#define HAC_TEST_SUPPORT_H

#include <stdint.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <json/json.h>

#include "vetu_ipc.h"

namespace hac_test {

// Polls pred until it holds or the deadline passes; returns its last value.
bool wait_until(const std::function<bool()>& pred,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// A queue key no other test process uses: transport tests run in parallel,
// so each takes keys of its own. Key and key + 1 (reply queue) are both free.
key_t unique_queue_key();

// Removes the queue with this key if it exists.
void remove_queue(key_t key);
bool queue_exists(key_t key);

// Removes the queues of the given keys when it goes out of scope.
class QueueCleaner {
public:
    explicit QueueCleaner(std::vector<key_t> keys);
    ~QueueCleaner();
    QueueCleaner(const QueueCleaner&) = delete;
    QueueCleaner& operator=(const QueueCleaner&) = delete;

private:
    std::vector<key_t> keys_;
};

// The three fixed HAC queues: request, reply and notification.
std::vector<key_t> hac_queue_keys();
void remove_hac_queues();

// Redirects file descriptor 1 (and stdout) to a temporary file until stop().
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    // Restores stdout and returns everything written meanwhile.
    std::string stop();

private:
    std::string path_;
    int saved_fd_;
};

// Whether the suite runs under a user-mode emulator (a cross build).
bool suite_is_emulated();

// Runs an executable as a separate process. stdout_path, when given,
// receives its standard output.
class Peer {
public:
    Peer(const std::string& path, const std::vector<std::string>& args, const std::string& stdout_path = "");
    ~Peer();  // kills the process if it still runs
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    pid_t pid() const { return pid_; }
    // Waits for the process to end; returns its exit status, or -1 when it
    // did not end in time (it is then killed) or ended by a signal.
    int wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    void kill_now(int sig);

private:
    pid_t pid_;
};

// The peer program (hac_test_peer) as a process of its own, its reports
// (JSON lines on its standard output, recording_halves.h) read as they
// come. The peer finalises on SIGTERM; a peer still running at the end is
// killed.
class PeerProcess {
public:
    explicit PeerProcess(const std::vector<std::string>& args);
    ~PeerProcess();

    pid_t pid() const { return peer_.pid(); }
    std::vector<Json::Value> reports() const;
    // Its lines that are no reports: log lines, the transport's notes.
    std::vector<std::string> other_lines() const;
    // The next report not yet taken; null when none comes in time.
    Json::Value next(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // The first report is {"m":"ready"}: true when it came.
    bool ready();
    // How many reports hold these members (recording_halves.h has_members).
    size_t count(const Json::Value& members) const;
    // Whether such a report came in time.
    bool saw(const Json::Value& members, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;
    void signal(int sig) { peer_.kill_now(sig); }
    // SIGSTOP, and wait until the kernel has stopped all its threads: a
    // message sent before then may still be handed to its pending receive.
    bool stop_all_threads();
    void kill_and_reap();
    // SIGTERM, then its exit status (non-zero under LeakSanitizer on a leak).
    int terminate();
    int wait() { return peer_.wait(); }

private:
    std::vector<std::string> complete_lines() const;
    std::string path_;
    Peer peer_;
    size_t taken_ = 0;
};

// Runs fn in a forked child and returns the child's exit status (fn's
// result), -1 on a signal or time-out. Only for tests that fork before the
// process starts any thread.
int run_in_child(const std::function<int()>& fn,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// True when every thread of the process has stopped (SIGSTOP). Until then
// a thread still waiting in msgrcv is handed a message sent to its queue
// directly, and the message never shows as queued.
bool process_stopped(pid_t pid);

// ---- raw fragments: the wire as a peer outside the library writes it ----

struct FragmentHeader {
    int kind;
    int total_len;
    int last;
    int chunk_len;
    int seq = 1;
    int32_t token = 0;
};
// Puts one hand-made fragment of chunk_size + 32 bytes on the queue.
void put_fragment(int msqid, long mtype, const FragmentHeader& header, const std::string& bytes,
                  size_t chunk_size = 1024);
// Puts fragments first to last (counted from 1) of a payload as a sender
// naming it with token cuts it; last 0 means up to the payload's end.
void put_payload(int msqid, long mtype, int kind, const std::string& bytes, int32_t token, int first = 1,
                 int last = 0, size_t chunk_size = 1024);

// One fragment as it came off the queue.
struct RawFragment {
    ssize_t size;  // bytes msgrcv returned (the part after mtype)
    std::vector<char> bytes;
    const IpcFragment* operator->() const { return reinterpret_cast<const IpcFragment*>(bytes.data()); }
};
// Takes every waiting fragment of mtype off the queue, without waiting.
std::vector<RawFragment> take_all(int msqid, long mtype, size_t chunk_size = 1024);
// Takes the fragments of one payload, waiting for each, up to last.
std::vector<RawFragment> take_payload(int msqid, long mtype, size_t chunk_size = 1024);

size_t queued(int msqid);
// The process that sent the queue's last fragment.
pid_t last_sender(int msqid);

// ---- payloads a receiver checks byte for byte ----

// "<seq>|<len>|" and then a pattern of the seq.
std::string numbered_payload(long seq, size_t len);
// The seq of an intact numbered payload, -1 for a damaged one.
long check_numbered_payload(const std::string& payload);
// FNV-1a of the bytes.
uint32_t digest(const std::string& bytes);
// The transport peer's answer: every byte plus one.
inline char answer_byte(char c) { return static_cast<char>(c + 1); }
// The message type of the transport peer's endpoint.
const long kPeerMtype = 7;

// Threads of this process.
int thread_count();

std::string read_file(const std::string& path);
// A fresh path under the temporary folder.
std::string temp_path(const std::string& stem);

// Splits text into lines (without their newlines).
std::vector<std::string> split_lines(const std::string& text);

}  // namespace hac_test

#endif
