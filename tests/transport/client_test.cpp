// Client endpoint against a server endpoint on real queues.
#include <gtest/gtest.h>
#include <sys/msg.h>

#include "transport_support.h"

using namespace transport_test;

namespace {

std::string g_callback_reply;
int g_callback_calls = 0;
void keep_reply(const IpcData* reply, int status) {
    ++g_callback_calls;
    g_callback_reply.assign(reply->data, static_cast<size_t>(reply->len));
    EXPECT_EQ(status, 0);
}

}  // namespace

// Answers left on the reply queue before a request (a stale one, one too
// large to receive, another client's) are discarded first or left alone.
// A request of up to 16384 bytes gets its whole reply through the params
// variant and through the callback variant, which lends it for the call. A
// no-reply answer leaves len alone, hands over "a" and skips the callback.
TEST(IpcClient, RequestsGetTheirOwnWholeReplyThroughEitherVariant) {
    QueuePair q;
    Recorder recorder;
    Server server(q.key, 1, &recorder);
    Client client(q.key);
    put_payload(q.reply, kMtype, IPC_KIND_REPLY, pattern(1500), 0);
    put_fragment(q.reply, kMtype, {IPC_KIND_REPLY, 3, 1, 3}, "big", 4 * kChunk);  // too large to receive
    put_fragment(q.reply, kMtype + 1, {IPC_KIND_REPLY, 5, 1, 5}, "other");        // another client's
    const std::string largest = pattern(16384);
    Exchange ex = exchange(client.handle, largest);
    ASSERT_EQ(ex.rc, 0);
    EXPECT_EQ(ex.len, 16384);
    EXPECT_EQ(ex.bytes, largest);
    EXPECT_EQ(take_all(q.reply, kMtype + 1).size(), 1u);
    std::string over = pattern(16385);
    IpcData payload = as_payload(over);
    IpcData kept = {5, &over[0]};  // a request refused before it went leaves the reply alone
    EXPECT_EQ(vetu_ipc_client_send_sync_with_params(client.handle, &payload, &kept), -1);
    EXPECT_EQ(kept.data, &over[0]);
    EXPECT_EQ(vetu_ipc_client_send(client.handle, &payload), -1);
    EXPECT_EQ(queued(q.request), 0u);
    EXPECT_EQ(recorder.payloads(), std::vector<std::string>{largest});

    recorder.set_reply(pattern(3000));
    std::string text = "give";
    IpcData request = as_payload(text);
    g_callback_calls = 0;
    EXPECT_EQ(vetu_ipc_client_send_sync_with_callback(client.handle, &request, keep_reply), 0);
    EXPECT_EQ(g_callback_calls, 1);
    EXPECT_EQ(g_callback_reply, pattern(3000));
    EXPECT_EQ(vetu_ipc_client_send_sync_with_callback(client.handle, &request, nullptr), 0);

    vetu_ipc_server_unregister_callback(server.handle);
    ex = exchange(client.handle, "anyone?");
    EXPECT_EQ(ex.rc, 0);
    EXPECT_EQ(ex.len, 77);
    EXPECT_EQ(ex.bytes, "a");
    EXPECT_EQ(exchange(client.handle, "anyone?", 0).len, 0);
    EXPECT_EQ(vetu_ipc_client_send_sync_with_callback(client.handle, &request, keep_reply), 0);
    EXPECT_EQ(g_callback_calls, 1);
}

// A client endpoint opens its queues at its first send and creates none:
// -3 until its server endpoint exists. Arguments that would corrupt memory,
// an empty payload and exchanges through a one-way endpoint are refused
// with -3 before anything is allocated or sent, by the endpoints and by the
// fragment transfer under them.
TEST(IpcEndpoints, ClientsOpenLazilyAndArgumentsThatWouldCorruptMemoryAreRefused) {
    const key_t key = unique_queue_key();
    QueueCleaner cleaner({key, key + 1});
    Client client(key), one_way(key, 0);
    std::string text = "hello", empty;
    IpcData ok = as_payload(text), none = as_payload(empty), reply = {0, nullptr};
    IpcData negative = {-4, &text[0]}, null_data = {3, nullptr};
    EXPECT_EQ(vetu_ipc_client_send(client.handle, &ok), -3);
    IpcData kept = {5, &text[0]};
    EXPECT_EQ(vetu_ipc_client_send_sync_with_params(client.handle, &ok, &kept), -3);
    EXPECT_EQ(kept.data, &text[0]);
    Recorder recorder;
    Server server(key, 1, &recorder);
    EXPECT_EQ(vetu_ipc_client_send(client.handle, &ok), 0);
    EXPECT_EQ(vetu_ipc_client_send(one_way.handle, &ok), 0);
    ASSERT_TRUE(wait_until([&] { return recorder.payloads().size() == 2; }));

    EXPECT_EQ(exchange(one_way.handle, "q").rc, -3);
    EXPECT_EQ(vetu_ipc_client_send_sync_with_callback(one_way.handle, &ok, keep_reply), -3);
    EXPECT_EQ(vetu_ipc_client_send(client.handle, &none), -3);
    for (IpcData* bad : {&negative, &null_data, static_cast<IpcData*>(nullptr)}) {
        EXPECT_EQ(vetu_ipc_client_send(client.handle, bad), -3);
        EXPECT_EQ(vetu_ipc_client_send_sync_with_params(client.handle, bad, &reply), -3);
        EXPECT_EQ(vetu_ipc_client_send_sync_with_callback(client.handle, bad, keep_reply), -3);
    }
    EXPECT_EQ(vetu_ipc_client_send_sync_with_params(client.handle, &ok, nullptr), -3);
    EXPECT_EQ(vetu_ipc_client_send(nullptr, &ok), -3);
    IpcClient* client_out = nullptr;
    EXPECT_EQ(vetu_ipc_client_create(key, kMtype, 1, kChunk, nullptr), -3);
    EXPECT_EQ(vetu_ipc_client_create(key, kMtype, 1, SIZE_MAX - 20, &client_out), -3);
    EXPECT_EQ(client_out, nullptr);
    EXPECT_EQ(vetu_ipc_client_destroy(nullptr), -3);
    IpcServer* server_out = nullptr;
    EXPECT_EQ(vetu_ipc_server_create(key, kMtype, 1, kChunk, nullptr), -3);
    EXPECT_EQ(vetu_ipc_server_create(key, kMtype, 1, SIZE_MAX - 20, &server_out), -3);
    EXPECT_EQ(server_out, nullptr);
    EXPECT_EQ(vetu_ipc_server_destroy(nullptr), -3);
    EXPECT_EQ(vetu_ipc_server_register_callback(nullptr, Recorder::callback, nullptr), -3);
    EXPECT_EQ(vetu_ipc_server_unregister_callback(nullptr), -3);
    EXPECT_EQ(queued(msgget(key, 0)), 0u);
    EXPECT_EQ(recorder.payloads(), (std::vector<std::string>{"hello", "hello"}));

    QueuePair q;
    EXPECT_EQ(ipc_snd_internal(q.request, kMtype, kChunk, nullptr, IPC_KIND_MESSAGE), -3);
    EXPECT_EQ(ipc_snd_internal(q.request, kMtype, 0, &ok, IPC_KIND_MESSAGE), -3);
    EXPECT_EQ(ipc_snd_internal(q.request, -1, kChunk, &ok, IPC_KIND_MESSAGE), -3);
    EXPECT_EQ(ipc_snd_internal(q.request, kMtype, kChunk, &negative, IPC_KIND_MESSAGE), -3);
    EXPECT_EQ(ipc_snd_internal(q.request, kMtype, kChunk, &null_data, IPC_KIND_MESSAGE), -3);
    EXPECT_EQ(ipc_snd_internal(q.request, kMtype, SIZE_MAX - 20, &ok, IPC_KIND_MESSAGE), -3);
    EXPECT_EQ(queued(q.request), 0u);
    std::vector<char> fragment(IPC_FRAGMENT_BUFFER_SIZE(kChunk));
    IpcFragment* f = reinterpret_cast<IpcFragment*>(fragment.data());
    char byte = 0, *block = &byte, *no_block = nullptr;
    int capacity = 1, no_capacity = 0;
    EXPECT_EQ(ipc_rcv_internal(q.request, kMtype, kChunk, f, &no_block, &capacity), -3);
    EXPECT_EQ(ipc_rcv_internal(q.request, kMtype, kChunk, nullptr, &block, &capacity), -3);
    EXPECT_EQ(ipc_rcv_internal(q.request, kMtype, kChunk, f, nullptr, &capacity), -3);
    EXPECT_EQ(ipc_rcv_internal(q.request, kMtype, kChunk, f, &block, &no_capacity), -3);
}
