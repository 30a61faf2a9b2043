// Allocation failure at each allocation of endpoint creation, sending and
// receiving: the documented status, no crash, no leak (LeakSanitizer checks
// the ASan build at exit), and the next exchange is not disturbed.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "failing_allocator.h"
#include "envelope.h"
#include "test_support.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"

namespace {

// A sanitizer's runtime allocates in a new thread before the thread's own
// code runs and cannot survive a failure there: sanitizer builds fail only
// the creating thread's allocations.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool kFailInOtherThreads = false;
#else
const bool kFailInOtherThreads = true;
#endif

const size_t kChunk = 1024;
const long kMaxAllocations = 64;
// A command with an AIT record, or a query, allocates more than that.
const long kMaxHacCallAllocations = 1000;

size_t queued(int msqid) {
    msqid_ds ds;
    return msgctl(msqid, IPC_STAT, &ds) == 0 ? ds.msg_qnum : 0;
}

std::string pattern(size_t len, char seed) {
    std::string s(len, '\0');
    for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>('A' + (seed + i) % 26);
    return s;
}

IpcData view(std::string& s) { return IpcData{static_cast<int32_t>(s.size()), &s[0]}; }

// Answers a request with 5000 bytes derived from its first byte: five
// fragments, so the client's receive has to grow its block.
IpcData* long_answer(const IpcData* payload, void*) {
    const std::string text = pattern(5000, payload->data[0]);
    IpcData* answer = new IpcData;
    answer->len = static_cast<int32_t>(text.size());
    answer->data = strdup(text.c_str());
    return answer;
}

TEST(AllocationFailure, ClientCreateReturnsMinusFourAndLeavesOutAlone) {
    for (long n = 1; n <= kMaxAllocations; ++n) {
        IpcClient* client = reinterpret_cast<IpcClient*>(0x1);
        hac_test::fail_nth_allocation_here(n);
        const int rc = vetu_ipc_client_create(hac_test::unique_queue_key(), 1, 1, kChunk, &client);
        if (!hac_test::disarm_allocation_failure()) {
            ASSERT_EQ(rc, 0);
            EXPECT_EQ(vetu_ipc_client_destroy(client), 0);
            return;
        }
        EXPECT_EQ(rc, -4) << "allocation " << n;
        EXPECT_EQ(client, reinterpret_cast<IpcClient*>(0x1));
    }
    FAIL() << "create kept allocating";
}

// The record and the thread are the creating thread's allocations; the
// receive thread's two buffers are its own. A failure there ends the thread
// (the endpoint then serves nothing) but destroy still returns at once.
TEST(AllocationFailure, ServerCreateFailsCleanlyAtEveryAllocation) {
    for (long n = 1; n <= kMaxAllocations; ++n) {
        const key_t key = hac_test::unique_queue_key();
        hac_test::QueueCleaner cleaner({key, key + 1});
        IpcServer* server = nullptr;
        if (kFailInOtherThreads) hac_test::fail_nth_allocation_anywhere(n);
        else hac_test::fail_nth_allocation_here(n);
        const int rc = vetu_ipc_server_create(key, 1, 1, kChunk, &server);
        const bool hit_in_create = !kFailInOtherThreads && hac_test::disarm_allocation_failure();
        hac_test::exempt_this_thread(true);
        if (rc != 0) {
            hac_test::disarm_allocation_failure();
            hac_test::exempt_this_thread(false);
            EXPECT_TRUE(rc == -4 || rc == -5) << "allocation " << n << " gave " << rc;
            EXPECT_EQ(server, nullptr);
            continue;
        }
        // Does the endpoint still answer? A raw request and its answer.
        const int request_q = msgget(key, 0);
        const int reply_q = msgget(key + 1, 0);
        char text[] = "ping";
        IpcData ping = {4, text};
        ASSERT_EQ(ipc_snd_internal(request_q, 1, kChunk, &ping, IPC_KIND_REQUEST), 0);
        const bool served = hac_test::wait_until([&] { return queued(reply_q) > 0; }, std::chrono::seconds(3));
        const bool hit = hac_test::disarm_allocation_failure() || hit_in_create;
        hac_test::exempt_this_thread(false);
        EXPECT_EQ(vetu_ipc_server_destroy(server), 0);
        if (!hit) {
            EXPECT_TRUE(served);
            return;
        }
        if (!served) {
            RecordProperty("receive_thread_ended_at_allocation", static_cast<int>(n));
            std::printf("allocation %ld failed in the receive thread: create returned 0, the endpoint serves nothing\n",
                        n);
        }
    }
    FAIL() << "create kept allocating";
}

TEST(AllocationFailure, OneWaySendFailsWithNothingSent) {
    const key_t key = hac_test::unique_queue_key();
    hac_test::QueueCleaner cleaner({key, key + 1});
    const int q = msgget(key, IPC_CREAT | 0600);
    ASSERT_GE(msgget(key + 1, IPC_CREAT | 0600), 0);
    IpcClient* client = nullptr;
    ASSERT_EQ(vetu_ipc_client_create(key, 1, 1, kChunk, &client), 0);
    std::string text = pattern(3000, 1);
    IpcData payload = view(text);
    for (long n = 1; n <= kMaxAllocations; ++n) {
        hac_test::fail_nth_allocation_here(n);
        const int rc = vetu_ipc_client_send(client, &payload);
        if (!hac_test::disarm_allocation_failure()) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(queued(q), 3u);
            break;
        }
        EXPECT_TRUE(rc == -1 || rc == -4) << "allocation " << n << " gave " << rc;
        EXPECT_EQ(queued(q), 0u) << "a failed send put fragments on the queue";
    }
    vetu_ipc_client_destroy(client);
}

TEST(AllocationFailure, ExchangeFailsWithoutReplyAndTheNextGetsItsOwnAnswer) {
    const key_t key = hac_test::unique_queue_key();
    hac_test::QueueCleaner cleaner({key, key + 1});
    IpcServer* server = nullptr;
    ASSERT_EQ(vetu_ipc_server_create(key, 1, 1, kChunk, &server), 0);
    ASSERT_EQ(vetu_ipc_server_register_callback(server, long_answer, nullptr), 0);
    IpcClient* client = nullptr;
    ASSERT_EQ(vetu_ipc_client_create(key, 1, 1, kChunk, &client), 0);
    bool covered = false;
    for (long n = 1; n <= kMaxAllocations && !covered; ++n) {
        char asked[] = "A";
        IpcData request = {1, asked};
        IpcData reply = {0, nullptr};
        hac_test::fail_nth_allocation_here(n);
        const int rc = vetu_ipc_client_send_sync_with_params(client, &request, &reply);
        covered = !hac_test::disarm_allocation_failure();
        if (covered) {
            ASSERT_EQ(rc, 0);
        } else {
            EXPECT_TRUE(rc == -1 || rc == -4) << "allocation " << n << " gave " << rc;
            EXPECT_EQ(reply.data, nullptr);
            // The exchange after the failure gets the answer to its own request.
            asked[0] = 'K';
            reply = {0, nullptr};
            ASSERT_EQ(vetu_ipc_client_send_sync_with_params(client, &request, &reply), 0);
        }
        ASSERT_NE(reply.data, nullptr);
        EXPECT_EQ(std::string(reply.data, static_cast<size_t>(reply.len)), pattern(5000, asked[0]))
            << "allocation " << n;
        free(reply.data);
    }
    EXPECT_TRUE(covered);
    vetu_ipc_client_destroy(client);
    vetu_ipc_server_destroy(server);
}

// The receive thread cannot grow its block for a request of several
// fragments: the request is dropped, and its client still gets an answer
// (the no-reply one) instead of waiting for ever.
TEST(AllocationFailure, ARequestTheReceiveThreadCannotJoinIsStillAnswered) {
    if (!kFailInOtherThreads) GTEST_SKIP() << "a sanitizer's runtime cannot survive failures in other threads";
    const key_t key = hac_test::unique_queue_key();
    hac_test::QueueCleaner cleaner({key, key + 1});
    IpcServer* server = nullptr;
    ASSERT_EQ(vetu_ipc_server_create(key, 1, 1, kChunk, &server), 0);
    ASSERT_EQ(vetu_ipc_server_register_callback(server, long_answer, nullptr), 0);
    IpcClient* client = nullptr;
    ASSERT_EQ(vetu_ipc_client_create(key, 1, 1, kChunk, &client), 0);
    std::string text = pattern(3000, 2);
    IpcData request = view(text);
    IpcData reply = {0, nullptr};
    // The receive thread has made its buffers once it has answered a
    // request of one fragment.
    IpcData small = {10, request.data};
    ASSERT_EQ(vetu_ipc_client_send_sync_with_params(client, &small, &reply), 0);
    free(reply.data);
    reply = {0, nullptr};
    hac_test::exempt_this_thread(true);
    hac_test::fail_nth_allocation_anywhere(1);  // the receive thread's growth for the second fragment
    std::thread exchange([&] {
        hac_test::exempt_this_thread(true);
        EXPECT_EQ(vetu_ipc_client_send_sync_with_params(client, &request, &reply), 0);
    });
    const bool answered = hac_test::wait_until([&] { return reply.data != nullptr; });
    if (!answered) {  // release the exchange of a browser that never answers
        char a[] = "a";
        IpcData none = {2, a};
        ipc_snd_internal(msgget(key + 1, 0), 1, kChunk, &none, IPC_KIND_NO_REPLY);
    }
    exchange.join();
    EXPECT_TRUE(hac_test::disarm_allocation_failure());
    hac_test::exempt_this_thread(false);
    EXPECT_TRUE(answered);
    EXPECT_EQ(reply.len, 0);  // the no-reply answer leaves len as it was
    free(reply.data);
    vetu_ipc_client_destroy(client);
    vetu_ipc_server_destroy(server);
}

void version_member(int* major, int* minor, int* number) {
    *major = 1;
    *minor = 2;
    *number = 3;
}

// Every command, query and notification, failing each of its allocations in
// turn: it returns -4, or 0 once nothing fails, and never throws. Both
// halves run in this process on the HAC queues.
TEST(AllocationFailure, NoHacCallThrowsWhenMemoryRunsOut) {
    hac_test::remove_hac_queues();
    VetuHacServerCallback table = {};
    table.GetVersion = version_member;
    Vetu_HAC_Server_RegisterCallback(table, nullptr);
    ASSERT_EQ(Vetu_HAC_Server_Initialize(), 0);
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    VetuAppIdentifier app = {1, 2};
    VetuAITAppInfo record;
    record.name = pattern(300, 1);
    VetuAITAppInfo* records[] = {&record};
    int a = 0, b = 0, c = 0;
    const std::vector<std::pair<const char*, std::function<int()>>> calls = {
        {"SendAitIDs", [] { return Vetu_HAC_Client_SendAitIDs(1, 2, true); }},
        {"SendAitAppInfo", [&] { return Vetu_HAC_Client_SendAitAppInfo(1, records); }},
        {"StopApp", [&] { return Vetu_HAC_Client_StopApp(&app); }},
        {"SendXmlAitUrl", [] { return Vetu_HAC_Client_SendXmlAitUrl("<ait/>", 6, "c", 1); }},
        {"SendKey", [] { return Vetu_HAC_Client_SendKey(VETU_KEY_RED, VETU_KEY_EVENT_DOWN, 1); }},
        {"DestroyBIApplication", [&] { return Vetu_HAC_Client_DestroyBIApplication(&app); }},
        {"Reset", [] { return Vetu_HAC_Client_Reset(1, VETU_RESET_FULL, 3); }},
        {"GetAppErrorCode", [&] { return Vetu_HAC_Client_GetAppErrorCode(&app, &a); }},
        {"ShowTeleTextApp", [&] { return Vetu_HAC_Client_ShowTeleTextApp(1, &a); }},
        {"CreateBIApplication", [&] { return Vetu_HAC_Client_CreateBIApplication("http://a", 8, &app, VETU_APP_SOURCE_URL); }},
        {"GetVersion", [&] { return Vetu_HAC_Client_GetVersion(&a, &b, &c); }},
        {"IsAppRunning", [&] { return Vetu_HAC_Client_IsAppRunning(&a); }},
        {"SendAppState", [] { return Vetu_HAC_Server_SendAppState(1, 2, VETU_APP_EVENT_STARTED); }},
        {"UpdateDvbAitStatus", [] { return Vetu_HAC_Server_UpdateDvbAitStatus(VETU_AIT_STATUS_OK); }},
        {"UpdateXmlAitStatus", [] { return Vetu_HAC_Server_UpdateXmlAitStatus(VETU_AIT_STATUS_OK); }},
    };
    for (const auto& call : calls) {
        // A fresh thread each time: the writer and reader of a thread are
        // made at its first message, and those allocations must fail too.
        bool finished = false;
        for (long n = 1; n <= kMaxHacCallAllocations && !finished; ++n) {
            std::thread([&] {
                int rc = 1;
                hac_test::fail_nth_allocation_here(n);
                try {
                    rc = call.second();
                } catch (...) {
                    ADD_FAILURE() << call.first << " threw at allocation " << n;
                }
                finished = !hac_test::disarm_allocation_failure();
                if (finished) EXPECT_EQ(rc, 0) << call.first;
                else EXPECT_EQ(rc, -4) << call.first << " at allocation " << n;
            }).join();
        }
        EXPECT_TRUE(finished) << call.first << " kept allocating";
    }
    EXPECT_EQ(Vetu_HAC_Client_GetVersion(&a, &b, &c), 0);
    EXPECT_EQ(a * 100 + b * 10 + c, 123) << "an answer of a failed query was taken by the next";
    Vetu_HAC_Client_Finalize();
    Vetu_HAC_Server_Finalize();
    Vetu_HAC_Server_UnregisterCallback();
    hac_test::remove_hac_queues();
}

// The text grows several times while it is written; a failure at any of
// those steps must not let a cut text through as a message.
TEST(AllocationFailure, AMessageTextIsWrittenWholeOrNotAtAll) {
    Json::Value message = hac_new_message(102);
    message["ai0"] = pattern(5000, 5);
    message["num"] = 1;
    const std::string whole = message.toStyledString();
    for (long n = 1; n <= kMaxAllocations; ++n) {
        bool hit = false;
        std::string written;
        bool refused = false;
        // A fresh thread each time: the writer and its text are the thread's.
        std::thread([&] {
            hac_test::fail_nth_allocation_here(n);
            const std::string_view text = hac_write_thread_text(message);
            hit = hac_test::disarm_allocation_failure();
            refused = text.empty();
            if (!refused) written = text;
        }).join();
        if (!hit) {
            EXPECT_EQ(written, whole);
            return;
        }
        if (!refused) {
            EXPECT_EQ(written, whole) << "allocation " << n;
        }
    }
    FAIL() << "the writer kept allocating";
}

// A growth failure keeps the caller's block valid; the next receive skips
// the rest of that payload and takes the one after it whole.
TEST(AllocationFailure, ReceiveGrowthFailureKeepsTheBlockAndLosesOnlyThatPayload) {
    const int q = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    ASSERT_GE(q, 0);
    std::string big = pattern(5000, 3);
    std::string small = pattern(10, 4);
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
