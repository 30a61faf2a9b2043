#include "hac_queue_state.h"

#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#include "hac_message_type.h"
#include "hac_output.h"
#include "hac_process.h"

namespace hac_tool {

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
    const pid_t self = getpid();
    for (pid_t pid : process_ids()) {
        // A queue of another IPC namespace may have the same id.
        if (pid == self || !same_ipc_namespace(pid)) continue;
        const std::string tasks_dir = "/proc/" + std::to_string(pid) + "/task/";
        for (pid_t tid : thread_ids(pid))
            if (thread_waits_on(tasks_dir + std::to_string(tid), msqid)) waiters.push_back({pid, tid});
    }
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
    for (pid_t pid : queue_readers(queue))
        print_warning(command, std::string("the ") + queue.name + " queue (" + key_text(queue.key) +
                                   ") is served already by " + process_text(pid) + ": " + consequence);
}

}  // namespace hac_tool
