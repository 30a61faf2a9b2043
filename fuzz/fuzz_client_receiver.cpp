// The HAC client's event receiver on a notification text, with the four
// callbacks of the tests' recording manager registered. It never answers and
// never throws, whatever arrives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "halves.h"
#include "recording_halves.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"

namespace {

// Every callback must be handed the user data it was registered with.
void check_report(const Json::Value& line) {
    if (line.isMember("ud") && !line["ud"].asBool()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The receiver's error records go to stdout.
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    hac_test::set_report_sink(check_report);
    hac_test::register_recording_manager();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > IPC_MAX_PAYLOAD) return 0;
    std::vector<char> block(size + 1, '\0');
    memcpy(block.data(), data, size);
    IpcData payload{static_cast<int32_t>(size), block.data()};
    if (ipc_callback(&payload, nullptr) != nullptr) abort();
    return 0;
}
