// The test side of the HAC tests: the fixture that keeps the fixed HAC
// queues clean, and the peer process playing the other half.
#ifndef HAC_TESTS_FIXTURE_H
#define HAC_TESTS_FIXTURE_H

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "hac_texts.h"

namespace hac_test {

// Every test on the fixed HAC queues starts and ends with none of them, and
// leaves neither half initialised.
class HacQueues : public ::testing::Test {
protected:
    void SetUp() override { remove_hac_queues(); }
    void TearDown() override {
        Vetu_HAC_Client_Finalize();
        Vetu_HAC_Server_Finalize();
        remove_hac_queues();
    }
};

// The peer executable playing the other half; its reports are read from a
// file. stop() ends it with SIGTERM and returns its exit status, which under
// LeakSanitizer is non-zero on a leak.
class PeerHalf {
public:
    explicit PeerHalf(const std::vector<std::string>& args)
        : path_(temp_path("peer")), peer_(HAC_PEER_PATH, args, path_) {}
    ~PeerHalf() { std::remove(path_.c_str()); }

    std::vector<std::string> lines() const { return split_complete_lines(read_file(path_)); }

    std::vector<Json::Value> reports() const {
        std::vector<Json::Value> out;
        // A log line of the peer ends in a colour reset after its newline,
        // so a report may follow that reset on the same line.
        static const std::string reset = "\033[0m";
        for (std::string line : lines()) {
            if (line.compare(0, reset.size(), reset) == 0) line.erase(0, reset.size());
            if (!line.empty() && line[0] == '{') out.push_back(parse_json(line));
        }
        return out;
    }

    // The next report not yet taken; null when none comes in time.
    Json::Value next() {
        std::vector<Json::Value> seen;
        if (!wait_until([&] { return (seen = reports()).size() > taken_; })) return Json::Value();
        return seen[taken_++];
    }

    int stop() {
        peer_.kill_now(SIGTERM);
        return peer_.wait();
    }

private:
    static std::vector<std::string> split_complete_lines(const std::string& text) {
        return split_lines(text.substr(0, text.rfind('\n') + 1));
    }

    std::string path_;
    Peer peer_;
    size_t taken_ = 0;
};
}  // namespace hac_test

#endif
