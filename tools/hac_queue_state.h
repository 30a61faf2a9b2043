// The three HAC queues seen from outside, as msgctl and /proc show them:
// whether each exists and may be used, what waits in it, who owns it, and
// which processes read it; the warnings the subcommands give about them.
#ifndef HAC_QUEUE_STATE_H
#define HAC_QUEUE_STATE_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace hac_tool {

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

}  // namespace hac_tool

#endif
