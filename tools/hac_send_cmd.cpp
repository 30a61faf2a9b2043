// hac send: puts one raw payload on a HAC queue, cut into fragments as an
// endpoint of the library cuts it, and prints the answer to a request.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "hac_arguments.h"
#include "hac_commands.h"
#include "hac_message_type.h"
#include "hac_output.h"
#include "hac_process.h"
#include "hac_queue_state.h"
#include "hac_wire.h"
#include "vetu_ipc.h"

namespace hac_tool {

namespace {

const char* const kSendHelp =
    "Usage: hac send [options] TEXT\n"
    "       hac send [options] --file FILE\n"
    "\n"
    "Puts one payload on a HAC queue, cut into fragments as an endpoint of the\n"
    "library cuts it, with the kind, message type and token given: to reproduce\n"
    "a report from the field, or to try a peer's reaction to a message the\n"
    "library would never write. The text is sent as it is, byte for byte (it\n"
    "need not be JSON); a HAC message is a JSON object with \"t\", such as\n"
    "'{\"t\": 103, \"appid\": 1, \"orgid\": 2}'. A request then waits for its answer on\n"
    "the reply queue and prints it, raw and decoded.\n"
    "\n"
    "Options:\n"
    "  --queue request|reply|notification   the queue (default request); it\n"
    "                  must exist: the browser makes the request and reply\n"
    "                  queues, the application manager the notification queue\n"
    "  --kind K        message|request|reply|no-reply|stop or a number: the kind\n"
    "                  word of every fragment (default message); request only on\n"
    "                  the request queue\n"
    "  --mtype N       the queue message type (default 1, which every HAC\n"
    "                  endpoint reads; 1 to the largest long)\n"
    "  --token N       the payload's token, decimal or 0x hexadecimal (default\n"
    "                  a fresh random one; 0 as a peer that names nothing)\n"
    "  --file FILE     the text from a file, at most 1048576 bytes\n"
    "  --timeout S     how long a full queue may refuse a fragment, and how long\n"
    "                  a request waits for its answer (default 5; 0.001 to 86400)\n"
    "  --json          one JSON object per line\n"
    "  --help          this text\n"
    "\n"
    "The answer is taken from the reply queue as a client takes it: an answer\n"
    "to another request that comes first is taken too (and shown), and the\n"
    "client that waits for it loses it. Send requests while no application\n"
    "manager waits for an answer.\n"
    "\n"
    "Exit status: 0 sent (a request: and answered); 1 the queue does not exist,\n"
    "may not be used, or stayed full; 2 bad usage; 3 no answer within --timeout;\n"
    "130 (SIGINT) or 143 (SIGTERM) interrupted while waiting for the answer.\n";

const size_t kMaxTextBytes = 1 << 20;
const size_t kChunkSize = HAC_IPC_CHUNK_SIZE;

struct SendRequest {
    int queue;  // index in kHacQueues
    int kind;
    long mtype;
    int32_t token;
    std::string text;
    double timeout_seconds;
};

bool parse_kind(const std::string& text, int* kind) {
    for (int value = IPC_KIND_STOP; value <= IPC_KIND_NO_REPLY; ++value) {
        if (text == ipc_kind_name(value)) {
            *kind = value;
            return true;
        }
    }
    return parse_int(text, kind);
}

bool parse_token(const std::string& text, int32_t* token) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (text.size() > 10 || text.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos) return false;
        *token = (int32_t)(uint32_t)strtoul(text.c_str() + 2, nullptr, 16);
        return true;
    }
    int value = 0;
    unsigned int unsigned_value = 0;
    if (parse_int(text, &value)) {
        *token = value;
        return true;
    }
    if (!parse_unsigned(text, &unsigned_value)) return false;
    *token = (int32_t)unsigned_value;
    return true;
}

bool parse_mtype(const std::string& text, long* mtype) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    const long long value = strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || value < 1 || value > LONG_MAX) return false;
    *mtype = (long)value;
    return true;
}

int32_t fresh_token() {
    uint32_t token = 0;
    while (token == 0)
        if (getrandom(&token, sizeof token, 0) != (ssize_t)sizeof token) token = (uint32_t)time(nullptr) ^ (uint32_t)getpid();
    return (int32_t)token;
}

int queue_index(const std::string& name) {
    for (int i = 0; i < 3; ++i)
        if (name == kHacQueues[i].name) return i;
    return -1;
}

// ---- sending ----

// One fragment, tried again while the queue is full, up to the deadline.
int send_fragment(int msqid, std::vector<char>* buffer, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (msgsnd(msqid, buffer->data(), kChunkSize + 32, IPC_NOWAIT) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EAGAIN || std::chrono::steady_clock::now() >= deadline) return errno;
        const timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
}

// Cuts the text as the library does: fragments of chunk size + 1 bytes, the
// last one carrying the rest, an empty text one empty fragment.
int send_payload(int msqid, const SendRequest& request, int* fragments) {
    std::vector<char> buffer(IPC_FRAGMENT_BUFFER_SIZE(kChunkSize), 0);
    IpcFragment* fragment = reinterpret_cast<IpcFragment*>(buffer.data());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                                 std::chrono::duration<double>(request.timeout_seconds));
    const size_t full = kChunkSize + 1;
    size_t offset = 0;
    *fragments = 0;
    do {
        const size_t take = request.text.size() - offset < full ? request.text.size() - offset : full;
        memset(buffer.data(), 0, buffer.size());
        fragment->mtype = request.mtype;
        fragment->kind = request.kind;
        fragment->total_len = (int32_t)request.text.size();
        fragment->seq = *fragments + 1;
        fragment->one = 1;
        fragment->token = request.token;
        fragment->chunk_len = (int32_t)take;
        memcpy(fragment->data, request.text.data() + offset, take);
        offset += take;
        fragment->last = offset >= request.text.size() ? 1 : 0;
        const int error = send_fragment(msqid, &buffer, deadline);
        if (error != 0) return error;
        ++*fragments;
    } while (!fragment->last);
    return 0;
}

// ---- the answer ----

struct Answer {
    std::mutex mutex;
    bool done = false;
    int error = 0;  // errno of a failed receive
    Join join;
    long long received_us = 0;
    std::vector<Join> others;  // answers to other requests, taken first
};
Answer g_answer;

long long monotonic_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool answers(const Join& join, int32_t token) { return token == 0 || join.token == 0 || join.token == token; }

// Takes fragments of the request's message type off the reply queue until
// the answer with its token is whole; runs on its own thread.
void receive_answer(int reply_id, long mtype, int32_t token) {
    std::vector<char> buffer(sizeof(long) + 65536);
    Join join;
    for (;;) {
        const ssize_t n = msgrcv(reply_id, buffer.data(), buffer.size() - sizeof(long), mtype, MSG_NOERROR);
        if (n < 0 && errno == EINTR) continue;
        std::lock_guard<std::mutex> lock(g_answer.mutex);
        if (n < 0) {
            g_answer.error = errno;
            g_answer.done = true;
            request_finish();
            return;
        }
        if (join_fragment(&join, parse_fragment(buffer.data(), (size_t)n)) != JOIN_DONE) continue;
        if (!answers(join, token)) {
            g_answer.others.push_back(join);
            continue;
        }
        g_answer.join = join;
        g_answer.received_us = monotonic_us();
        g_answer.done = true;
        request_finish();
        return;
    }
}

// A payload as the peer reads it, with its kind word, message type, token
// and length; queue is the queue it goes on, when it is named.
Record payload_record(const std::string& kind, const HacQueue* queue, int ipc_kind, long mtype, int32_t token,
                      const std::string& bytes) {
    const Decoded decoded = decode_payload(bytes, ipc_kind);
    Record record(kind, decoded.name, kind + " " + decoded.name);
    if (queue != nullptr) record.add("queue", queue->name).add("key", key_text(queue->key));
    record.add("transfer", ipc_kind_name(ipc_kind)).add("mtype", (Json::Int64)mtype);
    record.add("token", token_text(token)).add("bytes", (Json::UInt64)bytes.size());
    add_decoded(decoded, &record);
    return record;
}

// An answer taken off the reply queue, raw and decoded.
Record answer_record(const std::string& kind, const Join& join) {
    Record record = payload_record(kind, nullptr, join.kind, join.mtype, join.token, join.bytes);
    record.add("fragments", (int)join.fragments.size());
    if (!join_whole(join)) record.add("problem", "fragments missing or out of order: the payload is not whole");
    record.add("raw", join.bytes.substr(0, join.bytes.find('\0')));
    return record;
}

int wait_for_answer(const SendRequest& request, long long sent_us) {
    const int sig = wait_for_signal_until(request.timeout_seconds);
    std::lock_guard<std::mutex> lock(g_answer.mutex);
    for (const Join& other : g_answer.others) {
        Record record = answer_record("other_answer", other);
        record.title = "answer to another request taken: " + record.name;
        emit(record);
    }
    if (sig == SIGINT || sig == SIGTERM) {
        Record interrupted("interrupted", "", "interrupted");
        emit(interrupted.add("by", signal_label(sig)).add("message", "no answer yet"));
        return interrupted_status(sig);
    }
    if (!g_answer.done) {
        Record timeout("timeout", "", "no answer");
        emit(timeout.add("message", "no answer from the browser").add("timeout", request.timeout_seconds));
        return EXIT_NO_ANSWER;
    }
    if (g_answer.error != 0) {
        emit(error_record(std::string("receiving the answer failed: ") + strerror(g_answer.error)));
        return EXIT_FAILED;
    }
    Record answer = answer_record("answer", g_answer.join);
    answer.add("rtt_us", (Json::Int64)(g_answer.received_us - sent_us));
    emit(answer);
    return EXIT_OK;
}

// Why the queue cannot take the payload; empty when it can.
std::string queue_problem(const HacQueue& queue, int* id) {
    const QueueState state = queue_state(queue.key);
    if (!state.exists)
        return std::string("the ") + queue.name + " queue (" + key_text(queue.key) + ") does not exist: " +
               (queue.key == (key_t)HAC_NOTIFICATION_QUEUE_KEY ? "no application manager has made it"
                                                               : "no browser has made it");
    if (!state.usable) return denied_queue_text(queue, state);
    *id = state.id;
    return "";
}

int send_and_answer(const SendRequest& request) {
    int queue_id = -1, reply_id = -1;
    std::string problem = queue_problem(kHacQueues[request.queue], &queue_id);
    if (problem.empty() && request.kind == IPC_KIND_REQUEST) problem = queue_problem(kHacQueues[1], &reply_id);
    if (!problem.empty()) return emit_failure(problem);

    block_stop_signals();
    // The receive waits before the request goes, so that no answer can come
    // before anyone takes it.
    if (request.kind == IPC_KIND_REQUEST)
        std::thread(receive_answer, reply_id, request.mtype, request.token).detach();
    int fragments = 0;
    const long long sent_us = monotonic_us();
    const int error = send_payload(queue_id, request, &fragments);
    Record record = payload_record("sent", &kHacQueues[request.queue], request.kind, request.mtype, request.token,
                                   request.text);
    record.add("fragments", fragments);
    if (error != 0) {
        record.add("error", std::string(strerror(error)) + (error == EAGAIN ? " (the queue stayed full)" : ""));
        emit(record);
        return EXIT_FAILED;
    }
    emit(record);
    if (request.kind != IPC_KIND_REQUEST) return EXIT_OK;
    return wait_for_answer(request, sent_us);
}

}  // namespace

int send_main(const std::vector<std::string>& args) {
    std::string queue = "request", kind = "message", mtype = "1", token, file, timeout, error;
    bool json = false;
    std::vector<std::string> positional;
    const std::vector<Option> options = {
        {"--queue", &queue, nullptr}, {"--kind", &kind, nullptr}, {"--mtype", &mtype, nullptr},
        {"--token", &token, nullptr}, {"--file", &file, nullptr}, {"--timeout", &timeout, nullptr},
        {"--json", nullptr, &json}};
    const int parsed = parse_command_line("send", kSendHelp, args, options, &positional);
    if (parsed != kGoOn) return parsed;
    SendRequest request = {queue_index(queue), 0, 1, fresh_token(), "", 5};
    if (request.queue < 0) return usage_error("send", "--queue wants request, reply or notification, got '" + queue + "'");
    if (!parse_kind(kind, &request.kind))
        return usage_error("send", "--kind wants message, request, reply, no-reply, stop or a number, got '" + kind + "'");
    if (request.kind == IPC_KIND_REQUEST && request.queue != 0)
        return usage_error("send", "a request goes on the request queue: its answer comes on the reply queue");
    if (!parse_mtype(mtype, &request.mtype))
        return usage_error("send", "--mtype wants a message type from 1 to " + std::to_string(LONG_MAX) + ", got '" +
                                       mtype + "'");
    if (!token.empty() && !parse_token(token, &request.token))
        return usage_error("send", "--token wants a 32-bit number, decimal or 0x hexadecimal, got '" + token + "'");
    if (!timeout.empty() && !parse_seconds(timeout, &request.timeout_seconds))
        return usage_error("send", "--timeout wants a positive number of seconds (" + std::string(kSecondsRange) +
                                       "), got '" + timeout + "'");
    if (file.empty() == (positional.size() != 1) || positional.size() > 1)
        return usage_error("send", "give the text as one argument, or --file FILE");
    if (!file.empty() && !read_small_file(file, kMaxTextBytes, &request.text, &error)) return usage_error("send", error);
    if (file.empty()) request.text = positional[0];
    set_output("send", json);
    finish(send_and_answer(request));
}

}  // namespace hac_tool
