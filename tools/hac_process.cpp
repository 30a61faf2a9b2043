#include "hac_process.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

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

bool process_alive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

pid_t thread_group_of(pid_t tid) {
    std::ifstream status("/proc/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 5, "Tgid:") == 0) return (pid_t)atoi(line.c_str() + 5);
    return 0;
}

}  // namespace hac_tool
