// The tests on the fixed HAC queues: the fixture that keeps them clean, and
// raw IPC endpoints on them for texts that no real half would write or
// read.
#ifndef HAC_TEST_FIXTURE_H
#define HAC_TEST_FIXTURE_H

#include <gtest/gtest.h>
#include <json/json.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "recording_halves.h"
#include "test_support.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"

namespace hac_test {

// Every test on the fixed HAC queues starts and ends with none of them, and
// leaves neither half initialised, nor a time limit or callback set.
class HacQueues : public ::testing::Test {
protected:
    void SetUp() override { remove_hac_queues(); }
    void TearDown() override {
        Vetu_HAC_Client_SetQueryTimeout(0);
        Vetu_HAC_Client_Finalize();
        Vetu_HAC_Server_Finalize();
        Vetu_HAC_Client_UnregisterCallback();
        Vetu_HAC_Server_UnregisterCallback();
        remove_hac_queues();
    }
};

// A raw IPC client endpoint on a HAC queue. The length sent may exceed the
// text (bytes after a NUL).
class RawSender {
public:
    explicit RawSender(key_t key);
    ~RawSender();
    RawSender(const RawSender&) = delete;
    RawSender& operator=(const RawSender&) = delete;
    int send(const std::string& bytes);

private:
    IpcClient* client_ = nullptr;
};

// A raw IPC server endpoint on the request queue in place of the browser:
// keeps every text the real client sends and answers each with what
// respond returns for it ("" gives the no-reply answer).
class RawBrowser {
public:
    using Responder = std::function<std::string(const Json::Value&)>;
    RawBrowser();  // not copied: it owns its endpoint
    ~RawBrowser();

    void respond_with(Responder respond);
    void answer_with(const std::string& text);
    std::vector<Json::Value> texts();
    bool wait_texts(size_t n);

private:
    static IpcData* on_request(const IpcData* payload, void* self);
    IpcServer* server_ = nullptr;
    std::mutex mutex_;
    std::vector<Json::Value> texts_;
    Responder respond_ = [](const Json::Value&) { return std::string(); };
};

}  // namespace hac_test

#endif
