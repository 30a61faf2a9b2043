// The control thread: once a second it reports the module list to the tool
// on 127.0.0.1 and applies at most one command the tool sent back.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "lock.h"
#include "vetu_log.h"

extern "C" {
char g_modules_info[LOG_COMMAND_SIZE] = {0};
}

namespace {

// Several control threads may run; they take turns on g_modules_info.
pthread_mutex_t g_command_mutex = PTHREAD_MUTEX_INITIALIZER;

sockaddr_in loopback_address(unsigned short port) {
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr("127.0.0.1");
    addr.sin_port = htons(port);
    return addr;
}

// Bound to loopback (ephemeral port) so that commands can only come from
// this machine; an unbound socket would listen on every interface.
int open_control_socket() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    const sockaddr_in local = loopback_address(0);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void send_report(int fd, const sockaddr_in& tool) {
    char report[LOG_COMMAND_SIZE] = {0};
    get_modules_list(report);
    sendto(fd, report, strlen(report), 0, reinterpret_cast<const sockaddr*>(&tool), sizeof tool);
}

void apply_command(const char* command) {
    if (strcmp(command, LOG_CLEAR_KEYWORD) == 0)
        clear_modules_list();
    else
        insert_modules_list(command, static_cast<unsigned char>(command[LOG_COMMAND_SIZE - 1]));
}

void take_one_command(int fd) {
    char command[LOG_COMMAND_SIZE] = {0};
    const ssize_t n = recvfrom(fd, command, sizeof command, MSG_DONTWAIT, nullptr, nullptr);
    if (n <= 0) return;
    {
        ScopedLock lock(&g_command_mutex);
        memcpy(g_modules_info, command, sizeof command);
    }
    apply_command(command);
}

void* control_thread(void*) {
    const sockaddr_in tool = loopback_address(LOG_CONTROL_PORT);
    int fd = open_control_socket();
    for (;;) {
        if (fd < 0) fd = open_control_socket();
        if (fd >= 0) send_report(fd, tool);
        sleep(1);
        if (fd >= 0) take_one_command(fd);
    }
    return nullptr;
}

void start_control_thread() {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    pthread_create(&thread, &attr, control_thread, nullptr);
    pthread_attr_destroy(&attr);
}

}  // namespace

extern "C" {

int vetu_log_initialize(int mode) {
    if (mode == 0) return 0;
    if (mode != 1) return VETU_LOG_REFUSED;
    start_control_thread();
    return 0;
}

int vetu_log_finalize(int mode) { return mode == 0 || mode == 1 ? 0 : VETU_LOG_REFUSED; }

}  // extern "C"
