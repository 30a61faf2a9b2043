#include "hac_process.h"

#include <dirent.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "hac_arguments.h"
#include "hac_output.h"

namespace hac_tool {

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

int interrupted_status(int sig) { return sig == SIGTERM ? EXIT_TERMINATED : EXIT_INTERRUPTED; }

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

std::string process_text(pid_t pid) {
    const std::string name = process_name(pid);
    return "pid " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

namespace {

std::string read_link(const std::string& path) {
    char target[256];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, (size_t)n) : std::string();
}

}  // namespace

bool same_ipc_namespace(pid_t pid) {
    const std::string theirs = read_link("/proc/" + std::to_string(pid) + "/ns/ipc");
    const std::string ours = read_link("/proc/self/ns/ipc");
    return theirs.empty() || ours.empty() || theirs == ours;
}

bool process_alive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

namespace {

std::vector<pid_t> numbered_entries(const std::string& folder) {
    std::vector<pid_t> ids;
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr) return ids;
    while (const dirent* entry = readdir(directory)) {
        int id = 0;
        if (parse_int(entry->d_name, &id) && id > 0) ids.push_back((pid_t)id);
    }
    closedir(directory);
    return ids;
}

// A process id from a line "Field:\t42" of /proc/ID/status; 0 when there is none.
pid_t status_pid(pid_t id, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(id) + "/status");
    const std::string prefix = field + ":";
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, prefix.size(), prefix) == 0) return (pid_t)atoi(line.c_str() + prefix.size());
    return 0;
}

}  // namespace

std::vector<pid_t> process_ids() { return numbered_entries("/proc"); }

std::vector<pid_t> thread_ids(pid_t pid) { return numbered_entries("/proc/" + std::to_string(pid) + "/task"); }

pid_t thread_group_of(pid_t tid) { return status_pid(tid, "Tgid"); }

pid_t tracer_of(pid_t tid) { return status_pid(tid, "TracerPid"); }

}  // namespace hac_tool
