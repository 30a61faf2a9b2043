// Cost of a log line that the module level suppresses, and of one that is
// printed (standard output sent to /dev/null while the loop runs).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "vetu_log.h"

namespace {

// Points stdout at /dev/null for one benchmark run; the report printed
// afterwards goes to the real stdout again.
class StdoutToNull {
public:
    StdoutToNull() : saved_(dup(STDOUT_FILENO)) {
        fflush(stdout);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    ~StdoutToNull() {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

private:
    int saved_;
};

// A table as a receiver has it: some modules, "HAC" not among them unless raised.
void fill_table(bool hac_at_info) {
    clear_modules_list();
    insert_modules_list("apm|browser|dvb|epg|player|si|ui", 2);
    if (hac_at_info) insert_modules_list("HAC", 1);
}

const int kValue = 7;

void BM_SuppressedEntryLine(benchmark::State& state) {
    fill_table(false);
    for (auto _ : state) vetu_log_print(LOG_TYPE_ENTER, "HAC", "ipc/hac_apm/hac_client.cpp", "Initialize", 1, 0, 0);
}
BENCHMARK(BM_SuppressedEntryLine);

void BM_SuppressedFreeFormLine(benchmark::State& state) {
    fill_table(false);
    for (auto _ : state) vetu_log("HAC", "ipc/hac_apm/hac_client.cpp", "Initialize", 1, "value %d\n", kValue);
}
BENCHMARK(BM_SuppressedFreeFormLine);

void BM_PrintedEntryLine(benchmark::State& state) {
    fill_table(true);
    StdoutToNull null_out;
    for (auto _ : state) vetu_log_print(LOG_TYPE_ENTER, "HAC", "ipc/hac_apm/hac_client.cpp", "Initialize", 1, 0, 0);
}
BENCHMARK(BM_PrintedEntryLine);

void BM_PrintedIntLine(benchmark::State& state) {
    fill_table(true);
    StdoutToNull null_out;
    for (auto _ : state)
        vetu_log_print(LOG_TYPE_INT, "HAC", "ipc/hac_apm/hac_client.cpp", "Initialize", 1, "value", &kValue);
}
BENCHMARK(BM_PrintedIntLine);

}  // namespace

BENCHMARK_MAIN();
