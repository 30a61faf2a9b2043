// Two processes over the message-queue transport. Run without arguments it
// starts itself twice, as "server KEY FD" and then as "client KEY"; the
// client sends a few payloads one-way and as requests, both print what they
// see, and the starter removes the two queues at the end.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "vetu_ipc.h"

namespace {

const long kMtype = 1;
const size_t kChunk = 1024;

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_cond = PTHREAD_COND_INITIALIZER;
bool g_done = false;

IpcData* new_answer(const std::string& text) {
    IpcData* answer = new IpcData;
    answer->len = static_cast<int32_t>(text.size());
    answer->data = strdup(text.c_str());
    return answer;
}

// Long texts are shown by their start only.
std::string shown(const std::string& text) { return text.size() <= 32 ? text : text.substr(0, 24) + "..."; }

// "ping ..." is answered with "pong ..."; anything else gets no answer.
IpcData* on_payload(const IpcData* payload, void*) {
    const std::string text(payload->data, static_cast<size_t>(payload->len));
    printf("server: got \"%s\" (%d bytes)\n", shown(text).c_str(), payload->len);
    if (text.compare(0, 4, "exit") == 0) {
        pthread_mutex_lock(&g_mutex);
        g_done = true;
        pthread_cond_signal(&g_cond);
        pthread_mutex_unlock(&g_mutex);
        return nullptr;
    }
    if (text.compare(0, 4, "ping") != 0) return nullptr;
    return new_answer("pong" + text.substr(4));
}

int run_server(key_t key, int ready_fd) {
    IpcServer* server = nullptr;
    if (vetu_ipc_server_create(key, kMtype, 1, kChunk, &server) != 0) {
        fprintf(stderr, "server: cannot create the endpoint\n");
        return 1;
    }
    vetu_ipc_server_register_callback(server, on_payload, nullptr);
    printf("server: listening on key 0x%x\n", static_cast<unsigned>(key));
    if (write(ready_fd, "r", 1) != 1) return 1;
    close(ready_fd);
    pthread_mutex_lock(&g_mutex);
    while (!g_done) pthread_cond_wait(&g_cond, &g_mutex);
    pthread_mutex_unlock(&g_mutex);
    vetu_ipc_server_destroy(server);
    printf("server: stopped\n");
    return 0;
}

int send_text(IpcClient* client, std::string text) {
    IpcData payload = {static_cast<int32_t>(text.size()), &text[0]};
    const int rc = vetu_ipc_client_send(client, &payload);
    printf("client: sent \"%s\" one-way: %d\n", shown(text).c_str(), rc);
    return rc;
}

int ask(IpcClient* client, std::string text) {
    IpcData request = {static_cast<int32_t>(text.size()), &text[0]};
    IpcData reply = {0, nullptr};
    const int rc = vetu_ipc_client_send_sync_with_params(client, &request, &reply);
    if (rc == 0 && reply.len > 0)
        printf("client: asked \"%s\", answer \"%s\" (%d bytes)\n", shown(text).c_str(),
               shown(std::string(reply.data, static_cast<size_t>(reply.len))).c_str(), reply.len);
    else
        printf("client: asked \"%s\", no answer (%d)\n", shown(text).c_str(), rc);
    free(reply.data);
    return rc;
}

int run_client(key_t key) {
    IpcClient* client = nullptr;
    if (vetu_ipc_client_create(key, kMtype, 1, kChunk, &client) != 0) return 1;
    int failures = 0;
    failures += send_text(client, "hello") != 0;
    failures += ask(client, "ping 1") != 0;
    failures += ask(client, "ping " + std::string(3000, '.')) != 0;  // three fragments each way
    failures += ask(client, "nothing to answer") != 0;                // the no-reply answer
    failures += send_text(client, "exit") != 0;
    vetu_ipc_client_destroy(client);
    return failures == 0 ? 0 : 1;
}

pid_t start_self(const char* self, const std::string& role, const std::string& key, int keep_fd) {
    fflush(stdout);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const std::string fd = std::to_string(keep_fd);
    if (keep_fd >= 0)
        execl("/proc/self/exe", self, role.c_str(), key.c_str(), fd.c_str(), static_cast<char*>(nullptr));
    else
        execl("/proc/self/exe", self, role.c_str(), key.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

int wait_exit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

void remove_queue(key_t key) {
    const int id = msgget(key, 0);
    if (id >= 0) msgctl(id, IPC_RMID, nullptr);
}

int run_both(const char* self) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const key_t key = static_cast<key_t>(0x1e100000 | ((getpid() & 0xffff) << 1));
    const std::string key_text = std::to_string(key);
    int ready[2];
    if (pipe(ready) != 0) return 1;
    const pid_t server = start_self(self, "server", key_text, ready[1]);
    close(ready[1]);
    char byte = 0;
    const bool server_up = read(ready[0], &byte, 1) == 1;  // the server's queues exist now
    close(ready[0]);
    const int client_rc = server_up ? wait_exit(start_self(self, "client", key_text, -1)) : 1;
    if (!server_up) kill(server, SIGTERM);
    const int server_rc = wait_exit(server);
    remove_queue(key);
    remove_queue(key + 1);
    printf("ipc_ping: client %d, server %d, queues removed\n", client_rc, server_rc);
    return client_rc == 0 && server_rc == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc == 1) return run_both(argv[0]);
    const std::string role = argv[1];
    const key_t key = argc > 2 ? static_cast<key_t>(strtol(argv[2], nullptr, 0)) : 0;
    if (role == "server" && argc == 4) return run_server(key, atoi(argv[3]));
    if (role == "client" && argc == 3) return run_client(key);
    fprintf(stderr, "usage: %s [server KEY FD | client KEY]\n", argv[0]);
    return 2;
}
