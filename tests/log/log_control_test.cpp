// The control channel end to end: this test plays the tool on
// 127.0.0.1:54321 and talks to a real control thread over UDP. The thread
// never stops, so it runs in a forked child that ends with the test.
#include <arpa/inet.h>
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

// The next report (a cycle is a second; three is plenty). Once the thread's
// port is known (from.sin_port set), reports of other processes running a
// control thread are skipped: the tool's port is shared by all of them.
bool receive_report(int fd, std::string& text, sockaddr_in& from) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        char buf[2048];
        sockaddr_in source{};
        socklen_t len = sizeof source;
        if (poll(&p, 1, 3000) != 1) return false;
        const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&source), &len);
        if (n < 0) return false;
        if (from.sin_port != 0 && source.sin_port != from.sin_port) continue;
        from = source;
        text.assign(buf, static_cast<size_t>(n));
        return true;
    }
}

// The local address of this process's UDP socket bound to the port; empty
// when the port is another process's.
std::string local_address_of_port(unsigned short port) {
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 && addr.sin_family == AF_INET &&
            addr.sin_port == port)
            return inet_ntoa(addr.sin_addr);
    }
    return "";
}

// A list and the value in the command's last byte.
std::string command(const std::string& list, unsigned char value) {
    std::string c = list + std::string(LOG_COMMAND_SIZE - list.size(), '\0');
    c.back() = static_cast<char>(value);
    return c;
}

int play_the_tool() {
    const int tool = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in tool_addr{AF_INET, htons(LOG_CONTROL_PORT), {htonl(INADDR_LOOPBACK)}, {}};
    if (bind(tool, reinterpret_cast<const sockaddr*>(&tool_addr), sizeof tool_addr) != 0)
        return errno == EADDRINUSE ? kPortTaken : 1;
    // As in a daemon without standard input: the control socket is then
    // descriptor 0.
    close(STDIN_FILENO);
    // A datagram without the value byte carries value 0, one over 1025 bytes
    // is cut, and an empty one changes nothing, not even g_modules_info.
    const std::vector<std::string> commands = {command("HAC", 1), std::string("HAC\0", 4),
                                               command("a|b||c", 2) + "|v", LOG_CLEAR_KEYWORD, ""};

    std::vector<std::string> reports(commands.size() + 1);
    sockaddr_in thread_addr{};
    std::string control_address;
    int hac_level = -1;
    vetu_log_initialize(1);
    bool all_received = true;
    while (all_received && control_address.empty()) {  // the first report of this process's own thread
        thread_addr = sockaddr_in{};
        all_received = receive_report(tool, reports[0], thread_addr);
        control_address = local_address_of_port(thread_addr.sin_port);
    }
    // Queued at once: the thread takes one per cycle, each next report shows it.
    for (const auto& c : commands)
        sendto(tool, c.data(), c.size(), 0, reinterpret_cast<sockaddr*>(&thread_addr), sizeof thread_addr);
    for (size_t i = 1; i < reports.size() && all_received; ++i) {
        all_received = receive_report(tool, reports[i], thread_addr);
        if (i == 1) hac_level = vetu_log_getLevel("HAC");
    }
    // The table lock taken here orders the thread's last copy before this
    // read; no command follows, so nothing writes the array any more.
    vetu_log_getLevel("HAC");
    const std::string last_command(g_modules_info, LOG_COMMAND_SIZE);

    EXPECT_TRUE(all_received);
    EXPECT_EQ(control_address, "127.0.0.1") << "control socket must be bound to loopback";
    EXPECT_EQ(reports, (std::vector<std::string>{"", "HAC", "", "a|b|c", "", ""}));
    EXPECT_EQ(hac_level, LOG_LEVEL_INFO);
    // The clear keyword, and zeros where the longer command before it was.
    EXPECT_EQ(last_command, LOG_CLEAR_KEYWORD + std::string(LOG_COMMAND_SIZE - strlen(LOG_CLEAR_KEYWORD), '\0'));
    return ::testing::Test::HasFailure() ? 1 : 0;
}

TEST(LogControl, ToolChangesAndListsModulesOverUdp) {
    const int rc = hac_test::run_in_child(play_the_tool, std::chrono::seconds(30));
    if (rc == kPortTaken) GTEST_SKIP() << "UDP 127.0.0.1:" << LOG_CONTROL_PORT << " is taken by another process";
    EXPECT_EQ(rc, 0) << "see the child's failures above";
}

}  // namespace
