// hac queues: the three HAC queues as the kernel sees them.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "hac_tool.h"

namespace hac_tool {

namespace {

const char* const kQueuesHelp =
    "Usage: hac queues [--purge | --remove] [--yes] [--json]\n"
    "\n"
    "Shows the three HAC queues: request (0x92101071, manager to browser), reply\n"
    "(0x92101072, browser to manager) and notification (0x92101073, browser to\n"
    "manager): whether each exists, the fragments and bytes waiting in it, and\n"
    "the last process that sent to it and received from it.\n"
    "\n"
    "  --purge    takes every waiting fragment out of the three queues (a stale\n"
    "             stop order, a half-sent payload, a request nobody answered);\n"
    "             the queues themselves stay\n"
    "  --remove   removes the three queues (a running browser or manager then\n"
    "             loses its channel: stop them first)\n"
    "  --yes      do it without asking; otherwise the terminal is asked\n"
    "  --json     one JSON object per line\n"
    "\n"
    "A queue that another user made with a mode that keeps this one out shows\n"
    "error=\"permission denied: owner ..., mode ...\" instead of its counts, as\n"
    "does a purge or removal that the kernel refuses.\n"
    "\n"
    "Exit status: 0 done; 1 not confirmed, or a queue could not be read,\n"
    "purged or removed; 2 bad usage.\n";

// Why a change of the queue failed.
std::string failure_text(int error_number, const QueueState& state) {
    if (error_number == EACCES || error_number == EPERM) return "permission denied: " + owner_and_mode(state);
    return strerror(error_number);
}

Record queue_record(const HacQueue& queue, const QueueState& state) {
    Record record("queue", queue.name, std::string(queue.name) + " queue");
    record.add("key", key_text(queue.key)).add("exists", state.exists);
    if (state.exists) record.add("id", state.id);
    if (state.exists && state.readable) {
        record.add("messages", (Json::UInt64)state.messages).add("bytes", (Json::UInt64)state.bytes);
        record.add("last_sender_pid", (int)state.last_sender).add("last_receiver_pid", (int)state.last_receiver);
    } else if (state.exists) {
        record.add("error", failure_text(EACCES, state));
        if (state.owner_known) record.add("owner_uid", (Json::UInt64)state.owner).add("mode", mode_text(state.mode));
    }
    return record;
}

// Asks on the terminal, whatever standard input is.
bool confirmed_on_terminal(const std::string& question) {
    const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0) return false;
    const std::string prompt = question + " [y/N] ";
    bool yes = write(tty, prompt.data(), prompt.size()) == (ssize_t)prompt.size();
    char answer[16] = {0};
    yes = yes && read(tty, answer, sizeof answer - 1) > 0 && (answer[0] == 'y' || answer[0] == 'Y');
    close(tty);
    return yes;
}

// Takes fragments off without blocking; MSG_NOERROR lets a fragment larger
// than the buffer go too. Returns the errno that ended it: ENOMSG when the
// queue is empty.
int drain_queue(int id, unsigned long* taken) {
    struct Buffer {
        long mtype;
        char data[8192];
    };
    static Buffer buffer;
    *taken = 0;
    for (;;) {
        if (msgrcv(id, &buffer, sizeof buffer.data, 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
            ++*taken;
        } else if (errno != EINTR) {
            return errno;
        }
    }
}

int change_queues(bool remove) {
    int status = EXIT_OK;
    for (const HacQueue& queue : kHacQueues) {
        const QueueState state = queue_state(queue.key);
        if (!state.exists) continue;
        Record record(remove ? "removed" : "purged", queue.name, std::string(queue.name) + (remove ? " queue removed" : " queue purged"));
        int error_number = 0;
        if (remove) {
            if (msgctl(state.id, IPC_RMID, nullptr) != 0) error_number = errno;
            record.add("removed", error_number == 0);
        } else {
            unsigned long taken = 0;
            error_number = drain_queue(state.id, &taken);
            if (error_number == ENOMSG) error_number = 0;
            record.add("fragments", (Json::UInt64)taken);
        }
        if (error_number != 0) {
            record.add("error", failure_text(error_number, state));
            status = EXIT_FAILED;
        }
        emit(record);
    }
    return status;
}

}  // namespace

int queues_main(const std::vector<std::string>& args) {
    bool purge = false, remove = false, yes = false, json = false, help = false;
    std::vector<std::string> positional;
    std::string error;
    const std::vector<Option> options = {{"--purge", nullptr, &purge}, {"--remove", nullptr, &remove},
                                         {"--yes", nullptr, &yes},     {"--json", nullptr, &json},
                                         {"--help", nullptr, &help},   {"-h", nullptr, &help}};
    if (!parse_options(args, options, &positional, &error)) return usage_error("queues", error);
    if (help) {
        print_text(kQueuesHelp);
        return EXIT_OK;
    }
    if (!positional.empty()) return usage_error("queues", "unexpected argument '" + positional[0] + "'");
    if (purge && remove) return usage_error("queues", "give --purge or --remove, not both");
    set_output("queues", json);
    int status = EXIT_OK;
    for (const HacQueue& queue : kHacQueues) {
        const QueueState state = queue_state(queue.key);
        if (state.exists && !state.readable) status = EXIT_FAILED;
        emit(queue_record(queue, state));
    }
    if (!purge && !remove) return status;

    const std::string question = remove ? "Remove the HAC queues?" : "Take every waiting fragment out of the HAC queues?";
    if (!yes && !confirmed_on_terminal(question)) {
        Record refused("error", "", "error");
        emit(refused.add("message", "nothing changed: not confirmed (pass --yes when no terminal can be asked)"));
        return EXIT_FAILED;
    }
    return change_queues(remove) == EXIT_OK ? status : EXIT_FAILED;
}

}  // namespace hac_tool
