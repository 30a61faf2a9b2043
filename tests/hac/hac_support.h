// What the HAC tests and their peer process share: the peer's report lines
// (one JSON object per line on its stdout), raw endpoints on the HAC queues
// for texts that no real half would send, and the fixture that keeps the
// fixed queues clean.
#ifndef HAC_TESTS_SUPPORT_H
#define HAC_TESTS_SUPPORT_H

#include <dirent.h>
#include <json/json.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"
#ifdef HAC_PEER_PATH
#include <gtest/gtest.h>
#endif
#include "vetu_hac.h"
#include "vetu_ipc.h"

namespace hac_test {

inline Json::Value parse_json(const std::string& text) {
    Json::Value root;
    Json::Reader reader;
    if (!reader.parse(text, root)) return Json::Value();
    return root;
}

inline std::string one_line(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

inline std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Every string of a record, as hex, in a fixed order: the byte-exact view
// of what crossed the queue.
inline Json::Value record_strings(const VetuAITAppInfo& app) {
    Json::Value out(Json::arrayValue);
    out.append(hex(app.name));
    out.append(hex(app.iconloc));
    for (const std::string& b : app.bd) out.append(hex(b));
    for (const TranProtocol& t : app.tranprotocols) {
        out.append(hex(t.bu));
        out.append(hex(t.ip));
    }
    return out;
}

inline int thread_count() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

#ifdef HAC_PEER_PATH
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
#endif

// A raw IPC client endpoint on a HAC queue, for texts the real halves never
// write. The length sent may exceed the text (bytes after a NUL).
class RawSender {
public:
    explicit RawSender(key_t key) { vetu_ipc_client_create(key, HAC_IPC_MTYPE, 0, HAC_IPC_CHUNK_SIZE, &client_); }
    ~RawSender() { vetu_ipc_client_destroy(client_); }
    int send(const std::string& bytes) {
        std::string copy = bytes;
        IpcData payload = {static_cast<int32_t>(copy.size()), &copy[0]};
        return vetu_ipc_client_send(client_, &payload);
    }

private:
    IpcClient* client_ = nullptr;
};

}  // namespace hac_test

#endif
