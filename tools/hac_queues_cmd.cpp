// hac queues: the three HAC queues as the kernel sees them.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hac_arguments.h"
#include "hac_commands.h"
#include "hac_output.h"
#include "hac_queue_state.h"
#include "hac_wire.h"

// A copy of a waiting message, left in the queue (Linux 3.8 and later, with
// CONFIG_CHECKPOINT_RESTORE); glibc names it only for _GNU_SOURCE.
#ifndef MSG_COPY
#define MSG_COPY 040000
#endif

namespace hac_tool {

namespace {

const char* const kQueuesHelp =
    "Usage: hac queues [--peek [--raw] | --purge | --remove] [--yes] [--json]\n"
    "\n"
    "Shows the three HAC queues: request (0x92101071, manager to browser), reply\n"
    "(0x92101072, browser to manager) and notification (0x92101073, browser to\n"
    "manager): whether each exists, the fragments and bytes waiting in it, and\n"
    "the last process that sent to it and received from it.\n"
    "\n"
    "  --peek     shows what waits in each queue without taking it: each waiting\n"
    "             fragment, joined into whole messages where all their fragments\n"
    "             are there and decoded (a request a dead browser left, the\n"
    "             notifications no manager read); a payload whose fragments are\n"
    "             not all there is shown as such. It copies each fragment with\n"
    "             msgrcv(MSG_COPY), which needs a kernel built with\n"
    "             CONFIG_CHECKPOINT_RESTORE; elsewhere it says so, shows the counts\n"
    "             only and exits 1. The queues may change while it looks.\n"
    "  --raw      with --peek, also each fragment's header words and size\n"
    "  --purge    takes every waiting fragment out of the three queues (a stale\n"
    "             stop order, a half-sent payload, a request nobody answered);\n"
    "             the queues themselves stay\n"
    "  --remove   removes the three queues (a running browser or manager then\n"
    "             loses its channel: stop them first)\n"
    "  --yes      do it without asking; otherwise the terminal is asked\n"
    "  --json     one JSON object per line\n"
    "  --help     this text\n"
    "\n"
    "A queue that another user made with a mode that keeps this one out shows\n"
    "error=\"permission denied: owner ..., mode ...\" instead of its counts, as\n"
    "does a purge or removal that the kernel refuses.\n"
    "\n"
    "Exit status: 0 done; 1 not confirmed, or a queue could not be read, peeked\n"
    "into, purged or removed; 2 bad usage.\n";

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

// ---- peek ----

struct Waiting {
    size_t index;  // position in the queue, from 0
    Fragment fragment;
};

// Before Linux 3.8 the kernel ignores MSG_COPY and the same call takes the
// message out of the queue: there, peek must not call it.
bool kernel_knows_msg_copy() {
    struct utsname name;
    int major = 0, minor = 0;
    if (uname(&name) != 0 || sscanf(name.release, "%d.%d", &major, &minor) != 2) return false;
    return major > 3 || (major == 3 && minor >= 8);
}

// Copies every waiting fragment, oldest first. Returns the errno that ended
// the copying: ENOMSG at the end of the queue.
int copy_waiting(int msqid, std::vector<Waiting>* waiting) {
    std::vector<char> buffer(sizeof(long) + 65536);
    for (size_t index = 0;; ++index) {
        const ssize_t n = msgrcv(msqid, buffer.data(), buffer.size() - sizeof(long), (long)index,
                                 IPC_NOWAIT | MSG_COPY | MSG_NOERROR);
        if (n < 0 && errno == EINTR) {
            --index;
            continue;
        }
        if (n < 0) return errno;
        waiting->push_back({index, parse_fragment(buffer.data(), (size_t)n)});
    }
}

bool is_hac_fragment(const Fragment& fragment) {
    return fragment.size == kHacFragmentSize && fragment.kind >= 0 && fragment.kind <= 4 && fragment.seq >= 1 &&
           (fragment.last == 0 || fragment.last == 1);
}

// The fragments of one payload as they wait: one sender's, in order.
struct WaitingPayload {
    std::vector<size_t> indices;
    Join join;
    bool done;
};

Record waiting_record(const HacQueue& queue, const WaitingPayload& payload) {
    const Join& join = payload.join;
    const bool whole = payload.done && join_whole(join);
    const Decoded decoded = decode_payload(join.bytes, join.kind);
    const std::string name = whole ? decoded.name : "(incomplete payload)";
    Record record("waiting", name, "  waiting " + name);
    Json::Value indices(Json::arrayValue);
    for (size_t index : payload.indices) indices.append((Json::UInt64)index);
    record.add("queue", queue.name).add("fragments", indices).add("transfer", ipc_kind_name(join.kind));
    record.add("mtype", (Json::Int64)join.mtype).add("token", token_text(join.token)).add("bytes", join.total_len);
    record.add("complete", whole);
    if (whole) {
        add_decoded(decoded, &record);
    } else {
        record.add("present", (Json::UInt64)join.bytes.size());
        record.add("message", payload.done ? "fragments out of order or lost: the receiver drops this payload"
                                           : "the rest of the payload is not in the queue (yet)");
    }
    return record;
}

Record odd_fragment_record(const HacQueue& queue, const Waiting& waiting, const std::string& name,
                           const std::string& message) {
    Record record("waiting", name, "  waiting " + name);
    Json::Value indices(Json::arrayValue);
    indices.append((Json::UInt64)waiting.index);
    record.add("queue", queue.name).add("fragments", indices).add("mtype", (Json::Int64)waiting.fragment.mtype);
    record.add("size", (Json::UInt64)waiting.fragment.size).add("complete", false).add("message", message);
    return record;
}

// Joins the waiting fragments into payloads: a first fragment (seq 1)
// begins one, and a later fragment joins the open payload of its message
// type, token and kind that expects its number. Records in queue order.
std::vector<Record> waiting_records(const HacQueue& queue, const std::vector<Waiting>& waiting) {
    std::vector<std::pair<size_t, Record>> records;
    std::vector<WaitingPayload> payloads;
    for (const Waiting& item : waiting) {
        const Fragment& fragment = item.fragment;
        if (!is_hac_fragment(fragment)) {
            records.emplace_back(item.index, odd_fragment_record(queue, item, "(not a HAC fragment)",
                                                                 "not a fragment of 1056 bytes with HAC header words"));
            continue;
        }
        WaitingPayload* open = nullptr;
        for (WaitingPayload& payload : payloads)
            if (!payload.done && payload.join.mtype == fragment.mtype && payload.join.token == fragment.token &&
                payload.join.kind == fragment.kind && payload.join.next_seq == fragment.seq)
                open = &payload;
        if (fragment.seq == 1) {
            payloads.push_back({{}, Join(), false});
            open = &payloads.back();
        }
        if (open == nullptr) {
            records.emplace_back(item.index, odd_fragment_record(queue, item, "(tail of a payload)",
                                                                 "fragment " + std::to_string(fragment.seq) +
                                                                     " of a payload whose start is not in the queue"));
            continue;
        }
        open->indices.push_back(item.index);
        open->done = join_fragment(&open->join, fragment) == JOIN_DONE;
    }
    for (const WaitingPayload& payload : payloads)
        records.emplace_back(payload.indices.front(), waiting_record(queue, payload));
    std::stable_sort(records.begin(), records.end(),
                     [](const std::pair<size_t, Record>& a, const std::pair<size_t, Record>& b) { return a.first < b.first; });
    std::vector<Record> ordered;
    for (auto& entry : records) ordered.push_back(std::move(entry.second));
    return ordered;
}

Record fragment_header_record(const HacQueue& queue, const Waiting& waiting) {
    Record record("fragment", "", "  fragment " + std::to_string(waiting.index));
    record.add("queue", queue.name).add("index", (Json::UInt64)waiting.index);
    add_fragment_fields(waiting.fragment, &record);
    return record;
}

// Shows each queue and what waits in it. Returns the exit status.
int peek_queues(bool raw) {
    int status = EXIT_OK;
    bool copying_works = true;
    for (const HacQueue& queue : kHacQueues) {
        const QueueState state = queue_state(queue.key);
        emit(queue_record(queue, state));
        if (!state.exists) continue;
        if (!state.readable) {
            status = EXIT_FAILED;
            continue;
        }
        if (!copying_works) continue;
        std::vector<Waiting> waiting;
        const int error_number = kernel_knows_msg_copy() ? copy_waiting(state.id, &waiting) : ENOSYS;
        if (error_number == ENOSYS) {
            emit(error_record("this kernel cannot copy a waiting message (msgrcv MSG_COPY needs Linux 3.8 or "
                              "later built with CONFIG_CHECKPOINT_RESTORE): only the counts are shown, nothing "
                              "was taken"));
            copying_works = false;
            status = EXIT_FAILED;
            continue;
        }
        if (raw)
            for (const Waiting& item : waiting) emit(fragment_header_record(queue, item));
        for (const Record& record : waiting_records(queue, waiting)) emit(record);
        if (error_number != ENOMSG) {
            Record error("error", "", "error");
            emit(error.add("queue", queue.name).add("message", failure_text(error_number, state)));
            status = EXIT_FAILED;
        }
    }
    return status;
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
    bool peek = false, raw = false, purge = false, remove = false, yes = false, json = false;
    const std::vector<Option> options = {{"--peek", nullptr, &peek},   {"--raw", nullptr, &raw},
                                         {"--purge", nullptr, &purge}, {"--remove", nullptr, &remove},
                                         {"--yes", nullptr, &yes},     {"--json", nullptr, &json}};
    const int parsed = parse_command_line("queues", kQueuesHelp, args, options);
    if (parsed != kGoOn) return parsed;
    if (purge && remove) return usage_error("queues", "give --purge or --remove, not both");
    if (peek && (purge || remove)) return usage_error("queues", "--peek changes nothing: give it without --purge or --remove");
    if (raw && !peek) return usage_error("queues", "--raw goes with --peek");
    set_output("queues", json);
    if (peek) return peek_queues(raw);
    int status = EXIT_OK;
    for (const HacQueue& queue : kHacQueues) {
        const QueueState state = queue_state(queue.key);
        if (state.exists && !state.readable) status = EXIT_FAILED;
        emit(queue_record(queue, state));
    }
    if (!purge && !remove) return status;

    const std::string question = remove ? "Remove the HAC queues?" : "Take every waiting fragment out of the HAC queues?";
    if (!yes && !confirmed_on_terminal(question)) {
        emit(error_record("nothing changed: not confirmed (pass --yes when no terminal can be asked)"));
        return EXIT_FAILED;
    }
    return change_queues(remove) == EXIT_OK ? status : EXIT_FAILED;
}

}  // namespace hac_tool
