// Realistic AIT application records for the benchmarks: what a broadcaster
// signals for its portal, media library and red-button applications.
#ifndef HAC_BENCH_AIT_RECORDS_H
#define HAC_BENCH_AIT_RECORDS_H

#include <string>
#include <vector>

#include "vetu_hac.h"

namespace hac_bench {

// One record of an AIT, index 0 being the autostart application; padding
// lengthens the initial path of its HTTP transport (a query string).
VetuAITAppInfo realistic_record(int index, size_t padding);

// Length of the text of a message 102 carrying these records, written the
// way every HAC message is written (styled, "ai%d" members).
size_t app_info_message_length(const std::vector<VetuAITAppInfo>& records);

// count records whose message 102 is as long as possible without exceeding
// limit bytes.
std::vector<VetuAITAppInfo> records_near_limit(int count, size_t limit);

}  // namespace hac_bench

#endif
