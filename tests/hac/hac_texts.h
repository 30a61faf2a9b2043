// What the HAC tests and their peer process share: JSON helpers for the
// peer's report lines (one JSON object per line on its stdout) and raw
// endpoints on the HAC queues for texts that no real half would send.
#ifndef HAC_TESTS_TEXTS_H
#define HAC_TESTS_TEXTS_H

#include <dirent.h>
#include <json/json.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"
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
