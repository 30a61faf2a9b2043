// The fragment join of ipc_rcv_internal on a private queue. The input is a
// run of fragment descriptions; the target puts them on the queue, always
// closing the run with a last fragment, and joins them payload by payload.
// Each payload is checked against the rules the receive promises: a payload
// is delivered only when every chunk_len fits the fragment, no more than
// IPC_MAX_PAYLOAD bytes were joined and total_len equals the bytes joined;
// anything else is dropped whole with -1. Fragments of another message type
// stay in the queue untouched.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vetu_ipc.h"

namespace {

const size_t kChunkSizes[4] = {3, 16, 64, 1024};
const size_t kMaxFragments = 600;
const long kOtherType = 2;

struct Fragment {
    long mtype;
    int32_t kind;
    int32_t last;
    int32_t chunk_len;
    bool raw_total;
    int32_t raw_total_len;
};

struct Input {
    const uint8_t* p;
    size_t left;
    uint8_t byte() {
        if (left == 0) return 0;
        --left;
        return *p++;
    }
    int32_t word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return static_cast<int32_t>(v);
    }
};

// The byte at offset i of payload number n: includes NULs on purpose.
char pattern_byte(size_t n, size_t i) { return static_cast<char>((n * 131 + i * 7) & 0xFF); }

std::vector<Fragment> read_fragments(Input& in, size_t chunk_size) {
    std::vector<Fragment> out;
    while (in.left > 0 && out.size() < kMaxFragments) {
        const uint8_t flags = in.byte();
        Fragment f;
        f.mtype = (flags & 0x20) ? kOtherType : 1;
        f.last = flags & 1;
        f.kind = (flags >> 2) & 3;
        f.raw_total = (flags & 0x10) != 0;
        f.raw_total_len = f.raw_total ? in.word() : 0;
        if (flags & 2) {
            f.chunk_len = in.word();  // any value, the receiver must not trust it
        } else {
            const uint32_t v = (static_cast<uint32_t>(in.byte()) << 8) | in.byte();
            f.chunk_len = static_cast<int32_t>(v % (chunk_size + 2));
        }
        out.push_back(f);
    }
    // The run always ends a payload, so every blocking receive returns.
    out.push_back(Fragment{1, 1, 1, 0, false, 0});
    return out;
}

struct Payload {
    std::vector<size_t> fragments;  // indexes into the run, message type 1 only
    int32_t total_len;
    bool deliverable;
    size_t joined;
};

std::vector<Payload> group_payloads(std::vector<Fragment>& run, size_t chunk_size) {
    std::vector<Payload> payloads;
    Payload cur{{}, 0, true, 0};
    for (size_t i = 0; i < run.size(); ++i) {
        if (run[i].mtype != 1) continue;
        cur.fragments.push_back(i);
        if (!run[i].last) continue;
        int64_t joined = 0;
        bool sound = true;
        for (size_t k : cur.fragments) {
            const int32_t n = run[k].chunk_len;
            if (n < 0 || static_cast<size_t>(n) > chunk_size + 1) sound = false;
            else joined += n;
        }
        const Fragment& first = run[cur.fragments.front()];
        cur.total_len = first.raw_total ? first.raw_total_len : static_cast<int32_t>(joined);
        cur.joined = static_cast<size_t>(joined);
        cur.deliverable = sound && joined <= IPC_MAX_PAYLOAD && cur.total_len == joined;
        payloads.push_back(cur);
        cur = Payload{{}, 0, true, 0};
    }
    return payloads;
}

bool put_run(int msqid, const std::vector<Fragment>& run, const std::vector<Payload>& payloads, size_t chunk_size) {
    std::vector<int32_t> total_of(run.size(), 0);
    std::vector<int32_t> kind_of(run.size(), 0);
    std::vector<size_t> number_of(run.size(), 0);
    std::vector<size_t> offset_of(run.size(), 0);
    for (size_t n = 0; n < payloads.size(); ++n) {
        size_t offset = 0;
        // A sender writes one kind in every fragment of a payload.
        const int32_t kind = run[payloads[n].fragments.front()].kind;
        for (size_t k : payloads[n].fragments) {
            total_of[k] = payloads[n].total_len;
            kind_of[k] = kind;
            number_of[k] = n;
            offset_of[k] = offset;
            const int32_t len = run[k].chunk_len;
            if (len > 0 && static_cast<size_t>(len) <= chunk_size + 1) offset += len;
        }
    }
    std::vector<char> buffer(IPC_FRAGMENT_BUFFER_SIZE(chunk_size));
    IpcFragment* frag = reinterpret_cast<IpcFragment*>(buffer.data());
    int32_t seq[2] = {0, 0};  // per message type, as a sender numbers them
    for (size_t i = 0; i < run.size(); ++i) {
        memset(buffer.data(), 0, buffer.size());
        const Fragment& f = run[i];
        frag->mtype = f.mtype;
        frag->kind = f.mtype == 1 ? kind_of[i] : f.kind;
        frag->total_len = f.mtype == 1 ? total_of[i] : 7;
        int32_t& next = seq[f.mtype == 1 ? 0 : 1];
        frag->seq = ++next;
        frag->last = f.last;
        frag->one = 1;
        frag->token = 0;
        frag->chunk_len = f.chunk_len;
        const size_t carried = (f.chunk_len > 0 && static_cast<size_t>(f.chunk_len) <= chunk_size + 1)
                                   ? static_cast<size_t>(f.chunk_len)
                                   : chunk_size + 4;
        for (size_t b = 0; b < carried && b < chunk_size + 4; ++b)
            frag->data[b] = pattern_byte(number_of[i], offset_of[i] + b);
        if (f.last) next = 0;
        if (msgsnd(msqid, frag, IPC_FRAGMENT_MSGSZ(chunk_size), IPC_NOWAIT) != 0) return false;
    }
    return true;
}

void check_payload(const Payload& p, size_t number, int rc, const char* block, int capacity,
                   const IpcFragment* frag) {
    if (!p.deliverable) {
        if (rc != -1) abort();
        return;
    }
    if (rc != 0) abort();
    if (frag->total_len != static_cast<int32_t>(p.joined)) abort();
    if (capacity <= 0 || static_cast<size_t>(capacity) < p.joined + 1) abort();
    for (size_t i = 0; i < p.joined; ++i)
        if (block[i] != pattern_byte(number, i)) abort();
    if (block[p.joined] != '\0') abort();
}

size_t queued_messages(int msqid) {
    msqid_ds ds;
    if (msgctl(msqid, IPC_STAT, &ds) != 0) abort();
    return ds.msg_qnum;
}

void drain_other_type(int msqid, size_t chunk_size, size_t expected) {
    std::vector<char> buffer(IPC_FRAGMENT_BUFFER_SIZE(chunk_size));
    size_t found = 0;
    while (msgrcv(msqid, buffer.data(), IPC_FRAGMENT_MSGSZ(chunk_size), kOtherType, IPC_NOWAIT) >= 0) ++found;
    if (found != expected) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    const uint8_t setup = in.byte();
    const size_t chunk_size = kChunkSizes[setup & 3];
    // Mostly the capacity callers use; sometimes a smaller starting block.
    const int start_capacity =
        (setup & 4) ? static_cast<int>(1 + in.byte() % (chunk_size + 1)) : static_cast<int>(chunk_size + 1);

    std::vector<Fragment> run = read_fragments(in, chunk_size);
    std::vector<Payload> payloads = group_payloads(run, chunk_size);
    size_t other = 0;
    for (const Fragment& f : run) other += f.mtype != 1;

    const int msqid = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    if (msqid < 0) abort();
    msqid_ds ds;
    if (msgctl(msqid, IPC_STAT, &ds) == 0) {
        // Room for the whole run; without the privilege the default stays.
        ds.msg_qbytes = (run.size() + 1) * IPC_FRAGMENT_MSGSZ(chunk_size);
        msgctl(msqid, IPC_SET, &ds);
    }
    if (!put_run(msqid, run, payloads, chunk_size)) {
        // The queue could not hold this run: nothing to check.
        msgctl(msqid, IPC_RMID, nullptr);
        return 0;
    }

    std::vector<char> frag_buffer(IPC_FRAGMENT_BUFFER_SIZE(chunk_size));
    IpcFragment* frag = reinterpret_cast<IpcFragment*>(frag_buffer.data());
    int capacity = start_capacity;
    char* block = static_cast<char*>(calloc(1, static_cast<size_t>(capacity)));
    for (size_t n = 0; n < payloads.size(); ++n) {
        const int rc = ipc_rcv_internal(msqid, 1, chunk_size, frag, &block, &capacity);
        check_payload(payloads[n], n, rc, block, capacity, frag);
    }
    if (queued_messages(msqid) != other) abort();
    drain_other_type(msqid, chunk_size, other);
    free(block);
    msgctl(msqid, IPC_RMID, nullptr);
    return 0;
}
