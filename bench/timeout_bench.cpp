// How long after its time limit a query returns, when the browser never
// answers: the request queue exists and nobody reads it. Each query is woken
// by the library's alarm thread at its deadline and withdraws its request.
//   timeout_bench <label> <limit ms> <samples>
// prints one row "label|8|what|limit|median|p99|max" of microseconds after
// the limit.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vetu_hac.h"

namespace {

void remove_queue(key_t key) {
    const int id = msgget(key, 0);
    if (id >= 0) msgctl(id, IPC_RMID, nullptr);
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: timeout_bench <label> <limit ms> <samples>\n");
        return 2;
    }
    const std::string label = argv[1];
    const int limit_ms = std::atoi(argv[2]);
    const int samples = std::atoi(argv[3]);
    // A browser that never answers: its queues, and nobody reading them.
    msgget(HAC_REQUEST_QUEUE_KEY, IPC_CREAT | 0600);
    msgget(HAC_REPLY_QUEUE_KEY, IPC_CREAT | 0600);
    if (Vetu_HAC_Client_Initialize() != 0 || Vetu_HAC_Client_SetQueryTimeout(limit_ms) != 0) return 1;
    std::vector<double> late;
    for (int i = 0; i < samples; ++i) {
        int major = 0, minor = 0, number = 0;
        const auto start = std::chrono::steady_clock::now();
        const int rc = Vetu_HAC_Client_GetVersion(&major, &minor, &number);
        const auto took = std::chrono::steady_clock::now() - start;
        if (rc != VETU_ERR_TIMED_OUT) {
            std::fprintf(stderr, "timeout_bench: the query returned %d\n", rc);
            return 1;
        }
        late.push_back(std::chrono::duration<double, std::micro>(took).count() - limit_ms * 1000.0);
    }
    Vetu_HAC_Client_Finalize();
    for (key_t key : {HAC_REQUEST_QUEUE_KEY, HAC_REPLY_QUEUE_KEY, HAC_NOTIFICATION_QUEUE_KEY}) remove_queue(key);
    std::printf("%s|8|GetVersion returning after its %d ms limit|%d|%.1f|%.1f|%.1f\n", label.c_str(), limit_ms,
                samples, percentile(late, 0.5), percentile(late, 0.99), percentile(late, 1.0));
    return 0;
}
