// The control channel end to end: this test plays the tool on
// 127.0.0.1:54321 and talks to a real control thread over UDP. The thread
// never stops, so it runs in a forked child that ends with the test.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "vetu_log.h"

namespace {

const int kPortTaken = 77;

int bind_tool_socket() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(LOG_CONTROL_PORT);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// Waits for one report (a cycle is a second; three is plenty).
// Takes the next report; once the thread's port is known (from.sin_port set),
// reports of any other process running a control thread are skipped, as the
// tool's port is shared by all of them.
bool receive_report(int fd, std::string& text, sockaddr_in& from) {
    const unsigned short expected = from.sin_port;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 3000) != 1) return false;
        char buf[2048];
        sockaddr_in source{};
        socklen_t len = sizeof source;
        const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&source), &len);
        if (n < 0) return false;
        if (expected != 0 && source.sin_port != expected) continue;
        from = source;
        text.assign(buf, static_cast<size_t>(n));
        return true;
    }
}

std::string command(const std::string& list, unsigned char value) {
    std::string c(LOG_COMMAND_SIZE, '\0');
    c.replace(0, list.size(), list);
    c[LOG_COMMAND_SIZE - 1] = static_cast<char>(value);
    return c;
}

// The local address of this process's UDP socket bound to the given port.
std::string local_address_of_port(unsigned short port) {
    DIR* dir = opendir("/proc/self/fd");
    std::string found;
    while (dirent* e = dir != nullptr ? readdir(dir) : nullptr) {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        if (getsockname(atoi(e->d_name), reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
            addr.sin_family == AF_INET && ntohs(addr.sin_port) == port)
            found = inet_ntoa(addr.sin_addr);
    }
    if (dir != nullptr) closedir(dir);
    return found;
}

int play_the_tool() {
    const int tool = bind_tool_socket();
    if (tool < 0) return errno == EADDRINUSE ? kPortTaken : 1;
    const std::string name33(33, 'x');
    std::string fill;  // a, b, c and these 17 make 20; "u" finds the table full
    for (char c = 'd'; c <= 'u'; ++c) fill += std::string("|") + c;
    const std::vector<std::string> commands = {
        command("HAC", 1), std::string("HAC\0", 4), command("a|b||c", 2), command(name33 + fill, 1),
        LOG_CLEAR_KEYWORD};

    std::vector<std::string> reports(commands.size() + 1);
    sockaddr_in thread_addr{};
    int hac_level = -1, a_level = -1, d_level = -1, u_level = -1;
    hac_test::StdoutCapture capture;
    vetu_log_initialize(1);
    // The first report of this process's own thread: another process's
    // reports may reach the tool's port as well.
    bool all_received = false;
    std::string control_address;
    while (control_address.empty()) {
        thread_addr = sockaddr_in{};
        all_received = receive_report(tool, reports[0], thread_addr);
        if (!all_received) break;
        control_address = local_address_of_port(ntohs(thread_addr.sin_port));
    }
    // Queued at once: the thread takes one per cycle, each next report shows it.
    for (const auto& c : commands)
        sendto(tool, c.data(), c.size(), 0, reinterpret_cast<sockaddr*>(&thread_addr), sizeof thread_addr);
    for (size_t i = 1; i < reports.size() && all_received; ++i) {
        all_received = receive_report(tool, reports[i], thread_addr);
        if (i == 1) hac_level = vetu_log_getLevel("HAC");
        if (i == 4) {
            a_level = vetu_log_getLevel("a");
            d_level = vetu_log_getLevel("d");
            u_level = vetu_log_getLevel("u");
        }
    }
    const std::string messages = capture.stop();
    // The table lock taken here orders the thread's last copy before this
    // read; no command follows, so nothing writes the array any more.
    vetu_log_getLevel("HAC");
    const std::string last_command(g_modules_info, LOG_COMMAND_SIZE);

    EXPECT_TRUE(all_received);
    EXPECT_EQ(control_address, "127.0.0.1") << "control socket must be bound to loopback";
    EXPECT_EQ(reports, (std::vector<std::string>{"", "HAC", "", "a|b|c", "a|b|c|d|e|f|g|h|i|j|k|l|m|n|o|p|q|r|s|t", ""}));
    EXPECT_EQ(hac_level, LOG_LEVEL_INFO);
    EXPECT_EQ(a_level, LOG_LEVEL_ERROR);
    EXPECT_EQ(d_level, LOG_LEVEL_INFO);
    EXPECT_EQ(u_level, LOG_LEVEL_ERROR);
    EXPECT_EQ(messages, "module:" + name33 + " set error, length is 33, out of max length:32\n"
                        "module:u set error, module_list map has number:20\n");
    // The clear keyword, and zeros where the longer command before it was.
    EXPECT_EQ(last_command, std::string(LOG_CLEAR_KEYWORD) + std::string(LOG_COMMAND_SIZE - strlen(LOG_CLEAR_KEYWORD), '\0'));
    return ::testing::Test::HasFailure() ? 1 : 0;
}

TEST(LogControl, ToolChangesAndListsModulesOverUdp) {
    const int rc = hac_test::run_in_child(play_the_tool, std::chrono::seconds(30));
    if (rc == kPortTaken) GTEST_SKIP() << "UDP 127.0.0.1:" << LOG_CONTROL_PORT << " is taken by another process";
    EXPECT_EQ(rc, 0) << "see the child's failures above";
}

}  // namespace
