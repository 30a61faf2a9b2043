// The hac tool's processes and signals: stopping on SIGINT, SIGTERM or the
// end of the work, standard input line by line, and other processes looked
// at through /proc.
#ifndef HAC_PROCESS_H
#define HAC_PROCESS_H

#include <stddef.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace hac_tool {

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
// 130 for SIGINT, 143 for SIGTERM: the status a shell gives a command that
// such a signal ended.
int interrupted_status(int sig);

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
// "pid 42 (hac)", or "pid 42" when the name cannot be read.
std::string process_text(pid_t pid);
bool process_alive(pid_t pid);
// Whether a process sees the queues this one sees (true when it cannot be
// told): queue ids count from 0 in every IPC namespace.
bool same_ipc_namespace(pid_t pid);
// Every process, and every thread of a process, that /proc shows.
std::vector<pid_t> process_ids();
std::vector<pid_t> thread_ids(pid_t pid);
// The process a thread belongs to; 0 when the thread is gone.
pid_t thread_group_of(pid_t tid);
// The process that traces a thread; 0 when none does or the thread is gone.
pid_t tracer_of(pid_t tid);

}  // namespace hac_tool

#endif
