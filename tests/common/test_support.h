// Helpers shared by the test areas: no test waits by sleeping; every wait is
// on a condition with a deadline.
#ifndef HAC_TEST_SUPPORT_H
#define HAC_TEST_SUPPORT_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

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
    int saved_fd_;
    int file_fd_;
    bool active_;
};

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

// Runs fn in a forked child and returns the child's exit status (fn's
// result), -1 on a signal or time-out. Only for tests that fork before the
// process starts any thread.
int run_in_child(const std::function<int()>& fn,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// True when every thread of the process has stopped (SIGSTOP). Until then
// a thread still waiting in msgrcv is handed a message sent to its queue
// directly, and the message never shows as queued.
bool process_stopped(pid_t pid);

std::string read_file(const std::string& path);
// A fresh path under the temporary folder.
std::string temp_path(const std::string& stem);

// Splits text into lines (without their newlines).
std::vector<std::string> split_lines(const std::string& text);

}  // namespace hac_test

#endif
