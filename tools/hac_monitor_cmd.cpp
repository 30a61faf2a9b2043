// hac monitor: watches the HAC messages a running browser and application
// manager send and receive, without taking part.
//
// The monitor traces the processes' system calls (ptrace, PTRACE_SYSCALL on
// every thread) and reads each fragment that msgsnd hands to the kernel or
// msgrcv takes from it out of the process's memory. It takes nothing from a
// queue and sends nothing. It leaves nothing behind in the traced
// processes: no seccomp filter (a filter that asks for a tracer makes its
// calls fail with ENOSYS once the tracer is gone, and it can never be
// removed), no PTRACE_O_EXITKILL. When the monitor ends, however it ends,
// the kernel detaches its tracees; a thread stopped at a system call goes on
// with it (PTRACE_O_TRACESYSGOOD makes the stop's code one that is never
// taken for a signal), and a thread blocked in the kernel never noticed.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <fstream>
#include <map>
#include <set>
#include <tuple>

#include "hac_arguments.h"
#include "hac_commands.h"
#include "hac_output.h"
#include "hac_process.h"
#include "hac_queue_state.h"
#include "hac_trace.h"
#include "hac_wire.h"
#include "vetu_ipc.h"

namespace hac_tool {

namespace {

const char* const kMonitorHelp =
    "Usage: hac monitor [--pid PID ...] [--raw] [--json]\n"
    "\n"
    "Watches the HAC channel: prints every HAC message that the browser and the\n"
    "application manager send and receive, decoded, as they pass: the time\n"
    "(microseconds), the process and what it did (sent or received), the\n"
    "message's name and \"t\", its members (AIT records field by field, as\n"
    "'hac browser' prints them), the queue, the transfer (message, request,\n"
    "reply, no-reply, stop), the payload's token and, for an answer,\n"
    "the time since its request was first seen (rtt_us). When both processes\n"
    "are watched, each message shows twice: sent by one, received by the other;\n"
    "a message received is never shown before it was sent.\n"
    "\n"
    "Without --pid it watches the processes that wait on the request queue (the\n"
    "browser) and on the notification queue (the application manager); --pid,\n"
    "repeatable, names the processes instead.\n"
    "\n"
    "  --raw    also every fragment: the header words and sizes, and sends that\n"
    "           the queue refused (a full queue)\n"
    "  --json   one JSON object per line\n"
    "  --help   this text\n"
    "\n"
    "The monitor takes part in nothing: it takes no message from a queue and\n"
    "sends none. It traces the processes' system calls (ptrace), which slows\n"
    "them while it watches (every system call of theirs stops twice), and\n"
    "leaves nothing in them: Ctrl-C, SIGTERM or the monitor being killed leave\n"
    "both processes running as before. A process that exits is reported; the\n"
    "monitor goes on with the other and ends when none is left. Tracing needs\n"
    "the right to trace (the same user, and kernel.yama.ptrace_scope 0, or root);\n"
    "a process that another tracer (a debugger) traces cannot be watched.\n"
    "\n"
    "Exit status: 0 stopped by SIGINT or SIGTERM, or no process left; 1 no\n"
    "process to watch or tracing impossible here; 2 bad usage; 4 a process\n"
    "this user may not trace.\n";

typedef std::chrono::steady_clock Clock;

enum Operation { SENT = 0, RECEIVED = 1 };
const char* const kOperationNames[2] = {"sent", "received"};

struct Process {
    pid_t pid;
    std::string role;  // "browser", "manager", or empty until its traffic tells
    std::string name;  // comm
    int threads;
};

// A traced thread.
struct Thread {
    pid_t tid;
    pid_t pid;
    bool in_syscall;   // between its entry and its exit stop
    bool in_call;      // that call is msgsnd or msgrcv on a HAC queue
    long number;
    unsigned long args[6];
    int queue;         // index in kHacQueues
    long long time_us;
    std::string fragment;   // msgsnd: the fragment read at the entry stop
    bool counts_send;       // msgsnd: its entry holds back receives of its payload
    int32_t send_token;
};

// Sends of a payload that are under way or not yet printed, by queue and
// token: a receive of that payload is printed only after them.
typedef std::pair<int, int32_t> PayloadKey;

// Records waiting to be printed: those of one thread in order, and a
// receive after the send of its payload.
struct Pending {
    std::vector<Record> records;
    pid_t tid;
    bool waits;
    PayloadKey wait_key;
    bool settles;
    PayloadKey settle_key;
};

// The time a request was first seen, for its answer's round trip.
struct ZeroTokenRequest {
    long long time_us;
    bool answered[2];
};

struct Monitor {
    bool raw = false;
    std::map<pid_t, Process> processes;
    std::map<pid_t, Thread> threads;
    std::map<std::tuple<pid_t, int, int>, Join> joins;  // tid, queue, operation
    std::map<std::tuple<pid_t, int, int>, std::vector<long long>> join_times_us;  // of each fragment
    std::map<PayloadKey, int> unsettled;
    std::deque<Pending> pending;
    std::map<int32_t, long long> request_time_us;
    std::deque<int32_t> request_order;
    std::deque<ZeroTokenRequest> zero_token_requests;
    int queue_ids[3] = {-1, -1, -1};
    Clock::time_point ids_read;
    bool stopping = false;
    std::set<pid_t> warned;
};

Monitor g_monitor;

// ---- time ----

long long now_us() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

std::string clock_text(long long time_us) {
    const time_t seconds = (time_t)(time_us / 1000000);
    struct tm local;
    localtime_r(&seconds, &local);
    char text[32];
    snprintf(text, sizeof text, "%02d:%02d:%02d.%06lld", local.tm_hour, local.tm_min, local.tm_sec,
             time_us % 1000000);
    return text;
}

// ---- the HAC queues by identifier ----

void read_queue_ids() {
    for (int i = 0; i < 3; ++i) {
        const QueueState state = queue_state(kHacQueues[i].key);
        g_monitor.queue_ids[i] = state.exists ? state.id : -1;
    }
    g_monitor.ids_read = Clock::now();
}

// A queue made anew (a browser started again after a removal) has a new
// identifier: an unknown one makes the monitor look again, at most every
// 50 ms, since a host may use other queues as well.
int queue_index(unsigned long msqid) {
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < 3; ++i)
            if (g_monitor.queue_ids[i] >= 0 && (unsigned long)g_monitor.queue_ids[i] == msqid) return i;
        if (pass == 1 || Clock::now() - g_monitor.ids_read < std::chrono::milliseconds(50)) break;
        read_queue_ids();
    }
    return -1;
}

// ---- output ----

std::string label(const Process& process) { return process.role.empty() ? process.name : process.role; }

Record event_record(const std::string& kind, const std::string& name, const Process& process, Operation operation,
                    int queue, long long time_us, const std::string& what) {
    Record record(kind, name,
                  clock_text(time_us) + " " + label(process) + " " + std::to_string(process.pid) + " " +
                      kOperationNames[operation] + " " + what);
    record.add_json("time", clock_text(time_us)).add_json("time_us", (Json::Int64)time_us);
    record.add_json("pid", (int)process.pid).add_json("role", process.role).add_json("process", process.name);
    record.add_json("op", kOperationNames[operation]);
    record.add("queue", kHacQueues[queue].name);
    record.add_json("direction", queue == 0 ? "manager->browser" : "browser->manager");
    return record;
}

int unsettled_sends(const PayloadKey& key) {
    const auto found = g_monitor.unsettled.find(key);
    return found == g_monitor.unsettled.end() ? 0 : found->second;
}

void settle(const PayloadKey& key) {
    auto found = g_monitor.unsettled.find(key);
    if (found == g_monitor.unsettled.end()) return;
    if (--found->second <= 0) g_monitor.unsettled.erase(found);
}

// Prints what may be printed; with force, everything, in order.
void flush_pending(bool force) {
    bool progress = true;
    while (progress) {
        progress = false;
        std::set<pid_t> held;
        for (auto it = g_monitor.pending.begin(); it != g_monitor.pending.end();) {
            const bool ready = force || (held.count(it->tid) == 0 && !(it->waits && unsettled_sends(it->wait_key) > 0));
            if (!ready) {
                held.insert(it->tid);
                ++it;
                continue;
            }
            for (const Record& record : it->records) emit(record);
            if (it->settles) settle(it->settle_key);
            it = g_monitor.pending.erase(it);
            progress = true;
        }
    }
}

void submit(Pending pending) {
    g_monitor.pending.push_back(std::move(pending));
    flush_pending(false);
}

void emit_now(const Record& record) {
    flush_pending(true);
    emit(record);
}

// ---- round trips ----

void note_request(int32_t token, long long time_us) {
    if (token == 0) {
        g_monitor.zero_token_requests.push_back({time_us, {false, false}});
        if (g_monitor.zero_token_requests.size() > 256) g_monitor.zero_token_requests.pop_front();
        return;
    }
    if (!g_monitor.request_time_us.emplace(token, time_us).second) return;
    g_monitor.request_order.push_back(token);
    if (g_monitor.request_order.size() > 4096) {
        g_monitor.request_time_us.erase(g_monitor.request_order.front());
        g_monitor.request_order.pop_front();
    }
}

// The time of the request this answer answers: by token, or, for peers
// that write no token, the oldest request not yet answered on this side.
bool request_time_of(int32_t token, Operation operation, long long* time_us) {
    if (token != 0) {
        const auto found = g_monitor.request_time_us.find(token);
        if (found == g_monitor.request_time_us.end()) return false;
        *time_us = found->second;
        return true;
    }
    auto& requests = g_monitor.zero_token_requests;
    for (ZeroTokenRequest& request : requests) {
        if (request.answered[operation]) continue;
        request.answered[operation] = true;
        *time_us = request.time_us;
        while (!requests.empty() && requests.front().answered[0] && requests.front().answered[1]) requests.pop_front();
        return true;
    }
    return false;
}

// ---- roles ----

void learn_role(Process* process, int queue, Operation operation, int ipc_kind) {
    if (!process->role.empty()) return;
    if (queue == 0 && operation == RECEIVED) process->role = "browser";
    if (queue == 2 && operation == RECEIVED) process->role = "manager";
    if (queue == 0 && operation == SENT && (ipc_kind == IPC_KIND_MESSAGE || ipc_kind == IPC_KIND_REQUEST))
        process->role = "manager";
}

// ---- a fragment passed ----

Record fragment_record(const Process& process, Operation operation, int queue, long long time_us,
                       const Fragment& fragment) {
    Record record = event_record("fragment", "", process, operation, queue, time_us, "fragment");
    add_fragment_fields(fragment, &record);
    return record;
}

// A whole payload passed: its message, after its fragments with --raw.
void payload_passed(Process* process, const Thread& thread, Operation operation, int queue, const Join& join,
                    long long time_us, const std::vector<long long>& fragment_times_us) {
    learn_role(process, queue, operation, join.kind);
    Pending pending;
    pending.tid = thread.tid;
    pending.waits = operation == RECEIVED;
    pending.wait_key = PayloadKey(queue, join.token);
    pending.settles = operation == SENT;
    pending.settle_key = pending.wait_key;
    if (g_monitor.raw)
        for (size_t i = 0; i < join.fragments.size(); ++i)
            pending.records.push_back(fragment_record(*process, operation, queue,
                                                      i < fragment_times_us.size() ? fragment_times_us[i] : time_us,
                                                      join.fragments[i]));

    const Decoded decoded = decode_payload(join.bytes, join.kind);
    Record record = event_record("message", decoded.name, *process, operation, queue, time_us, decoded.name);
    record.add("transfer", ipc_kind_name(join.kind));
    record.add_json("mtype", (Json::Int64)join.mtype).add("token", token_text(join.token));
    record.add_json("bytes", join.total_len).add_json("fragments", (int)join.fragments.size());
    if (!join_whole(join)) record.add("problem", "fragments missing or out of order: the payload is not whole");
    add_decoded(decoded, &record);
    if (join.kind == IPC_KIND_REQUEST) note_request(join.token, time_us);
    long long asked_us = 0;
    if ((join.kind == IPC_KIND_REPLY || join.kind == IPC_KIND_NO_REPLY) &&
        request_time_of(join.token, operation, &asked_us))
        record.add("rtt_us", (Json::Int64)(time_us - asked_us));
    pending.records.push_back(record);
    submit(std::move(pending));
}

// A fragment that msgsnd put on a queue or msgrcv took from it.
void fragment_passed(Thread* thread, Operation operation, const Fragment& fragment, long long time_us) {
    Process& process = g_monitor.processes[thread->pid];
    const auto key = std::make_tuple(thread->tid, thread->queue, (int)operation);
    Join& join = g_monitor.joins[key];
    std::vector<long long>& times = g_monitor.join_times_us[key];
    if (fragment.whole_header && fragment.seq == 1) times.clear();
    const JoinResult result = join_fragment(&join, fragment);
    if (result != JOIN_STRAY) times.push_back(time_us);
    if (result == JOIN_DONE) {
        // A send is timed by its first fragment, a receive by its last.
        payload_passed(&process, *thread, operation, thread->queue, join, operation == SENT ? times.front() : time_us,
                       times);
        times.clear();
        return;
    }
    if (operation == SENT && fragment.whole_header) settle(PayloadKey(thread->queue, fragment.token));
    if (result == JOIN_STRAY) {
        Pending pending = {{}, thread->tid, false, PayloadKey(), false, PayloadKey()};
        Record record = fragment_record(process, operation, thread->queue, time_us, fragment);
        record.add("problem", "not part of a payload whose start was seen");
        pending.records.push_back(record);
        submit(std::move(pending));
    }
}

// ---- system-call stops ----

void warn_once(pid_t pid, const std::string& message) {
    if (!g_monitor.warned.insert(pid).second) return;
    Record warning("warning", "", "warning");
    emit_now(warning.add("pid", (int)pid).add("message", message));
}

bool read_fragment_bytes(const Thread& thread, unsigned long address, size_t size, std::string* bytes) {
    // A HAC fragment is 1056 bytes; a larger message is read only in part.
    const size_t kMost = 65536;
    bytes->resize(sizeof(long) + (size < kMost ? size : kMost));
    if (read_process_memory(thread.pid, address, &(*bytes)[0], bytes->size())) return true;
    warn_once(thread.pid, "cannot read a fragment in the memory of pid " + std::to_string(thread.pid) + ": " +
                              strerror(errno));
    return false;
}

void syscall_entry(Thread* thread, const SyscallStop& stop) {
    thread->number = stop.number;
    memcpy(thread->args, stop.args, sizeof stop.args);
    thread->in_call = false;
    thread->counts_send = false;
    if (stop.number != kSysMsgsnd && stop.number != kSysMsgrcv) return;
    thread->queue = queue_index(stop.args[0]);
    if (thread->queue < 0) return;
    thread->in_call = true;
    thread->time_us = now_us();
    if (stop.number != kSysMsgsnd) return;
    // The fragment is read before the kernel has it: a receiver may take
    // it before this thread's exit stop is seen, and its receive is held
    // back until this send is printed.
    if (!read_fragment_bytes(*thread, stop.args[1], stop.args[2], &thread->fragment)) {
        thread->in_call = false;
        return;
    }
    const Fragment fragment = parse_fragment(thread->fragment.data(), thread->fragment.size() - sizeof(long));
    if (!fragment.whole_header) return;
    thread->counts_send = true;
    thread->send_token = fragment.token;
    ++g_monitor.unsettled[PayloadKey(thread->queue, fragment.token)];
}

void refused_send(Thread* thread, long error) {
    if (!g_monitor.raw) return;
    const Fragment fragment = parse_fragment(thread->fragment.data(), thread->fragment.size() - sizeof(long));
    Process& process = g_monitor.processes[thread->pid];
    Record record = fragment_record(process, SENT, thread->queue, thread->time_us, fragment);
    record.title = clock_text(thread->time_us) + " " + label(process) + " " + std::to_string(process.pid) +
                   " could not send fragment";
    record.add_json("op", "refused");
    record.add("error", std::string(strerrorname_np((int)-error) ? strerrorname_np((int)-error) : "error") + " (" +
                            strerror((int)-error) + ")");
    submit({{record}, thread->tid, false, PayloadKey(), false, PayloadKey()});
}

// At the exit stop: what the call passed, if anything. received holds the
// fragment msgrcv took, read before the thread went on.
void syscall_exit(Thread* thread, long result, const std::string& received, long long time_us) {
    thread->in_call = false;
    if (thread->number == kSysMsgsnd) {
        if (result != 0) {
            if (thread->counts_send) settle(PayloadKey(thread->queue, thread->send_token));
            refused_send(thread, result);
            return;
        }
        const Fragment fragment = parse_fragment(thread->fragment.data(), thread->fragment.size() - sizeof(long));
        fragment_passed(thread, SENT, fragment, thread->time_us);
        return;
    }
    // Nothing taken: interrupted, no message (IPC_NOWAIT), queue removed.
    if (result < 0 || received.empty()) return;
    fragment_passed(thread, RECEIVED, parse_fragment(received.data(), received.size() - sizeof(long)), time_us);
}

// ---- threads and processes ----

Thread* thread_of(pid_t tid) {
    auto found = g_monitor.threads.find(tid);
    if (found != g_monitor.threads.end()) return &found->second;
    // A thread started by a traced one is traced from its start, and may
    // report before the clone event that names it.
    Thread thread = Thread();
    thread.tid = tid;
    thread.pid = thread_group_of(tid);
    if (g_monitor.processes.count(thread.pid) == 0) thread.pid = tid;
    return &(g_monitor.threads[tid] = thread);
}

// A thread that ends in a send leaves nothing to wait for.
void forget_thread(pid_t tid) {
    auto found = g_monitor.threads.find(tid);
    if (found == g_monitor.threads.end()) return;
    if (found->second.in_call && found->second.counts_send)
        settle(PayloadKey(found->second.queue, found->second.send_token));
    g_monitor.threads.erase(found);
    for (int queue = 0; queue < 3; ++queue)
        for (int operation : {SENT, RECEIVED}) {
            g_monitor.joins.erase(std::make_tuple(tid, queue, operation));
            g_monitor.join_times_us.erase(std::make_tuple(tid, queue, operation));
        }
    flush_pending(false);
}

std::string exit_text(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    const int sig = WTERMSIG(status);
    return std::string("killed by ") + (sigabbrev_np(sig) ? std::string("SIG") + sigabbrev_np(sig) : std::to_string(sig));
}

void thread_ended(pid_t tid, int status) {
    const pid_t pid = g_monitor.threads.count(tid) ? g_monitor.threads[tid].pid : tid;
    forget_thread(tid);
    auto process = g_monitor.processes.find(tid);
    if (process == g_monitor.processes.end() || pid != tid) return;
    Record record("exited", "", label(process->second) + " " + std::to_string(tid) + " exited");
    record.add("pid", (int)tid).add("role", process->second.role).add("process", process->second.name);
    record.add("how", exit_text(status));
    emit_now(record);
    g_monitor.processes.erase(process);
}

bool is_stop_signal(int sig) { return sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU; }

// Lets the thread go on: tracing its next system call, or, once the monitor
// stops, untraced. A thread in a group stop (SIGSTOP) stays stopped.
void resume(pid_t tid, int sig, bool group_stop) {
    if (g_monitor.stopping) {
        ptrace(PTRACE_DETACH, tid, nullptr, (void*)(long)(group_stop ? 0 : sig));
        return;
    }
    if (group_stop)
        ptrace(PTRACE_LISTEN, tid, nullptr, nullptr);
    else
        ptrace(PTRACE_SYSCALL, tid, nullptr, (void*)(long)sig);
}

void syscall_stopped(pid_t tid) {
    Thread* thread = thread_of(tid);
    SyscallStop stop;
    std::string error;
    if (!read_syscall_stop(tid, &stop, &error)) {
        warn_once(thread->pid, process_text(thread->pid) + ": " + error + "; its calls are not shown");
        thread->in_syscall = !thread->in_syscall;
        thread->in_call = false;
        resume(tid, 0, false);
        return;
    }
    // What is read from the thread is read while it stands still; it is
    // decoded and printed after the thread goes on.
    thread->in_syscall = !thread->in_syscall;
    if (thread->in_syscall) {
        syscall_entry(thread, stop);
        resume(tid, 0, false);
        return;
    }
    if (!thread->in_call) {
        resume(tid, 0, false);
        return;
    }
    std::string received;
    if (thread->number == kSysMsgrcv && stop.result >= 0 &&
        !read_fragment_bytes(*thread, thread->args[1], (size_t)stop.result, &received))
        received.clear();
    const long long time_us = now_us();
    resume(tid, 0, false);
    syscall_exit(thread, stop.result, received, time_us);
}

void event_stopped(pid_t tid, int status) {
    const int event = status >> 16;
    const int sig = WSTOPSIG(status);
    if (event == PTRACE_EVENT_CLONE) {
        unsigned long child = 0;
        ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &child);
        Thread* parent = thread_of(tid);
        Thread* thread = thread_of((pid_t)child);
        thread->pid = parent->pid;
        resume(tid, 0, false);
        return;
    }
    if (event == PTRACE_EVENT_EXEC) {
        // Every other thread of the process is gone; the one that called
        // execve now has the process's id and is inside that call.
        unsigned long former = 0;
        ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &former);
        if ((pid_t)former != tid) forget_thread((pid_t)former);
        Thread* thread = thread_of(tid);
        thread->in_syscall = true;
        thread->in_call = false;
        auto process = g_monitor.processes.find(thread->pid);
        if (process != g_monitor.processes.end()) {
            process->second.name = process_name(thread->pid);
            Record record("exec", "", label(process->second) + " " + std::to_string(thread->pid) + " runs a new program");
            emit_now(record.add("pid", (int)thread->pid).add("process", process->second.name));
        }
        resume(tid, 0, false);
        return;
    }
    if (event == PTRACE_EVENT_STOP) {
        thread_of(tid);
        resume(tid, 0, is_stop_signal(sig));
        return;
    }
    if (event != 0) {
        resume(tid, 0, false);
        return;
    }
    // A signal on its way to the thread: it gets it as it would untraced.
    thread_of(tid);
    resume(tid, sig, false);
}

void handle_wait_status(pid_t tid, int status) {
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
        thread_ended(tid, status);
        return;
    }
    if (!WIFSTOPPED(status)) return;
    if (WSTOPSIG(status) == (SIGTRAP | 0x80)) {
        syscall_stopped(tid);
        return;
    }
    event_stopped(tid, status);
}

// ---- attaching ----

// Why this user may not trace the process, as far as can be seen.
std::string refusal_text(pid_t pid) {
    const pid_t tracer = tracer_of(pid);
    if (tracer != 0)
        return "may not trace " + process_text(pid) + ": it is traced already by " + process_text(tracer) +
               " (a debugger or another monitor)";
    std::string why = "may not trace " + process_text(pid) + ": permission denied";
    struct stat info;
    if (stat(("/proc/" + std::to_string(pid)).c_str(), &info) == 0 && info.st_uid != geteuid())
        why += "; it runs as uid " + std::to_string(info.st_uid) + ", this monitor as uid " + std::to_string(geteuid());
    std::ifstream scope_file("/proc/sys/kernel/yama/ptrace_scope");
    int scope = 0;
    if (scope_file >> scope && scope > 0)
        why += "; kernel.yama.ptrace_scope is " + std::to_string(scope) +
               (scope == 1 ? " (only a process's ancestors may trace it: run as root)" : " (run as root)");
    return why;
}

struct AttachFailure {
    int status;
    std::string message;
};

// Seizes every thread of the process, looking again until no new thread
// shows up, then interrupts each so that it can be set to stop at system
// calls. Threads the seized ones start later are traced from their start
// (PTRACE_O_TRACECLONE).
bool attach_process(pid_t pid, AttachFailure* failure) {
    const long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC;
    std::set<pid_t> seized;
    for (bool found_new = true; found_new;) {
        found_new = false;
        for (pid_t tid : thread_ids(pid)) {
            if (seized.count(tid)) continue;
            if (ptrace(PTRACE_SEIZE, tid, nullptr, (void*)options) == 0) {
                seized.insert(tid);
                Thread thread = Thread();
                thread.tid = tid;
                thread.pid = pid;
                g_monitor.threads[tid] = thread;
                found_new = true;
                continue;
            }
            const int error = errno;
            if (error == ESRCH) continue;  // ended meanwhile
            if (error == EPERM && tracer_of(tid) == getpid()) {
                seized.insert(tid);  // started by a seized thread: traced already
                continue;
            }
            if (error == EPERM) {
                *failure = {EXIT_NOT_PERMITTED, refusal_text(pid)};
            } else {
                *failure = {EXIT_FAILED, "cannot trace " + process_text(pid) + ": ptrace: " + strerror(error) +
                                             (error == ENOSYS || error == EIO
                                                  ? " (system-call tracing is not available here: an emulator such as "
                                                    "qemu-user does not provide it)"
                                                  : "")};
            }
            return false;
        }
    }
    if (seized.empty()) {
        *failure = {EXIT_FAILED, "no process " + std::to_string(pid)};
        return false;
    }
    for (pid_t tid : seized) ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr);
    Process& process = g_monitor.processes[pid];
    process.pid = pid;
    process.name = process_name(pid);
    process.threads = (int)seized.size();
    return true;
}

// ---- choosing the processes ----

// The processes that wait on the request queue (browsers) and on the
// notification queue (application managers).
std::map<pid_t, std::string> waiting_roles() {
    std::map<pid_t, std::string> roles;
    const struct {
        int queue;
        const char* role;
    } sides[] = {{0, "browser"}, {2, "manager"}};
    for (const auto& side : sides) {
        const QueueState state = queue_state(kHacQueues[side.queue].key);
        if (!state.exists) continue;
        for (const QueueWaiter& waiter : queue_waiters(state.id)) roles.emplace(waiter.pid, side.role);
    }
    return roles;
}

[[noreturn]] void fail(int status, const std::string& message) {
    emit_now(error_record(message));
    finish(status);
}

std::vector<pid_t> choose_processes(const std::vector<std::string>& pid_texts,
                                    const std::map<pid_t, std::string>& roles) {
    std::vector<pid_t> pids;
    if (pid_texts.empty()) {
        for (const auto& entry : roles) pids.push_back(entry.first);
        if (pids.empty())
            fail(EXIT_FAILED, "no browser or application manager found: no process waits on the request or "
                              "notification queue (name the processes with --pid)");
        for (const char* role : {"browser", "manager"}) {
            bool found = false;
            for (const auto& entry : roles) found = found || entry.second == role;
            if (found) continue;
            Record note("note", "", "note");
            emit(note.add("message", std::string("no ") + (role[0] == 'b' ? "browser" : "application manager") +
                                         " found: no process waits on the " +
                                         (role[0] == 'b' ? "request" : "notification") + " queue"));
        }
        return pids;
    }
    for (const std::string& text : pid_texts) {
        int pid = 0;
        parse_int(text, &pid);
        if (pid == getpid()) fail(EXIT_USAGE, "the monitor cannot watch itself");
        if (!process_alive(pid)) fail(EXIT_FAILED, "no process " + text);
        pids.push_back(pid);
    }
    return pids;
}

// ---- the loop ----

sigset_t monitor_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGCHLD}) sigaddset(&set, sig);
    return set;
}

// Handles every stop the kernel has for the monitor; false when no traced
// thread is left.
bool take_stops() {
    for (;;) {
        int status = 0;
        const pid_t tid = waitpid(-1, &status, __WALL | WNOHANG);
        if (tid > 0) {
            handle_wait_status(tid, status);
            continue;
        }
        if (tid < 0 && errno == EINTR) continue;
        return !(tid < 0 && errno == ECHILD);
    }
}

Record watching_record() {
    Record record("watching", "", "watching");
    std::string title = "watching";
    for (const auto& entry : g_monitor.processes) {
        const Process& process = entry.second;
        title += " " + label(process) + " " + std::to_string(process.pid) + " (" + process.name + ", " +
                 std::to_string(process.threads) + " threads)";
    }
    record.title = title + " (Ctrl-C stops; the processes go on)";
    Json::Value list(Json::arrayValue);
    for (const auto& entry : g_monitor.processes) {
        Json::Value process(Json::objectValue);
        process["pid"] = (int)entry.second.pid;
        process["role"] = entry.second.role;
        process["process"] = entry.second.name;
        process["threads"] = entry.second.threads;
        list.append(process);
    }
    record.add_json("processes", list);
    return record;
}

// Detaches the threads that stand stopped now; the kernel detaches the
// others when the monitor ends, without interrupting what they do.
[[noreturn]] void stop_watching(const char* by) {
    g_monitor.stopping = true;
    take_stops();
    flush_pending(true);
    Record record("detached", "", "detached, the processes go on");
    emit(record.add("by", by));
    finish(EXIT_OK);
}

}  // namespace

int monitor_main(const std::vector<std::string>& args) {
    bool json = false, raw = false;
    std::vector<std::string> pid_texts;
    std::string unused;
    const std::vector<Option> options = {{"--pid", &unused, nullptr, &pid_texts}, {"--raw", nullptr, &raw},
                                         {"--json", nullptr, &json}};
    const int parsed = parse_command_line("monitor", kMonitorHelp, args, options);
    if (parsed != kGoOn) return parsed;
    for (const std::string& text : pid_texts) {
        int pid = 0;
        if (!parse_int(text, &pid) || pid <= 0) return usage_error("monitor", "--pid wants a process id, got '" + text + "'");
    }
    set_output("monitor", json);
    if (!tracing_supported()) fail(EXIT_FAILED, "the monitor does not know the registers of this architecture");
    g_monitor.raw = raw;

    const sigset_t set = monitor_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGCHLD, SIG_DFL);
    signal(SIGPIPE, SIG_IGN);
    // The monitor never waits for its reader: a blocked write would stop
    // the traced processes with it.
    start_output_thread(8u << 20);

    read_queue_ids();
    const std::map<pid_t, std::string> roles = waiting_roles();
    const std::vector<pid_t> pids = choose_processes(pid_texts, roles);
    for (pid_t pid : pids)
        if (!same_ipc_namespace(pid))
            fail(EXIT_FAILED, process_text(pid) + " uses another IPC namespace: its queues are not the ones seen here");
    for (pid_t pid : pids) {
        AttachFailure failure;
        if (!attach_process(pid, &failure)) fail(failure.status, failure.message);
        const auto role = roles.find(pid);
        if (role != roles.end()) g_monitor.processes[pid].role = role->second;
    }
    emit(watching_record());

    for (;;) {
        if (!take_stops()) {
            flush_pending(true);
            Record ended("ended", "", "no process left to watch");
            emit(ended.add("message", "no process left to watch"));
            finish(EXIT_OK);
        }
        const timespec second = {1, 0};
        const int sig = sigtimedwait(&set, nullptr, &second);
        if (sig == SIGINT || sig == SIGTERM) stop_watching(signal_label(sig));
        if (sig == SIGUSR1) stop_watching("output closed");
    }
}

}  // namespace hac_tool
