// Helpers of the fault tests: the output of a peer process and queue state.
#ifndef HAC_FAULT_SUPPORT_H
#define HAC_FAULT_SUPPORT_H

#include <sys/ipc.h>
#include <sys/msg.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "test_support.h"

namespace hac_test {

// The lines a peer has printed so far.
inline std::vector<std::string> peer_lines(const std::string& path) { return split_lines(read_file(path)); }

inline bool peer_printed(const std::string& path, const std::string& line,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    return wait_until(
        [&] {
            const auto lines = peer_lines(path);
            return std::find(lines.begin(), lines.end(), line) != lines.end();
        },
        timeout);
}

// The numbers printed after prefix ("ok 3" gives 3 for "ok "), in order.
inline std::vector<long> peer_numbers(const std::string& path, const std::string& prefix) {
    std::vector<long> out;
    for (const std::string& l : peer_lines(path))
        if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(std::stol(l.substr(prefix.size())));
    return out;
}

}  // namespace hac_test

#endif
