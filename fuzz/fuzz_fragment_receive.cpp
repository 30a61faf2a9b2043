// The fragment join of ipc_rcv_internal on a private queue. The input is a
// run of fragment descriptions; the target puts them on the queue, always
// closing the run with a last fragment, and joins them payload by payload.
// Each payload is checked against the rules the receive promises: a payload
// is delivered only when every chunk_len fits the fragment, no more than
// IPC_MAX_PAYLOAD bytes were joined and total_len equals the bytes joined;
// anything else is dropped whole with -1, and the queue is left empty.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "test_support.h"
#include "vetu_ipc.h"

namespace {

const size_t kChunkSizes[4] = {3, 16, 64, 1024};
const size_t kMaxFragments = 600;

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

// By default the empty last fragment that closes every run.
struct Fragment {
    int32_t kind = 1, last = 1, chunk_len = 0;
    bool forged_total = false;  // total_len as the input says, not the bytes joined
    int32_t forged_total_len = 0;
    size_t payload = 0, offset = 0;  // where its bytes belong
};

struct Payload {
    int32_t total_len;
    size_t joined;
    bool deliverable;
};

// The byte at offset i of payload number n: includes NULs on purpose.
char pattern_byte(size_t n, size_t i) { return static_cast<char>((n * 131 + i * 7) & 0xFF); }

bool chunk_fits(int32_t len, size_t chunk_size) { return len >= 0 && static_cast<size_t>(len) <= chunk_size + 1; }

std::vector<Fragment> read_fragments(Input& in, size_t chunk_size) {
    std::vector<Fragment> out;
    while (in.left > 0 && out.size() < kMaxFragments) {
        const uint8_t flags = in.byte();
        Fragment f;
        f.last = flags & 1;
        f.kind = (flags >> 2) & 3;
        f.forged_total = (flags & 0x10) != 0;
        f.forged_total_len = f.forged_total ? in.word() : 0;
        if (flags & 2) {
            f.chunk_len = in.word();  // any value, the receiver must not trust it
        } else {
            const uint32_t v = (static_cast<uint32_t>(in.byte()) << 8) | in.byte();
            f.chunk_len = static_cast<int32_t>(v % (chunk_size + 2));
        }
        out.push_back(f);
    }
    // The run always ends a payload, so every blocking receive returns.
    out.push_back(Fragment());
    return out;
}

// Numbers the fragments by payload, and what the receive must make of each.
std::vector<Payload> group_payloads(std::vector<Fragment>& run, size_t chunk_size) {
    std::vector<Payload> payloads;
    size_t first = 0;
    for (size_t i = 0; i < run.size(); ++i) {
        if (!run[i].last) continue;
        int64_t joined = 0;
        bool sound = true;
        for (size_t k = first; k <= i; ++k) {
            run[k].payload = payloads.size();
            run[k].offset = static_cast<size_t>(joined);
            if (chunk_fits(run[k].chunk_len, chunk_size)) joined += run[k].chunk_len;
            else sound = false;
        }
        const int32_t total = run[first].forged_total ? run[first].forged_total_len : static_cast<int32_t>(joined);
        payloads.push_back({total, static_cast<size_t>(joined), sound && joined <= IPC_MAX_PAYLOAD && total == joined});
        first = i + 1;
    }
    return payloads;
}

// As a sender writes them: one kind and one total_len in every fragment of
// a payload, numbered from 1.
bool put_run(int msqid, const std::vector<Fragment>& run, const std::vector<Payload>& payloads, size_t chunk_size) {
    std::vector<char> buffer(IPC_FRAGMENT_BUFFER_SIZE(chunk_size));
    IpcFragment* frag = reinterpret_cast<IpcFragment*>(buffer.data());
    int32_t seq = 0;
    int32_t kind = 0;
    for (const Fragment& f : run) {
        memset(buffer.data(), 0, buffer.size());
        if (seq == 0) kind = f.kind;
        frag->mtype = 1;
        frag->kind = kind;
        frag->total_len = payloads[f.payload].total_len;
        frag->seq = ++seq;
        frag->last = f.last;
        frag->one = 1;
        frag->chunk_len = f.chunk_len;
        const size_t carried = chunk_fits(f.chunk_len, chunk_size) ? static_cast<size_t>(f.chunk_len) : chunk_size + 4;
        for (size_t b = 0; b < carried && b < chunk_size + 4; ++b) frag->data[b] = pattern_byte(f.payload, f.offset + b);
        if (f.last) seq = 0;
        if (msgsnd(msqid, frag, IPC_FRAGMENT_MSGSZ(chunk_size), IPC_NOWAIT) != 0) return false;
    }
    return true;
}

void check_payload(const Payload& p, size_t number, int rc, const char* block, int capacity, const IpcFragment* frag) {
    if (rc != (p.deliverable ? 0 : -1)) abort();
    if (!p.deliverable) return;
    if (frag->total_len != static_cast<int32_t>(p.joined)) abort();
    if (capacity <= 0 || static_cast<size_t>(capacity) < p.joined + 1) abort();
    for (size_t i = 0; i < p.joined; ++i)
        if (block[i] != pattern_byte(number, i)) abort();
    if (block[p.joined] != '\0') abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    const uint8_t setup = in.byte();
    const size_t chunk_size = kChunkSizes[setup & 3];
    // Mostly the capacity callers use; sometimes a smaller starting block.
    int capacity = (setup & 4) ? static_cast<int>(1 + in.byte() % (chunk_size + 1)) : static_cast<int>(chunk_size + 1);
    std::vector<Fragment> run = read_fragments(in, chunk_size);
    const std::vector<Payload> payloads = group_payloads(run, chunk_size);

    const int msqid = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    if (msqid < 0) abort();
    msqid_ds ds;
    if (msgctl(msqid, IPC_STAT, &ds) == 0) {
        // Room for the whole run; without the privilege the default stays.
        ds.msg_qbytes = (run.size() + 1) * IPC_FRAGMENT_MSGSZ(chunk_size);
        msgctl(msqid, IPC_SET, &ds);
    }
    if (put_run(msqid, run, payloads, chunk_size)) {
        std::vector<char> frag_buffer(IPC_FRAGMENT_BUFFER_SIZE(chunk_size));
        IpcFragment* frag = reinterpret_cast<IpcFragment*>(frag_buffer.data());
        char* block = static_cast<char*>(calloc(1, static_cast<size_t>(capacity)));
        for (size_t n = 0; n < payloads.size(); ++n) {
            const int rc = ipc_rcv_internal(msqid, 1, chunk_size, frag, &block, &capacity);
            check_payload(payloads[n], n, rc, block, capacity, frag);
        }
        if (hac_test::queued(msqid) != 0) abort();
        free(block);
    }  // else the queue could not hold this run: nothing to check
    msgctl(msqid, IPC_RMID, nullptr);
    return 0;
}
