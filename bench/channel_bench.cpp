// Latency of the HAC channel beside the floor of its own transport and
// beside what an integrator would use instead, measured in one run: every
// HAC figure between two real processes, every floor with bare
// msgsnd/msgrcv on private queues between two processes as well, and for
// the query and the notification two peers between two processes: D-Bus
// through a private bus daemon, and a Unix socket carrying the same JSON
// texts as the channel.
//
// One-way latency needs a clock that both processes read: CLOCK_MONOTONIC is
// system-wide, so the sender stores its send time in shared memory and the
// receiver takes its time where the message has arrived (the browser's member,
// the client's callback, the floor's last msgrcv). One message is in flight
// at a time: the receiver posts a process-shared semaphore once it has taken
// its sample, outside the measured span.
//
// Usage: channel_bench OUTDIR LABEL [FIGURES]
//   FIGURES: comma list of 1,2,3,4,7 (default all); LABEL names the run
//   ("normal", or "pinned" when run under taskset -c 0).
//   HAC_BENCH_BUS_ADDRESS: the address of the bus daemon of the D-Bus peer
//   (bench/run starts one); without it the D-Bus series are left out.
// Appends to OUTDIR/samples.csv (label,series,ns), OUTDIR/rows.csv (one row
// per figure), OUTDIR/peers.csv (one row per figure with peers) and
// OUTDIR/allocations.csv; writes OUTDIR/cdf/LABEL_SERIES.dat.

#include <errno.h>
#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <systemd/sd-bus.h>

#include "ait_records.h"
#include "alloc_counter.h"
#include "envelope.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"

namespace {

constexpr int kMaxMessages = 25000;
constexpr size_t kFragmentBytes = IPC_FRAGMENT_MSGSZ(HAC_IPC_CHUNK_SIZE);
constexpr int kLargeFragments = 16;
constexpr int kThroughputWindow = 8;
constexpr long kDataType = 1;
constexpr long kStopType = 2;
constexpr int64_t kStallNs = 50 * 1000 * 1000;
constexpr int kAckTimeoutSeconds = 3;
constexpr int kPairTimeoutSeconds = 600;

// Everything the two processes of one measurement share.
struct Shared {
    sem_t server_ready;
    sem_t client_ready;
    sem_t ack;          // receiver to sender: message taken, sample stored
    sem_t all_received; // receiver to sender: target reached (throughput)
    sem_t done;         // sender to receiver: finished, tear down
    std::atomic<int64_t> sent_at;
    std::atomic<int> received;
    std::atomic<int> target;
    int warmup;
    int measured;
    int attribute;      // attribution pass: receiver and sender walk stacks
    int raw_fragments;  // fragments per raw message
    int raw_request_queue;
    int raw_reply_queue;
    int peer_sockets[2]; // the socket peer's pair: browser end, manager end
    std::atomic<int> peer_unusable; // a peer side could not set up: no sending
    int lost;           // acknowledgements that never came
    int failures;       // calls that did not return 0 or wrong content
    int64_t throughput_ns;
    char pass[48];      // attribution pass: names its call-site files
    uint64_t sender_allocations;
    uint64_t receiver_attributed[hac_bench::ORIGIN_COUNT];
    uint64_t sender_attributed[hac_bench::ORIGIN_COUNT];
    int64_t samples[kMaxMessages];
    uint64_t receiver_allocations[kMaxMessages];
};

Shared* g_shared = nullptr;
std::string g_outdir;
std::string g_label;
std::vector<VetuAITAppInfo> g_records;
std::vector<VetuAITAppInfo*> g_record_pointers;

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Waits for the receiver's acknowledgement; a message that never arrives
// (fragments given up on a full queue) is counted, not waited for forever.
void wait_ack(sem_t* sem) {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += kAckTimeoutSeconds;
    while (sem_timedwait(sem, &deadline) != 0) {
        if (errno != EINTR) {
            g_shared->lost++;
            return;
        }
    }
}

void wait_sem(sem_t* sem) {
    while (sem_wait(sem) != 0 && errno == EINTR) {
    }
}

void reset_shared(int warmup, int measured) {
    Shared* s = g_shared;
    sem_t* sems[] = {&s->server_ready, &s->client_ready, &s->ack, &s->all_received, &s->done};
    for (sem_t* sem : sems) sem_destroy(sem);
    memset(static_cast<void*>(s), 0, sizeof(Shared));
    for (sem_t* sem : sems) sem_init(sem, 1, 0);
    s->warmup = warmup;
    s->measured = measured;
}

// ---- What the receiving side does for every message ----

uint64_t t_last_receiver_allocations;

// Keeps the call sites of an attribution pass for addr2line.
void save_attribution(uint64_t* origins, const char* role, int messages) {
    for (int o = 0; o < hac_bench::ORIGIN_COUNT; o++)
        origins[o] = hac_bench::attributed(static_cast<hac_bench::AllocOrigin>(o));
    const std::string path = g_outdir + "/sites/" + g_shared->pass + "_" + role + ".txt";
    FILE* out = fopen(path.c_str(), "w");
    if (out == nullptr) return;
    hac_bench::write_attribution(out, (std::string(g_shared->pass) + "_" + role).c_str(), messages);
    fclose(out);
}

// Called where a message has arrived: takes the one-way latency sample
// (unless the sender times a round trip itself), the allocations of this
// thread since the previous message, switches stack attribution over the
// measured messages, and releases the sender.
void receiver_took_message(bool one_way = true) {
    Shared* s = g_shared;
    const int64_t now = now_ns();
    const int i = s->received.fetch_add(1);
    const uint64_t allocations = hac_bench::thread_allocations();
    if (i < kMaxMessages) {
        if (one_way) s->samples[i] = now - s->sent_at.load();
        if (i > 0) s->receiver_allocations[i - 1] = allocations - t_last_receiver_allocations;
    }
    t_last_receiver_allocations = allocations;
    if (s->attribute && i == s->warmup) {
        hac_bench::clear_attribution();
        hac_bench::set_thread_attribution(true);
    }
    // The sender stops after the last measured message, so the receiver
    // sees one cycle (from one message to the next) fewer.
    if (s->attribute && i == s->warmup + s->measured - 1) {
        hac_bench::set_thread_attribution(false);
        save_attribution(s->receiver_attributed, "receiver", s->measured - 1);
    }
    if (!one_way) return;
    sem_post(&s->ack);
    if (i + 1 == s->target.load()) sem_post(&s->all_received);
}

// The sender's loop around one kind of send: warm-up, then the measured
// messages with the allocations of the calling thread counted (and, in an
// attribution pass, walked).
template <typename Send>
void send_measured(Send send) {
    Shared* s = g_shared;
    for (int i = 0; i < s->warmup; i++) send(i);
    const uint64_t before = hac_bench::thread_allocations();
    if (s->attribute) {
        hac_bench::clear_attribution();
        hac_bench::set_thread_attribution(true);
    }
    for (int i = s->warmup; i < s->warmup + s->measured; i++) send(i);
    hac_bench::set_thread_attribution(false);
    s->sender_allocations = hac_bench::thread_allocations() - before;
    if (s->attribute) save_attribution(s->sender_attributed, "sender", s->measured);
}

// ---- HAC roles ----

// What every browser answers to GetVersion, the peers' included.
void fill_version(int* major, int* minor, int* number) {
    *major = 1;
    *minor = 2;
    *number = 3;
}

bool is_expected_version(int major, int minor, int number) { return major == 1 && minor == 2 && number == 3; }

void member_get_version(int* major, int* minor, int* number) {
    fill_version(major, minor, number);
    // A query is timed by its caller; this only counts the receive thread's
    // allocations per cycle.
    receiver_took_message(false);
}

void member_stop_app(const VetuAppIdentifier*) { receiver_took_message(); }

void member_app_info(int num, VetuAITAppInfo** apps) {
    if (num != static_cast<int>(g_records.size()) || apps[num - 1]->name != g_records.back().name ||
        apps[0]->tranprotocols[0].ip != g_records[0].tranprotocols[0].ip)
        g_shared->failures++;
    receiver_took_message();
}

void callback_app_state(const VetuAppIdentifier*, int, const void*) { receiver_took_message(); }

VetuHacServerCallback browser_table() {
    VetuHacServerCallback table;
    memset(&table, 0, sizeof table);
    table.GetVersion = member_get_version;
    table.StopApp = member_stop_app;
    table.SendAitAppInfo = member_app_info;
    return table;
}

// The browser process: serves requests and, for figure 3, sends.
int browser_process(void (*sender)()) {
    Vetu_HAC_Server_RegisterCallback(browser_table(), nullptr);
    Vetu_HAC_Server_Initialize();
    sem_post(&g_shared->server_ready);
    wait_sem(&g_shared->client_ready);
    if (sender != nullptr) {
        sender();
        sem_post(&g_shared->done);
    } else {
        wait_sem(&g_shared->done);
    }
    Vetu_HAC_Server_Finalize();
    return 0;
}

// The application manager process: the mirror image.
int manager_process(void (*sender)()) {
    Vetu_HAC_Client_RegisterCallback(callback_app_state, nullptr);
    Vetu_HAC_Client_Initialize();
    sem_post(&g_shared->client_ready);
    wait_sem(&g_shared->server_ready);
    if (sender != nullptr) {
        sender();
        sem_post(&g_shared->done);
    } else {
        wait_sem(&g_shared->done);
    }
    Vetu_HAC_Client_Finalize();
    return 0;
}

void send_queries() {
    send_measured([](int i) {
        int major = 0, minor = 0, number = 0;
        const int64_t start = now_ns();
        const int rc = Vetu_HAC_Client_GetVersion(&major, &minor, &number);
        const int64_t end = now_ns();
        if (rc != 0 || !is_expected_version(major, minor, number)) g_shared->failures++;
        // The member stored the receive thread's figures; the latency of a
        // query is the caller's own span.
        if (i < kMaxMessages) g_shared->samples[i] = end - start;
    });
}

void send_stop_apps() {
    send_measured([](int i) {
        const VetuAppIdentifier app = {i, 7};
        g_shared->sent_at.store(now_ns());
        if (Vetu_HAC_Client_StopApp(&app) != 0) g_shared->failures++;
        wait_ack(&g_shared->ack);
    });
}

// A key reaches the dispatcher, which calls no member for it; the StopApp
// sent right behind it shows when the key has been dispatched (the receive
// thread serves in order), so this times two commands until the second
// member runs.
void send_key_then_stop() {
    send_measured([](int i) {
        const VetuAppIdentifier app = {i, 7};
        g_shared->sent_at.store(now_ns());
        if (Vetu_HAC_Client_SendKey(VETU_KEY_ENTER, VETU_KEY_EVENT_DOWN, i) != 0) g_shared->failures++;
        if (Vetu_HAC_Client_StopApp(&app) != 0) g_shared->failures++;
        wait_ack(&g_shared->ack);
    });
}

void send_app_info() {
    send_measured([](int) {
        g_shared->sent_at.store(now_ns());
        if (Vetu_HAC_Client_SendAitAppInfo(static_cast<int>(g_record_pointers.size()), g_record_pointers.data()) != 0)
            g_shared->failures++;
        wait_ack(&g_shared->ack);
    });
}

void send_app_states() {
    send_measured([](int i) {
        g_shared->sent_at.store(now_ns());
        if (Vetu_HAC_Server_SendAppState(i, 7, VETU_APP_EVENT_STARTED) != 0) g_shared->failures++;
        wait_ack(&g_shared->ack);
    });
}

// Sustained commands with the receiver keeping up: at most a window of
// commands is unacknowledged, well below what the queue holds, so the
// sender never meets a full queue.
template <typename Send>
void send_windowed(Send send) {
    Shared* s = g_shared;
    int in_flight = 0;
    auto one = [&](int i) {
        if (in_flight == kThroughputWindow) wait_ack(&s->ack);
        else in_flight++;
        send(i);
    };
    s->target.store(s->warmup);
    for (int i = 0; i < s->warmup; i++) one(i);
    wait_ack(&s->all_received);
    s->target.store(s->warmup + s->measured);
    const int64_t start = now_ns();
    for (int i = s->warmup; i < s->warmup + s->measured; i++) one(i);
    wait_ack(&s->all_received);
    s->throughput_ns = now_ns() - start;
}

void send_stop_apps_windowed() {
    send_windowed([](int i) {
        const VetuAppIdentifier app = {i, 7};
        if (Vetu_HAC_Client_StopApp(&app) != 0) g_shared->failures++;
    });
}

// ---- Raw floors: bare fragments on private queues ----

struct RawFragment {
    long mtype;
    char body[kFragmentBytes];
};

void raw_send(int queue, long type) {
    static RawFragment fragment;
    fragment.mtype = type;
    memset(fragment.body, 'r', sizeof fragment.body);
    while (msgsnd(queue, &fragment, kFragmentBytes, 0) != 0 && errno == EINTR) {
    }
}

// False when the stop type arrived.
bool raw_receive(int queue) {
    static RawFragment fragment;
    while (msgrcv(queue, &fragment, kFragmentBytes, 0, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return fragment.mtype != kStopType;
}

int raw_echo_process() {
    while (raw_receive(g_shared->raw_request_queue)) raw_send(g_shared->raw_reply_queue, kDataType);
    return 0;
}

int raw_sink_process() {
    for (;;) {
        for (int f = 0; f < g_shared->raw_fragments; f++) {
            if (!raw_receive(g_shared->raw_request_queue)) return 0;
        }
        receiver_took_message();
    }
}

int raw_ping_process() {
    send_measured([](int i) {
        const int64_t start = now_ns();
        raw_send(g_shared->raw_request_queue, kDataType);
        raw_receive(g_shared->raw_reply_queue);
        if (i < kMaxMessages) g_shared->samples[i] = now_ns() - start;
    });
    raw_send(g_shared->raw_request_queue, kStopType);
    return 0;
}

int raw_source_process() {
    send_measured([](int) {
        g_shared->sent_at.store(now_ns());
        for (int f = 0; f < g_shared->raw_fragments; f++) raw_send(g_shared->raw_request_queue, kDataType);
        wait_ack(&g_shared->ack);
    });
    raw_send(g_shared->raw_request_queue, kStopType);
    return 0;
}

int raw_windowed_process() {
    send_windowed([](int) { raw_send(g_shared->raw_request_queue, kDataType); });
    raw_send(g_shared->raw_request_queue, kStopType);
    return 0;
}

// ---- Peers: what an integrator would connect the two processes with ----
//
// Each peer process plays one side, as the HAC halves do: it sets up, says
// so, waits for the other side, then either sends the measured messages or
// serves until the sender is done. A side that cannot set up says so too,
// and the sender then sends nothing: the series shows as failed instead of
// waiting out every acknowledgement.

struct PeerSide {
    bool (*set_up)();
    void (*serve)();      // returns once the sender is done
    void (*tear_down)();
};

int peer_process(const PeerSide& side, sem_t* ready, sem_t* other_ready, void (*sender)()) {
    Shared* s = g_shared;
    if (!side.set_up()) s->peer_unusable.store(1);
    sem_post(ready);
    wait_sem(other_ready);
    const bool usable = s->peer_unusable.load() == 0;
    if (sender != nullptr) {
        if (usable) sender();
        sem_post(&s->done);
    } else if (usable) {
        side.serve();
    }
    side.tear_down();
    return usable ? 0 : 1;
}

// -- D-Bus: a method call and a signal through a private bus daemon --
//
// The client library is sd-bus rather than libdbus: it is the leaner of the
// two C clients (libdbus's own documentation calls its API a low-level one
// that applications should not use directly, and it adds locking and
// watch/timeout plumbing around every message), so the peer is D-Bus at the
// best an integrator gets without writing a client of his own; and a
// method call or a signal is one plain C call, as short as the HAC call it
// stands beside.

constexpr const char* kBusName = "hac.bench.Browser";
constexpr const char* kBusPath = "/hac/bench/Browser";
constexpr const char* kBusInterface = "hac.bench.Browser";
constexpr uint64_t kBusPollUs = 50 * 1000;

const char* g_bus_address = nullptr;
sd_bus* g_bus = nullptr;

int bus_get_version(sd_bus_message* call, void*, sd_bus_error*) {
    int major = 0, minor = 0, number = 0;
    fill_version(&major, &minor, &number);
    return sd_bus_reply_method_return(call, "iii", major, minor, number);
}

int bus_app_state(sd_bus_message* signal, void*, sd_bus_error*) {
    int32_t appid = 0, orgid = 0, state = 0;
    if (sd_bus_message_read(signal, "iii", &appid, &orgid, &state) < 0) g_shared->failures++;
    const VetuAppIdentifier app = {appid, orgid};
    callback_app_state(&app, state, nullptr);
    return 0;
}

const sd_bus_vtable kBrowserVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("GetVersion", "", "iii", bus_get_version, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("AppState", "iii", 0),
    SD_BUS_VTABLE_END,
};

bool open_bus() {
    if (sd_bus_new(&g_bus) < 0) return false;
    return sd_bus_set_address(g_bus, g_bus_address) >= 0 && sd_bus_set_bus_client(g_bus, 1) >= 0 &&
           sd_bus_start(g_bus) >= 0;
}

// The browser owns a name and serves GetVersion on it; for the signal it
// needs neither.
bool bus_browser_set_up() {
    return open_bus() && sd_bus_add_object_vtable(g_bus, nullptr, kBusPath, kBusInterface, kBrowserVtable, nullptr) >= 0 &&
           sd_bus_request_name(g_bus, kBusName, 0) >= 0;
}

// The manager's match is in place in the daemon before it says it is ready
// (sd_bus_match_signal waits for the daemon's answer).
bool bus_manager_set_up() {
    return open_bus() &&
           sd_bus_match_signal(g_bus, nullptr, nullptr, kBusPath, kBusInterface, "AppState", bus_app_state, nullptr) >= 0;
}

void serve_bus() {
    while (sem_trywait(&g_shared->done) != 0) {
        const int r = sd_bus_process(g_bus, nullptr);
        if (r < 0) {
            g_shared->failures++;
            return;
        }
        // The wait ends as soon as a message comes; its deadline only
        // bounds how late the sender's end is noticed.
        if (r == 0) sd_bus_wait(g_bus, kBusPollUs);
    }
}

void close_bus() { g_bus = sd_bus_flush_close_unref(g_bus); }

bool bus_call_get_version(int* major, int* minor, int* number) {
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_call_method(g_bus, kBusName, kBusPath, kBusInterface, "GetVersion", &error, &reply, "");
    int32_t values[3] = {0, 0, 0};
    if (r >= 0) r = sd_bus_message_read(reply, "iii", &values[0], &values[1], &values[2]);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    *major = values[0];
    *minor = values[1];
    *number = values[2];
    return r >= 0;
}

void bus_send_queries() {
    send_measured([](int i) {
        int major = 0, minor = 0, number = 0;
        const int64_t start = now_ns();
        const bool ok = bus_call_get_version(&major, &minor, &number);
        const int64_t end = now_ns();
        if (!ok || !is_expected_version(major, minor, number)) g_shared->failures++;
        if (i < kMaxMessages) g_shared->samples[i] = end - start;
    });
}

void bus_send_app_states() {
    send_measured([](int i) {
        g_shared->sent_at.store(now_ns());
        if (sd_bus_emit_signal(g_bus, kBusPath, kBusInterface, "AppState", "iii", i, 7,
                               static_cast<int>(VETU_APP_EVENT_STARTED)) < 0)
            g_shared->failures++;
        wait_ack(&g_shared->ack);
    });
}

const PeerSide kBusBrowser = {bus_browser_set_up, serve_bus, close_bus};
const PeerSide kBusManager = {bus_manager_set_up, serve_bus, close_bus};

int bus_browser_process(void (*sender)()) {
    return peer_process(kBusBrowser, &g_shared->server_ready, &g_shared->client_ready, sender);
}

int bus_manager_process(void (*sender)()) {
    return peer_process(kBusManager, &g_shared->client_ready, &g_shared->server_ready, sender);
}

// -- A Unix socket carrying the channel's own texts --
//
// The same messages as the HAC halves exchange, written and parsed by the
// library's own envelope (the same styled texts, the same reader), one text
// a datagram on a SOCK_SEQPACKET pair: what remains between this and the
// channel is the transport and the library around it.

int g_socket = -1;
char g_socket_block[IPC_MAX_PAYLOAD + 1];

bool send_text(std::string_view text) {
    if (text.empty()) return false;
    ssize_t n;
    while ((n = send(g_socket, text.data(), text.size(), MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return n == static_cast<ssize_t>(text.size());
}

// Receives one text into the kept block and parses it up to the NUL put
// after it, as the HAC halves do with what their endpoint delivers. False
// at the other side's end or on a text that does not parse.
bool receive_text(Json::Value* root, bool* ended) {
    ssize_t n;
    while ((n = recv(g_socket, g_socket_block, IPC_MAX_PAYLOAD, 0)) < 0 && errno == EINTR) {
    }
    *ended = n <= 0;
    if (*ended) return false;
    g_socket_block[n] = '\0';
    return hac_parse_text(g_socket_block, root);
}

void answer_socket_version() {
    int major = 0, minor = 0, number = 0;
    fill_version(&major, &minor, &number);
    if (!send_text(hac_write_message(HAC_MSG_GET_VERSION_REPLY, {major, minor, number}))) g_shared->failures++;
}

void deliver_socket_app_state(HacReader& event) {
    const VetuAppIdentifier app = {event.integer("appid"), event.integer("orgid")};
    const int state = event.integer("state");
    if (!event.ok) g_shared->failures++;
    callback_app_state(&app, state, nullptr);
}

// Either side's receiving loop: serves whatever arrives until the other
// side closes its end.
void serve_socket() {
    for (;;) {
        Json::Value root;
        bool ended = false;
        if (!receive_text(&root, &ended)) {
            if (ended) return;
            g_shared->failures++;
            continue;
        }
        HacReader message(root);
        const int type = message.integer("t");
        if (type == HAC_MSG_GET_VERSION) answer_socket_version();
        else if (type == HAC_MSG_APP_STATE) deliver_socket_app_state(message);
        else g_shared->failures++;
    }
}

bool socket_get_version(int* major, int* minor, int* number) {
    if (!send_text(hac_write_message(HAC_MSG_GET_VERSION, {}))) return false;
    Json::Value root;
    bool ended = false;
    if (!receive_text(&root, &ended)) return false;
    HacReader reply(root);
    *major = reply.integer("major");
    *minor = reply.integer("minor");
    *number = reply.integer("number");
    return reply.ok && reply.integer("t") == HAC_MSG_GET_VERSION_REPLY;
}

bool socket_send_app_state(int appid, int orgid, int state) {
    return send_text(hac_write_message(HAC_MSG_APP_STATE, {appid, orgid, state}));
}

void socket_send_queries() {
    send_measured([](int i) {
        int major = 0, minor = 0, number = 0;
        const int64_t start = now_ns();
        const bool ok = socket_get_version(&major, &minor, &number);
        const int64_t end = now_ns();
        if (!ok || !is_expected_version(major, minor, number)) g_shared->failures++;
        if (i < kMaxMessages) g_shared->samples[i] = end - start;
    });
}

void socket_send_app_states() {
    send_measured([](int i) {
        g_shared->sent_at.store(now_ns());
        if (!socket_send_app_state(i, 7, VETU_APP_EVENT_STARTED)) g_shared->failures++;
        wait_ack(&g_shared->ack);
    });
}

// Each side keeps its own end; the other end closed here is what lets the
// serving side see the sender's end.
bool take_socket_end(int mine) {
    close(g_shared->peer_sockets[1 - mine]);
    g_socket = g_shared->peer_sockets[mine];
    return true;
}

bool socket_browser_set_up() { return take_socket_end(0); }
bool socket_manager_set_up() { return take_socket_end(1); }
void close_socket() { close(g_socket); }

const PeerSide kSocketBrowser = {socket_browser_set_up, serve_socket, close_socket};
const PeerSide kSocketManager = {socket_manager_set_up, serve_socket, close_socket};

int socket_browser_process(void (*sender)()) {
    return peer_process(kSocketBrowser, &g_shared->server_ready, &g_shared->client_ready, sender);
}

int socket_manager_process(void (*sender)()) {
    return peer_process(kSocketManager, &g_shared->client_ready, &g_shared->server_ready, sender);
}

// ---- Running one measurement ----

void remove_queue_key(key_t key) {
    const int id = msgget(key, 0);
    if (id >= 0) msgctl(id, IPC_RMID, nullptr);
}

void remove_hac_queues() {
    remove_queue_key(HAC_REQUEST_QUEUE_KEY);
    remove_queue_key(HAC_REPLY_QUEUE_KEY);
    remove_queue_key(HAC_NOTIFICATION_QUEUE_KEY);
}

// Child processes keep their standard output in a file of their own, where
// the transport's full-queue lines can be counted.
std::string stdout_path(const std::string& series, const char* role) {
    return g_outdir + "/stdout/" + g_label + "_" + series + "_" + role + ".txt";
}

pid_t start_child(const std::string& path, int (*body)(void*), void* arg) {
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    sigset_t all;
    sigemptyset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    const int rc = body(arg);
    fflush(stdout);
    exit(rc);
}

// Waits for both children on SIGCHLD (blocked in this process) with a
// deadline; a pair that hangs is killed and reported.
bool wait_children(pid_t a, pid_t b) {
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    int left = 2;
    bool clean = true;
    const time_t deadline = time(nullptr) + kPairTimeoutSeconds;
    while (left > 0) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid == a || pid == b) {
            left--;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) clean = false;
            continue;
        }
        const time_t remaining = deadline - time(nullptr);
        if (remaining <= 0) {
            kill(a, SIGKILL);
            kill(b, SIGKILL);
            while (waitpid(-1, nullptr, 0) > 0) {
            }
            return false;
        }
        timespec ts = {remaining, 0};
        sigtimedwait(&chld, nullptr, &ts);
    }
    return clean;
}

struct Body {
    int (*process)(void (*)());
    void (*sender)();
};

int run_body(void* arg) {
    const Body* body = static_cast<const Body*>(arg);
    return body->process(body->sender);
}

struct Plain {
    int (*process)();
};

int run_plain(void* arg) { return static_cast<const Plain*>(arg)->process(); }

struct Series {
    std::string name;
    std::string absent;  // why the series was not measured
    std::vector<int64_t> samples;
    int lost = 0;
    int failures = 0;
    bool completed = false;
    double per_message_ns = 0;
    double sender_allocations = 0;
    double receiver_allocations = 0;
    uint64_t receiver_attributed[hac_bench::ORIGIN_COUNT] = {0, 0, 0};
    uint64_t sender_attributed[hac_bench::ORIGIN_COUNT] = {0, 0, 0};
    int eagain_lines = 0;
};

int count_eagain_lines(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        if (line.find("msgsnd EAGAIN") != std::string::npos) count++;
    }
    return count;
}

Series collect(const std::string& name, bool completed) {
    Shared* s = g_shared;
    Series series;
    series.name = name;
    series.completed = completed;
    series.lost = s->lost;
    series.failures = s->failures;
    const int end = std::min(s->warmup + s->measured, kMaxMessages);
    for (int i = s->warmup; i < end; i++) series.samples.push_back(s->samples[i]);
    if (s->measured > 0) {
        series.sender_allocations = static_cast<double>(s->sender_allocations) / s->measured;
        series.per_message_ns = static_cast<double>(s->throughput_ns) / s->measured;
    }
    std::vector<uint64_t> rx(s->receiver_allocations + s->warmup,
                             s->receiver_allocations + std::min(s->warmup + s->measured - 1, kMaxMessages));
    if (!rx.empty()) {
        std::sort(rx.begin(), rx.end());
        series.receiver_allocations = static_cast<double>(rx[rx.size() / 2]);
    }
    for (int o = 0; o < hac_bench::ORIGIN_COUNT; o++) {
        series.receiver_attributed[o] = s->receiver_attributed[o];
        series.sender_attributed[o] = s->sender_attributed[o];
    }
    return series;
}

// A HAC measurement: a browser and an application-manager process, one of
// them sending. Each starts from queues that nobody has used.
Series run_hac(const std::string& name, int warmup, int measured, bool browser_sends, void (*sender)(),
               bool attribute = false) {
    reset_shared(warmup, measured);
    g_shared->attribute = attribute ? 1 : 0;
    snprintf(g_shared->pass, sizeof g_shared->pass, "%s", name.c_str());
    remove_hac_queues();
    Body browser = {browser_process, browser_sends ? sender : nullptr};
    Body manager = {manager_process, browser_sends ? nullptr : sender};
    const pid_t b = start_child(stdout_path(name, "browser"), run_body, &browser);
    const pid_t m = start_child(stdout_path(name, "manager"), run_body, &manager);
    const bool clean = wait_children(b, m);
    remove_hac_queues();
    Series series = collect(name, clean);
    series.eagain_lines = count_eagain_lines(stdout_path(name, "browser")) +
                          count_eagain_lines(stdout_path(name, "manager"));
    return series;
}

// A floor measurement on two private queues.
Series run_raw(const std::string& name, int warmup, int measured, int fragments, int (*receiver)(),
               int (*sender)()) {
    reset_shared(warmup, measured);
    g_shared->raw_fragments = fragments;
    g_shared->raw_request_queue = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    g_shared->raw_reply_queue = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    Plain receiving = {receiver};
    Plain sending = {sender};
    const pid_t r = start_child(stdout_path(name, "receiver"), run_plain, &receiving);
    const pid_t s = start_child(stdout_path(name, "sender"), run_plain, &sending);
    const bool clean = wait_children(r, s);
    msgctl(g_shared->raw_request_queue, IPC_RMID, nullptr);
    msgctl(g_shared->raw_reply_queue, IPC_RMID, nullptr);
    return collect(name, clean);
}

// A peer measurement: the peer's browser and manager process, one of them
// sending, as in run_hac.
struct Peer {
    const char* name;
    int (*browser)(void (*)());
    int (*manager)(void (*)());
    bool uses_sockets;
};

const Peer kBusPeer = {"dbus", bus_browser_process, bus_manager_process, false};
const Peer kSocketPeer = {"socket", socket_browser_process, socket_manager_process, true};

Series run_peer(const Peer& peer, const std::string& figure, int warmup, int measured, bool browser_sends,
                void (*sender)()) {
    const std::string name = figure + "_" + peer.name;
    if (&peer == &kBusPeer && g_bus_address == nullptr) {
        Series series;
        series.name = name;
        series.absent = "no bus daemon (HAC_BENCH_BUS_ADDRESS unset)";
        return series;
    }
    reset_shared(warmup, measured);
    if (peer.uses_sockets && socketpair(AF_UNIX, SOCK_SEQPACKET, 0, g_shared->peer_sockets) != 0) {
        Series series;
        series.name = name;
        series.absent = std::string("no socket pair: ") + strerror(errno);
        return series;
    }
    Body browser = {peer.browser, browser_sends ? sender : nullptr};
    Body manager = {peer.manager, browser_sends ? nullptr : sender};
    const pid_t b = start_child(stdout_path(name, "browser"), run_body, &browser);
    const pid_t m = start_child(stdout_path(name, "manager"), run_body, &manager);
    // The children hold the ends now; an end left open here would hide
    // the sender's end from the serving side.
    if (peer.uses_sockets) {
        close(g_shared->peer_sockets[0]);
        close(g_shared->peer_sockets[1]);
    }
    const bool clean = wait_children(b, m);
    return collect(name, clean);
}

// ---- Output ----

int64_t percentile(std::vector<int64_t> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t rank = static_cast<size_t>(p * static_cast<double>(v.size()) + 0.999999);
    if (rank < 1) rank = 1;
    if (rank > v.size()) rank = v.size();
    return v[rank - 1];
}

int count_at_least(const std::vector<int64_t>& v, int64_t limit) {
    return static_cast<int>(std::count_if(v.begin(), v.end(), [limit](int64_t x) { return x >= limit; }));
}

void write_samples(const Series& series) {
    FILE* out = fopen((g_outdir + "/samples.csv").c_str(), "a");
    if (out == nullptr) return;
    for (int64_t v : series.samples) fprintf(out, "%s,%s,%lld\n", g_label.c_str(), series.name.c_str(), static_cast<long long>(v));
    fclose(out);
    std::vector<int64_t> sorted = series.samples;
    std::sort(sorted.begin(), sorted.end());
    FILE* cdf = fopen((g_outdir + "/cdf/" + g_label + "_" + series.name + ".dat").c_str(), "w");
    if (cdf == nullptr) return;
    const size_t n = sorted.size();
    const size_t step = std::max<size_t>(1, n / 2000);
    for (size_t i = 0; i < n; i += step) fprintf(cdf, "%.3f %.5f\n", sorted[i] / 1000.0, static_cast<double>(i + 1) / n);
    if (n > 0) fprintf(cdf, "%.3f 1.0\n", sorted[n - 1] / 1000.0);
    fclose(cdf);
}

std::string series_note(const Series& s) {
    std::string note;
    auto add = [&note](const std::string& part) { note += (note.empty() ? "" : "; ") + part; };
    if (!s.absent.empty()) return s.name + ": " + s.absent;
    if (!s.completed) add(s.name + " did not complete");
    if (s.failures > 0) add(s.name + ": " + std::to_string(s.failures) + " failed calls");
    if (s.lost > 0) add(s.name + ": " + std::to_string(s.lost) + " lost");
    const int stalls = count_at_least(s.samples, kStallNs);
    if (stalls > 0 || s.eagain_lines > 0)
        add(s.name + ": " + std::to_string(stalls) + "/" + std::to_string(s.samples.size()) + " samples >= 50 ms, " +
            std::to_string(s.eagain_lines) + " EAGAIN lines");
    return note;
}

// One row of the table: figure, what, HAC and floor median and p99 (ns).
void write_row(const char* figure, const char* what, const Series& hac, const Series& floor,
               const std::string& extra = "") {
    std::string note = series_note(hac);
    const std::string floor_note = series_note(floor);
    if (!floor_note.empty()) note += (note.empty() ? "" : "; ") + floor_note;
    if (!extra.empty()) note += (note.empty() ? "" : "; ") + extra;
    FILE* out = fopen((g_outdir + "/rows.csv").c_str(), "a");
    if (out == nullptr) return;
    fprintf(out, "%s|%s|%s|us|%.1f|%.1f|%.1f|%.1f|%s\n", g_label.c_str(), figure, what,
            percentile(hac.samples, 0.5) / 1000.0, percentile(hac.samples, 0.99) / 1000.0,
            percentile(floor.samples, 0.5) / 1000.0, percentile(floor.samples, 0.99) / 1000.0, note.c_str());
    fclose(out);
    write_samples(hac);
    write_samples(floor);
}

std::string microseconds(const Series& series, double p) {
    if (series.samples.empty()) return "-";
    char text[32];
    snprintf(text, sizeof text, "%.1f", percentile(series.samples, p) / 1000.0);
    return text;
}

// One row of the peer table: figure, what, HAC, D-Bus and socket median and
// p99 (microseconds). The HAC series is the one of the figure's own row.
void write_peer_row(const char* figure, const char* what, const Series& hac, const Series& bus,
                    const Series& socket) {
    std::string note = series_note(bus);
    const std::string socket_note = series_note(socket);
    if (!socket_note.empty()) note += (note.empty() ? "" : "; ") + socket_note;
    FILE* out = fopen((g_outdir + "/peers.csv").c_str(), "a");
    if (out == nullptr) return;
    fprintf(out, "%s|%s|%s|%s|%s|%s|%s|%s|%s|%s\n", g_label.c_str(), figure, what, microseconds(hac, 0.5).c_str(),
            microseconds(hac, 0.99).c_str(), microseconds(bus, 0.5).c_str(), microseconds(bus, 0.99).c_str(),
            microseconds(socket, 0.5).c_str(), microseconds(socket, 0.99).c_str(), note.c_str());
    fclose(out);
    if (bus.absent.empty()) write_samples(bus);
    if (socket.absent.empty()) write_samples(socket);
}

void write_throughput_row(const Series& hac, const Series& floor) {
    FILE* out = fopen((g_outdir + "/rows.csv").c_str(), "a");
    if (out == nullptr) return;
    std::string note = series_note(hac);
    note += (note.empty() ? "" : "; ") + std::string("window ") + std::to_string(kThroughputWindow) + ", " +
            std::to_string(static_cast<long>(1e9 / hac.per_message_ns)) + " vs " +
            std::to_string(static_cast<long>(1e9 / floor.per_message_ns)) + " msg/s";
    fprintf(out, "%s|2c|StopApp sustained, per message|us|%.2f|-|%.2f|-|%s\n", g_label.c_str(),
            hac.per_message_ns / 1000.0, floor.per_message_ns / 1000.0, note.c_str());
    fclose(out);
}

void write_allocations(const char* what, const char* thread, double per_message, const uint64_t* attributed,
                       int messages) {
    FILE* out = fopen((g_outdir + "/allocations.csv").c_str(), "a");
    if (out == nullptr) return;
    fprintf(out, "%s|%s|%s|%.1f|%.2f|%.2f|%.2f\n", g_label.c_str(), what, thread, per_message,
            static_cast<double>(attributed[hac_bench::ORIGIN_LIBRARY]) / messages,
            static_cast<double>(attributed[hac_bench::ORIGIN_JSONCPP]) / messages,
            static_cast<double>(attributed[hac_bench::ORIGIN_OTHER]) / messages);
    fclose(out);
}

// ---- Figures ----

constexpr int kWarmup = 300;

int scaled(int n) {
    // On one CPU a message that meets a full queue may stall for 50 ms or
    // more (the stall rate is what the pinned run reports): fewer samples
    // keep that run short should stalls come back.
    return g_label == "pinned" ? std::max(100, n / 5) : n;
}

void figure_query() {
    const int n = 10000;
    Series raw = run_raw("query_floor", kWarmup, n, 1, raw_echo_process, raw_ping_process);
    Series hac = run_hac("query_hac", kWarmup, n, false, send_queries);
    Series bus = run_peer(kBusPeer, "query", kWarmup, n, false, bus_send_queries);
    Series socket = run_peer(kSocketPeer, "query", kWarmup, n, false, socket_send_queries);
    write_row("1", "GetVersion round trip vs raw ping-pong", hac, raw);
    write_peer_row("1", "GetVersion round trip", hac, bus, socket);
}

void figure_commands() {
    const int n = 10000;
    Series raw = run_raw("oneway_floor", kWarmup, n, 1, raw_sink_process, raw_source_process);
    Series hac = run_hac("stopapp_hac", kWarmup, n, false, send_stop_apps);
    write_row("2a", "StopApp until member vs raw one-way", hac, raw);
    Series raw2 = run_raw("twoway_floor", kWarmup, n, 2, raw_sink_process, raw_source_process);
    Series keys = run_hac("sendkey_hac", kWarmup, n, false, send_key_then_stop);
    write_row("2b", "SendKey+StopApp until member vs 2 raw one-way", keys, raw2);
    Series raw3 = run_raw("window_floor", kWarmup, 4 * n, 1, raw_sink_process, raw_windowed_process);
    Series hac3 = run_hac("window_hac", kWarmup, 4 * n, false, send_stop_apps_windowed);
    // Nobody stored a send time: these runs give a rate, not latencies.
    raw3.samples.clear();
    hac3.samples.clear();
    write_throughput_row(hac3, raw3);
}

void figure_notification() {
    const int n = 10000;
    Series raw = run_raw("notify_floor", kWarmup, n, 1, raw_sink_process, raw_source_process);
    Series hac = run_hac("appstate_hac", kWarmup, n, true, send_app_states);
    Series bus = run_peer(kBusPeer, "appstate", kWarmup, n, true, bus_send_app_states);
    Series socket = run_peer(kSocketPeer, "appstate", kWarmup, n, true, socket_send_app_states);
    write_row("3", "SendAppState until callback vs raw one-way", hac, raw);
    write_peer_row("3", "SendAppState until callback", hac, bus, socket);
}

void figure_largest() {
    const int n = scaled(1500);
    const size_t length = hac_bench::app_info_message_length(g_records);
    Series raw = run_raw("large_floor", kWarmup / 3, n, kLargeFragments, raw_sink_process, raw_source_process);
    Series hac = run_hac("appinfo_hac", kWarmup / 3, n, false, send_app_info);
    const std::string extra = std::to_string(g_records.size()) + " records, " + std::to_string(length) + " bytes";
    write_row("4", "SendAitAppInfo until member vs raw 16 fragments", hac, raw, extra);
}

// Allocations in steady state, walked to the code that makes them. The
// attribution pass is not timed.
void figure_allocations() {
    struct Pass {
        const char* what;
        const char* name;
        bool browser_sends;
        void (*sender)();
        int messages;
        const char* receiver_thread;
        const char* sender_thread;
    };
    const Pass passes[] = {
        {"GetVersion", "alloc_query", false, send_queries, 500, "browser receive thread", "manager calling thread"},
        {"StopApp", "alloc_command", false, send_stop_apps, 500, "browser receive thread", "manager calling thread"},
        {"SendAppState", "alloc_notification", true, send_app_states, 500, "manager receive thread",
         "browser calling thread"},
        {"SendAitAppInfo", "alloc_appinfo", false, send_app_info, 100, "browser receive thread",
         "manager calling thread"},
    };
    for (const Pass& pass : passes) {
        const int n = pass.messages;
        Series s = run_hac(pass.name, kWarmup / 3, n, pass.browser_sends, pass.sender, true);
        write_allocations(pass.what, pass.receiver_thread, s.receiver_allocations, s.receiver_attributed, n - 1);
        write_allocations(pass.what, pass.sender_thread, s.sender_allocations, s.sender_attributed, n);
    }
}

long resident_kb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
    }
    return -1;
}

int measure_resident_memory() {
    const long before = resident_kb();
    Vetu_HAC_Server_Initialize();
    Vetu_HAC_Client_Initialize();
    int major = 0, minor = 0, number = 0;
    const int rc = Vetu_HAC_Client_GetVersion(&major, &minor, &number);
    const long after = resident_kb();
    Vetu_HAC_Client_Finalize();
    Vetu_HAC_Server_Finalize();
    FILE* out = fopen((g_outdir + "/allocations.csv").c_str(), "a");
    if (out == nullptr) return 1;
    fprintf(out, "%s|VmRSS|both halves initialised, one query%s|%ld kB (%ld kB before Initialize)|||\n",
            g_label.c_str(), rc == 0 ? "" : " (query failed)", after, before);
    fclose(out);
    return 0;
}

void figure_resident_memory() {
    remove_hac_queues();
    Plain measuring = {measure_resident_memory};
    const pid_t p = start_child(stdout_path("rss", "both"), run_plain, &measuring);
    int status = 0;
    waitpid(p, &status, 0);
    remove_hac_queues();
}

bool wants(const std::string& figures, const char* figure) {
    return figures == "all" || ("," + figures + ",").find(std::string(",") + figure + ",") != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s OUTDIR LABEL [FIGURES]\n", argv[0]);
        return 2;
    }
    g_outdir = argv[1];
    g_label = argv[2];
    const std::string figures = argc > 3 ? argv[3] : "all";
    g_bus_address = getenv("HAC_BENCH_BUS_ADDRESS");
    if (g_bus_address != nullptr && g_bus_address[0] == '\0') g_bus_address = nullptr;
    for (const char* sub : {"", "/stdout", "/cdf", "/sites"}) mkdir((g_outdir + sub).c_str(), 0755);
    void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return 1;
    g_shared = new (memory) Shared();
    // SIGCHLD stays blocked here so that the children's ends can be awaited
    // with a deadline; the children unblock it.
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, nullptr);
    hac_bench::prepare_attribution();
    g_records = hac_bench::records_near_limit(12, IPC_MAX_PAYLOAD);
    for (VetuAITAppInfo& r : g_records) g_record_pointers.push_back(&r);
    if (g_records.empty()) return 1;

    if (wants(figures, "1")) figure_query();
    if (wants(figures, "2")) figure_commands();
    if (wants(figures, "3")) figure_notification();
    if (wants(figures, "4")) figure_largest();
    if (wants(figures, "7")) {
        figure_allocations();
        figure_resident_memory();
    }
    return 0;
}
