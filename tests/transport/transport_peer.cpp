// A second process for the transport tests: "server KEY" creates a server
// endpoint on KEY with a reply queue, prints "ready", then one line
// "got LEN DIGEST" per payload, answers requests, and ends after "exit".
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "peer_protocol.h"
#include "vetu_ipc.h"

namespace {

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_cond = PTHREAD_COND_INITIALIZER;
bool g_exit_seen = false;

IpcData* on_payload(const IpcData* payload, void*) {
    printf("got %d %08x\n", payload->len,
           transport_peer::digest(payload->data, static_cast<size_t>(payload->len)));
    fflush(stdout);
    if (strncmp(payload->data, "exit", 4) == 0) {
        pthread_mutex_lock(&g_mutex);
        g_exit_seen = true;
        pthread_cond_signal(&g_cond);
        pthread_mutex_unlock(&g_mutex);
        return nullptr;
    }
    IpcData* answer = new IpcData;
    answer->len = payload->len;
    answer->data = static_cast<char*>(malloc(static_cast<size_t>(payload->len) + 1));
    for (int i = 0; i < payload->len; ++i) answer->data[i] = transport_peer::answer_byte(payload->data[i]);
    return answer;
}

int serve(key_t key) {
    IpcServer* server = nullptr;
    if (vetu_ipc_server_create(key, transport_peer::kMtype, 1, transport_peer::kChunk, &server) != 0) return 2;
    vetu_ipc_server_register_callback(server, on_payload, nullptr);
    puts("ready");
    fflush(stdout);
    pthread_mutex_lock(&g_mutex);
    while (!g_exit_seen) pthread_cond_wait(&g_cond, &g_mutex);
    pthread_mutex_unlock(&g_mutex);
    vetu_ipc_server_destroy(server);
    puts("done");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "server") return serve(static_cast<key_t>(strtol(argv[2], nullptr, 0)));
    fprintf(stderr, "usage: %s server KEY\n", argv[0]);
    return 2;
}
