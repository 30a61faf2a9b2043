// Allocation failure at each allocation of every entry point: the
// documented status, nothing thrown, nothing sent cut short, no leak
// (LeakSanitizer checks the ASan build at exit), and the next call is not
// disturbed.
#include <gtest/gtest.h>
#include <sys/msg.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "envelope.h"
#include "failing_allocator.h"
#include "hac_fixture.h"

namespace {

using hac_test::queued;
// Every case starts and ends with no HAC queue and neither half initialised.
using AllocationFailure = hac_test::HacQueues;

// A sanitizer's runtime allocates in a new thread before the thread's own
// code runs and cannot survive a failure there: sanitizer builds fail only
// the calling thread's allocations.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool kFailInOtherThreads = false;
#else
const bool kFailInOtherThreads = true;
#endif

const size_t kChunk = 1024;

IpcData view(std::string& s) { return IpcData{static_cast<int32_t>(s.size()), &s[0]}; }

// Runs call with its first, second, ... allocation failing, each time on a
// fresh thread (a thread's writer and reader are made at its first message,
// and those allocations must fail too), until a call runs with none
// failing. The call returns 0 when nothing failed, else -4 or also; then is
// told whether an allocation failed.
void fail_each_allocation(
    const std::string& what, const std::function<int()>& call, int also = -4,
    const std::function<void(bool failed)>& then = [](bool) {}) {
    for (long n = 1; n <= 1000; ++n) {
        bool failed = false;
        std::thread([&] {
            SCOPED_TRACE(what + ", allocation " + std::to_string(n) + " failing");
            int rc = 1;
            hac_test::fail_nth_allocation_here(n);
            try {
                rc = call();
            } catch (...) {
                ADD_FAILURE() << "threw";
            }
            failed = hac_test::disarm_allocation_failure();
            EXPECT_TRUE(failed ? rc == -4 || rc == also : rc == 0) << rc;
            then(failed);
        }).join();
        if (!failed) return;
    }
    ADD_FAILURE() << what << " kept allocating";
}

// Answers a request with 5000 bytes derived from its first byte: five
// fragments, so the client's receive has to grow its block.
IpcData* long_answer(const IpcData* payload, void*) {
    const std::string text = hac_test::numbered_payload(payload->data[0], 5000);
    return new IpcData{static_cast<int32_t>(text.size()), strdup(text.c_str())};
}

// The calls of a client endpoint: create leaves its out-parameter alone; a
// one-way send puts nothing on the queue; an exchange gives no reply and
// the next exchange gets the answer to its own request. And when the
// server's receive thread cannot grow its block for a request of several
// fragments, the request is dropped, and its client still gets an answer
// (the no-reply one) instead of waiting for ever.
TEST_F(AllocationFailure, ClientCallsFailWithMinusFourAndEveryRequestIsStillAnswered) {
    const key_t served = hac_test::unique_queue_key(), raw = hac_test::unique_queue_key();
    hac_test::QueueCleaner cleaner({served, served + 1, raw, raw + 1});
    IpcServer* server = nullptr;
    ASSERT_EQ(vetu_ipc_server_create(served, 1, 1, kChunk, &server), 0);
    ASSERT_EQ(vetu_ipc_server_register_callback(server, long_answer, nullptr), 0);
    const int raw_q = msgget(raw, IPC_CREAT | 0600);

    IpcClient* const untouched = reinterpret_cast<IpcClient*>(0x1);
    IpcClient* client = untouched;
    fail_each_allocation(
        "create", [&] { return vetu_ipc_client_create(raw, 1, 1, kChunk, &client); }, -4,
        [&](bool failed) { EXPECT_TRUE(!failed || client == untouched) << "out-parameter written"; });
    std::string text = hac_test::numbered_payload(1, 3000);
    IpcData payload = view(text);
    fail_each_allocation(
        "one-way send", [&] { return vetu_ipc_client_send(client, &payload); }, -4,
        [&](bool failed) { EXPECT_EQ(queued(raw_q), failed ? 0u : 3u) << "a failed send queued"; });
    vetu_ipc_client_destroy(client);

    ASSERT_EQ(vetu_ipc_client_create(served, 1, 1, kChunk, &client), 0);
    char asked[] = "A";
    IpcData request = {1, asked}, reply = {0, nullptr};
    const auto ask = [&](char letter) {
        asked[0] = letter;
        reply = {0, nullptr};
        return vetu_ipc_client_send_sync_with_params(client, &request, &reply);
    };
    fail_each_allocation(
        "exchange", [&] { return ask('A'); }, -1,
        [&](bool failed) {
            if (failed) {
                EXPECT_EQ(reply.data, nullptr) << "a failed exchange gave a reply";
                EXPECT_EQ(ask('K'), 0);
            }
            ASSERT_NE(reply.data, nullptr);
            EXPECT_EQ(std::string(reply.data, static_cast<size_t>(reply.len)),
                      hac_test::numbered_payload(failed ? 'K' : 'A', 5000))
                << "not the answer to its own request";
            free(reply.data);
        });

    // The receive thread has made its buffers: it has answered requests.
    if (kFailInOtherThreads) {
        reply = {0, nullptr};
        hac_test::exempt_this_thread(true);
        hac_test::fail_nth_allocation_anywhere(1);  // the receive thread's growth for the second fragment
        std::thread exchange([&] {
            hac_test::exempt_this_thread(true);
            EXPECT_EQ(vetu_ipc_client_send_sync_with_params(client, &payload, &reply), 0);
        });
        const bool answered = hac_test::wait_until([&] { return reply.data != nullptr; });
        if (!answered) {  // release the exchange of a server that never answers
            char a[] = "a";
            IpcData none = {2, a};
            ipc_snd_internal(msgget(served + 1, 0), 1, kChunk, &none, IPC_KIND_NO_REPLY);
        }
        exchange.join();
        EXPECT_TRUE(hac_test::disarm_allocation_failure());
        hac_test::exempt_this_thread(false);
        EXPECT_TRUE(answered) << "a request the receive thread could not join was not answered";
        EXPECT_EQ(reply.len, 0);  // the no-reply answer leaves len as it was
        free(reply.data);
    }
    vetu_ipc_client_destroy(client);
    vetu_ipc_server_destroy(server);
}

// The record and the thread are the creating thread's allocations; the
// receive thread's two buffers are its own. A failure there ends the thread
// (the endpoint then serves nothing) but destroy still returns at once.
TEST_F(AllocationFailure, ServerCreateFailsCleanlyAtEveryAllocation) {
    for (long n = 1; n <= 64; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " failing");
        const key_t key = hac_test::unique_queue_key();
        hac_test::QueueCleaner cleaner({key, key + 1});
        const int others = hac_test::thread_count();  // the last round's receive thread has ended
        const auto receive_thread_ended = [&] { return hac_test::thread_count() == others; };
        IpcServer* server = nullptr;
        kFailInOtherThreads ? hac_test::fail_nth_allocation_anywhere(n) : hac_test::fail_nth_allocation_here(n);
        const int rc = vetu_ipc_server_create(key, 1, 1, kChunk, &server);
        hac_test::exempt_this_thread(true);  // what the test itself allocates from here on
        bool served = false;
        if (rc == 0) {  // served, or the receive thread ended: a raw request tells
            char text[] = "ping";
            IpcData ping = {4, text};
            EXPECT_EQ(ipc_snd_internal(msgget(key, 0), 1, kChunk, &ping, IPC_KIND_REQUEST), 0);
            EXPECT_TRUE(hac_test::wait_until([&] { return queued(msgget(key + 1, 0)) > 0 || receive_thread_ended(); }));
            served = queued(msgget(key + 1, 0)) > 0;
        }
        const bool failed = hac_test::disarm_allocation_failure();
        hac_test::exempt_this_thread(false);
        EXPECT_EQ(rc == 0 ? vetu_ipc_server_destroy(server) : 0, 0);
        EXPECT_TRUE(rc == 0 || ((rc == -4 || rc == -5) && server == nullptr)) << rc;
        EXPECT_TRUE(hac_test::wait_until(receive_thread_ended)) << "the receive thread outlived its endpoint";
        if (!failed) {
            EXPECT_TRUE(served);
            return;
        }
        if (rc == 0 && !served) std::printf("allocation %ld failed in the receive thread: it serves nothing\n", n);
    }
    FAIL() << "create kept allocating";
}

// Every command, query and notification, failing each of its allocations in
// turn: it returns -4, or 0 once nothing fails. Both halves run in this
// process on the HAC queues.
TEST_F(AllocationFailure, NoHacCallThrowsWhenMemoryRunsOut) {
    Vetu_HAC_Server_RegisterCallback(hac_test::recording_browser(), nullptr);  // GetVersion answers 1.2.3
    ASSERT_EQ(Vetu_HAC_Server_Initialize(), 0);
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    VetuAppIdentifier app = {1, 2};
    VetuAITAppInfo record;
    record.name = hac_test::numbered_payload(1, 300);
    VetuAITAppInfo* records[] = {&record};
    // The text of a message grows several times while it is written: a
    // failure at any step must not let a cut text through with status 0.
    const std::string xml = hac_test::numbered_payload(2, 5000);
    int a = 0, b = 0, c = 0;
    const std::vector<std::pair<const char*, std::function<int()>>> calls = {
        {"SendAitIDs", [] { return Vetu_HAC_Client_SendAitIDs(1, 2, true); }},
        {"SendAitAppInfo", [&] { return Vetu_HAC_Client_SendAitAppInfo(1, records); }},
        {"StopApp", [&] { return Vetu_HAC_Client_StopApp(&app); }},
        {"SendXmlAitUrl", [&] { return Vetu_HAC_Client_SendXmlAitUrl(xml.c_str(), 5000, "c", 1); }},
        {"SendKey", [] { return Vetu_HAC_Client_SendKey(VETU_KEY_RED, VETU_KEY_EVENT_DOWN, 1); }},
        {"DestroyBIApplication", [&] { return Vetu_HAC_Client_DestroyBIApplication(&app); }},
        {"Reset", [] { return Vetu_HAC_Client_Reset(1, VETU_RESET_FULL, 3); }},
        {"GetAppErrorCode", [&] { return Vetu_HAC_Client_GetAppErrorCode(&app, &a); }},
        {"ShowTeleTextApp", [&] { return Vetu_HAC_Client_ShowTeleTextApp(1, &a); }},
        {"CreateBIApplication",
         [&] { return Vetu_HAC_Client_CreateBIApplication("http://a", 8, &app, VETU_APP_SOURCE_URL); }},
        {"GetVersion", [&] { return Vetu_HAC_Client_GetVersion(&a, &b, &c); }},
        {"IsAppRunning", [&] { return Vetu_HAC_Client_IsAppRunning(&a); }},
        {"SendAppState", [] { return Vetu_HAC_Server_SendAppState(1, 2, VETU_APP_EVENT_STARTED); }},
        {"UpdateDvbAitStatus", [] { return Vetu_HAC_Server_UpdateDvbAitStatus(VETU_AIT_STATUS_OK); }},
        {"UpdateXmlAitStatus", [] { return Vetu_HAC_Server_UpdateXmlAitStatus(VETU_AIT_STATUS_OK); }},
    };
    for (const auto& call : calls) fail_each_allocation(call.first, call.second);
    EXPECT_EQ(Vetu_HAC_Client_GetVersion(&a, &b, &c), 0);
    EXPECT_EQ(a * 100 + b * 10 + c, 123) << "an answer of a failed query was taken by the next";
}

// The text grows several times while it is written; a failure at any of
// those steps must not let a cut text through as a message.
TEST_F(AllocationFailure, AMessageTextIsWrittenWholeOrNotAtAll) {
    Json::Value message = hac_new_message(102);
    message["ai0"] = hac_test::numbered_payload(5, 5000);
    message["num"] = 1;
    const std::string whole = message.toStyledString();
    std::string_view text;  // the thread's own buffer, read before the thread ends
    fail_each_allocation(
        "writing", [&] { return (text = hac_write_thread_text(message)).empty() ? -4 : 0; }, -4,
        [&](bool) { EXPECT_TRUE(text.empty() || text == whole) << "a cut text"; });
}

// A record that holds entries already, decoded into: on a failure its
// entries are as they were, however far the decode got. Its texts are too
// long to be kept inside a string: copying them allocates too.
TEST_F(AllocationFailure, ARecordDecodedIntoIsLeftAsItWasOnFailure) {
    VetuAITAppInfo sent;
    sent.name = "an application name longer than a short string";
    for (int i = 0; i < 3; ++i) {
        sent.tranprotocols.push_back(TranProtocol{i, "http://broadcast.example/application", "i", i});
        sent.bd.push_back("http://broadcast.example/boundary");
    }
    sent.trprn = sent.bn = 3;
    std::string document;
    ASSERT_EQ(aitappinfo_packet(&sent, document), 0);
    const Json::Value root = hac_test::parse_json(document);
    VetuAITAppInfo held;
    held.tranprotocols = {TranProtocol{7, "u", "p", 1}, TranProtocol{8, "u", "p", 1}};
    held.bd = {"x", "y"};
    VetuAITAppInfo target = held;
    Json::Value argument = root;
    fail_each_allocation(
        "decoding into a record with entries", [&] { return aitappinfo_unpacket(std::move(argument), &target); }, -4,
        [&](bool failed) {
            const size_t entries = failed ? 2 : 5;
            EXPECT_EQ(target.tranprotocols.size(), entries);
            EXPECT_EQ(target.bd.size(), entries);
            target = VetuAITAppInfo(held);  // as tight as the caller's vectors were
            argument = root;
        });
}

// A growth failure keeps the caller's block valid; the next receive skips
// the rest of that payload and takes the one after it whole.
TEST_F(AllocationFailure, ReceiveGrowthFailureKeepsTheBlockAndLosesOnlyThatPayload) {
    const int q = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    ASSERT_GE(q, 0);
    std::string big = hac_test::numbered_payload(3, 5000), small = hac_test::numbered_payload(4, 10);
    IpcData a = view(big), b = view(small);
    ASSERT_EQ(ipc_snd_internal(q, 1, kChunk, &a, IPC_KIND_MESSAGE), 0);
    ASSERT_EQ(ipc_snd_internal(q, 1, kChunk, &b, IPC_KIND_MESSAGE), 0);
    std::vector<char> frag(IPC_FRAGMENT_BUFFER_SIZE(kChunk));
    IpcFragment* fragment = reinterpret_cast<IpcFragment*>(frag.data());
    int capacity = static_cast<int>(kChunk + 1);
    char* block = static_cast<char*>(calloc(1, kChunk + 1));
    hac_test::fail_nth_allocation_here(1);
    EXPECT_EQ(ipc_rcv_internal(q, 1, kChunk, fragment, &block, &capacity), -4);
    EXPECT_TRUE(hac_test::disarm_allocation_failure());
    block[0] = 'x';  // still the caller's valid block
    ASSERT_EQ(ipc_rcv_internal(q, 1, kChunk, fragment, &block, &capacity), 0);
    EXPECT_EQ(std::string(block), small);
    EXPECT_EQ(queued(q), 0u);
    free(block);
    msgctl(q, IPC_RMID, nullptr);
}

}  // namespace
