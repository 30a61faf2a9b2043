// CPU cost of the message work on either side of the queue: writing a
// query (as the library writes messages of integers), reading a reply,
// encoding and decoding an AIT record.
// Each benchmark also reports the heap allocations of one iteration
// ("allocs"): every benchmark reports the same counters, as the CSV output
// of bench/run requires.
#include <benchmark/benchmark.h>
#include <json/json.h>

#include <string>
#include <string_view>

#include "ait_records.h"
#include "alloc_counter.h"
#include "envelope.h"
#include "vetu_hac.h"

namespace {

// Runs the loop of a benchmark and reports its allocations per iteration.
template <typename Body>
void run_counting(benchmark::State& state, Body body) {
    const uint64_t before = hac_bench::thread_allocations();
    for (auto _ : state) body();
    const uint64_t made = hac_bench::thread_allocations() - before;
    state.counters["allocs"] = static_cast<double>(made) / static_cast<double>(state.iterations());
}

void BM_BuildAndWriteGetVersion(benchmark::State& state) {
    run_counting(state, [] {
        const std::string_view text = hac_write_message(HAC_MSG_GET_VERSION, {});
        benchmark::DoNotOptimize(text);
    });
}
BENCHMARK(BM_BuildAndWriteGetVersion);

void BM_BuildAndWriteGetAppErrorCode(benchmark::State& state) {
    run_counting(state, [] {
        const std::string_view text = hac_write_message(HAC_MSG_GET_APP_ERROR_CODE, {12, 23});
        benchmark::DoNotOptimize(text);
    });
}
BENCHMARK(BM_BuildAndWriteGetAppErrorCode);

std::string version_reply_text() {
    return std::string(hac_write_message(HAC_MSG_GET_VERSION_REPLY, {1, 2, 3}));
}

// What the query does with a parsed reply.
void read_version(bool parsed, const Json::Value& root) {
    HacReader reader(root);
    int sum = reader.integer("major") + reader.integer("minor") + reader.integer("number");
    benchmark::DoNotOptimize(parsed);
    benchmark::DoNotOptimize(sum);
}

void BM_ParseGetVersionReply(benchmark::State& state) {
    const std::string text = version_reply_text();
    run_counting(state, [&text] {
        Json::Value root;
        read_version(hac_parse_text(text.c_str(), &root), root);
    });
}
BENCHMARK(BM_ParseGetVersionReply);

void BM_EncodeRecord(benchmark::State& state) {
    const VetuAITAppInfo record = hac_bench::realistic_record(1, 0);
    std::string text;
    run_counting(state, [&] {
        aitappinfo_packet(&record, text);
        benchmark::DoNotOptimize(text);
    });
}
BENCHMARK(BM_EncodeRecord);

// What the browser does per record of message 102: parse the document
// string, then decode it into a fresh record.
void BM_ParseAndDecodeRecord(benchmark::State& state) {
    const VetuAITAppInfo record = hac_bench::realistic_record(1, 0);
    std::string text;
    aitappinfo_packet(&record, text);
    run_counting(state, [&text] {
        Json::Value root;
        hac_parse_text(text.c_str(), &root);
        VetuAITAppInfo decoded;
        aitappinfo_unpacket(root, &decoded);
        benchmark::DoNotOptimize(decoded.appid);
    });
}
BENCHMARK(BM_ParseAndDecodeRecord);

void BM_DecodeParsedRecord(benchmark::State& state) {
    const VetuAITAppInfo record = hac_bench::realistic_record(1, 0);
    std::string text;
    aitappinfo_packet(&record, text);
    Json::Value root;
    hac_parse_text(text.c_str(), &root);
    run_counting(state, [&root] {
        VetuAITAppInfo decoded;
        aitappinfo_unpacket(root, &decoded);
        benchmark::DoNotOptimize(decoded.appid);
    });
}
BENCHMARK(BM_DecodeParsedRecord);

}  // namespace

BENCHMARK_MAIN();
