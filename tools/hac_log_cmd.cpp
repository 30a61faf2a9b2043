// hac log: the tool end of the log control channel on 127.0.0.1:54321.
// Every process that runs the control thread reports its module list here
// once a second from its own UDP port; commands go back to that port.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>

#include "hac_arguments.h"
#include "hac_commands.h"
#include "hac_output.h"
#include "hac_process.h"
#include "vetu_log.h"

namespace hac_tool {

namespace {

const char* const kLogHelp =
    "Usage: hac log list   [--listen S] [--json]\n"
    "       hac log watch  [--json]\n"
    "       hac log set    MODULES info|error [--port P | --pid PID] [--timeout S] [--json]\n"
    "       hac log remove MODULES            [--port P | --pid PID] [--timeout S] [--json]\n"
    "       hac log clear                     [--port P | --pid PID] [--timeout S] [--json]\n"
    "       hac log --help\n"
    "\n"
    "Listens on 127.0.0.1 port 54321, where every process that runs the log\n"
    "control thread (hac browser --log-control, hac manager --log-control, or any\n"
    "host that calls vetu_log_initialize(1)) reports its module list once a\n"
    "second, and sends commands back to the port a report came from.\n"
    "\n"
    "  list     shows each reporting process (port, pid, modules) heard within\n"
    "           --listen seconds (default 1.5)\n"
    "  watch    prints each process when it first reports and whenever its list\n"
    "           changes, until SIGINT or SIGTERM\n"
    "  set      raises MODULES to info (every record printed) or sets them to\n"
    "           error (error records only); error takes them out of the table,\n"
    "           as remove does: a module not in the table logs at the error level\n"
    "  remove   takes MODULES out of the table: they log at the error level again\n"
    "  clear    empties the module table\n"
    "MODULES is one name or several joined by '|' or ',' (HAC, hac_server, ...),\n"
    "each at most 32 characters. With one reporting process, --port and --pid\n"
    "may be left out. A command waits until a report shows the change (at most\n"
    "--timeout seconds, default 5; a process takes one command a second).\n"
    "--listen and --timeout take 0.001 to 86400 seconds.\n"
    "\n"
    "Each process is shown with its module levels: a process reports the names\n"
    "in its table only, and since 'set ... error' takes a module out of it, each\n"
    "name reported is at info and every other module at error (a host that\n"
    "stores another value with insert_modules_list itself keeps such a module\n"
    "in the table at the error level, which the report cannot tell apart).\n"
    "list says when no process reports; watch says so after 2 seconds without a\n"
    "report, and when a process it saw stops reporting for 3 seconds.\n"
    "\n"
    "Exit status: 0 done, 1 nothing reported, port 54321 busy, or the change not\n"
    "seen in time, 2 bad usage (also: several processes and none chosen).\n";

typedef std::chrono::steady_clock Clock;
const char* const kNobodyReports = "no process reports on 127.0.0.1:54321 (start one with --log-control)";

struct Report {
    uint16_t port;
    std::string text;  // module names joined by "|", empty for an empty table
};

int open_control_socket(std::string* error) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + strerror(errno);
        return -1;
    }
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(LOG_CONTROL_PORT);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (bind(fd, (const sockaddr*)&address, sizeof address) != 0) {
        *error = errno == EADDRINUSE ? "127.0.0.1:54321 is in use (is another 'hac log' running?)"
                                     : std::string("bind 127.0.0.1:54321: ") + strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

// Waits for one report until the deadline; false when none came.
bool receive_report(int fd, Clock::time_point deadline, Report* report) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd entry = {fd, POLLIN, 0};
        if (poll(&entry, 1, (int)left) <= 0) continue;
        char buffer[LOG_COMMAND_SIZE + 1];
        sockaddr_in from;
        socklen_t from_len = sizeof from;
        const ssize_t n = recvfrom(fd, buffer, sizeof buffer - 1, MSG_DONTWAIT, (sockaddr*)&from, &from_len);
        if (n < 0) continue;
        report->port = ntohs(from.sin_port);
        report->text.assign(buffer, (size_t)n);
        return true;
    }
}

std::vector<std::string> split_modules(const std::string& text) {
    std::vector<std::string> names;
    std::string name;
    std::istringstream stream(text);
    while (std::getline(stream, name, '|'))
        if (!name.empty()) names.push_back(name);
    return names;
}

// The socket inode bound to a UDP port, from /proc/net/udp.
unsigned long udp_port_inode(uint16_t port) {
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);  // header
    while (std::getline(table, line)) {
        unsigned int local_port = 0;
        unsigned long inode = 0;
        if (sscanf(line.c_str(), " %*d: %*x:%x %*x:%*x %*x %*x:%*x %*x:%*x %*x %*u %*u %lu", &local_port, &inode) ==
                2 &&
            local_port == port)
            return inode;
    }
    return 0;
}

// The process that holds the socket of a port, or 0 when it cannot be seen.
pid_t port_owner(uint16_t port) {
    const unsigned long inode = udp_port_inode(port);
    if (inode == 0) return 0;
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    for (pid_t pid : process_ids()) {
        const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
        DIR* fds = opendir(fd_dir.c_str());
        if (!fds) continue;
        pid_t owner = 0;
        while (dirent* fd = readdir(fds)) {
            char target[64];
            const ssize_t n = readlink((fd_dir + "/" + fd->d_name).c_str(), target, sizeof target - 1);
            if (n > 0 && wanted.compare(0, std::string::npos, target, (size_t)n) == 0) owner = pid;
        }
        closedir(fds);
        if (owner) return owner;
    }
    return 0;
}

Record process_record(const std::string& kind, const std::string& title, const Report& report) {
    Record record(kind, "", title);
    const pid_t pid = port_owner(report.port);
    record.add("port", report.port).add("pid", (int)pid);
    if (pid) record.add("process", process_name(pid));
    Json::Value modules(Json::arrayValue), levels(Json::objectValue);
    for (const std::string& name : split_modules(report.text)) {
        modules.append(name);
        levels[name] = "info";
    }
    return record.add("modules", modules).add("levels", levels).add("other_modules", "error");
}

// ---- list and watch ----

int list_reporters(double listen_seconds) {
    std::string error;
    const int fd = open_control_socket(&error);
    if (fd < 0) return emit_failure(error);
    std::map<uint16_t, Report> latest;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(listen_seconds));
    Report report;
    while (receive_report(fd, deadline, &report)) latest[report.port] = report;
    close(fd);
    if (latest.empty()) return emit_failure(kNobodyReports);
    for (const auto& entry : latest) emit(process_record("process", "process", entry.second));
    return EXIT_OK;
}

const std::chrono::seconds kFirstReportWait(2);
const std::chrono::seconds kSilenceLimit(3);

Record silence_record(uint16_t port) {
    Record record("silent", "", "stopped reporting");
    return record.add("port", port).add("message", "no report for 3 seconds: the process ended or stopped its control thread");
}

int watch_reporters() {
    std::string error;
    const int fd = open_control_socket(&error);
    if (fd < 0) return emit_failure(error);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    const int stop_fd = signalfd(-1, &stop, SFD_CLOEXEC);
    std::map<uint16_t, std::string> seen;
    std::map<uint16_t, Clock::time_point> last_heard;
    Record listening("listening", "", "listening on 127.0.0.1:54321 (SIGINT or SIGTERM stops)");
    emit(listening);
    const Clock::time_point started = Clock::now();
    bool told_none = false;
    for (;;) {
        pollfd entries[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        if (poll(entries, 2, 250) < 0) continue;
        if (entries[1].revents & POLLIN) break;
        const Clock::time_point now = Clock::now();
        for (auto it = last_heard.begin(); it != last_heard.end();) {
            if (now - it->second < kSilenceLimit) {
                ++it;
                continue;
            }
            emit(silence_record(it->first));
            seen.erase(it->first);
            it = last_heard.erase(it);
        }
        if (seen.empty() && !told_none && now - started >= kFirstReportWait) {
            Record none("none", "", "no process reports");
            emit(none.add("message", "no process reports on 127.0.0.1:54321 yet (start one with --log-control)"));
            told_none = true;
        }
        if (!(entries[0].revents & POLLIN)) continue;
        Report report;
        if (!receive_report(fd, Clock::now() + std::chrono::milliseconds(10), &report)) continue;
        last_heard[report.port] = Clock::now();
        auto known = seen.find(report.port);
        if (known != seen.end() && known->second == report.text) continue;
        emit(process_record("report", known == seen.end() ? "new process" : "changed", report));
        seen[report.port] = report.text;
    }
    close(stop_fd);
    close(fd);
    return EXIT_OK;
}

// ---- commands ----

struct Target {
    int port;   // 0: not chosen
    pid_t pid;  // 0: not chosen
};

// Listens until the chosen process reports; with none chosen, until it is
// clear that exactly one process reports. Returns its last report.
int find_target(int fd, const Target& target, double timeout_seconds, Report* found) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeout_seconds));
    std::map<uint16_t, Report> heard;
    Clock::time_point settle = deadline;
    Report report;
    while (receive_report(fd, std::min(deadline, settle), &report)) {
        if ((target.port && report.port == target.port) || (target.pid && port_owner(report.port) == target.pid)) {
            *found = report;
            return EXIT_OK;
        }
        if (target.port || target.pid) continue;
        if (heard.empty()) settle = Clock::now() + std::chrono::milliseconds(1200);  // one more report cycle
        heard[report.port] = report;
    }
    if (target.port || target.pid) return emit_failure("the chosen process did not report within the time-out");
    if (heard.empty()) return emit_failure(kNobodyReports);
    if (heard.size() > 1) {
        std::string ports;
        for (const auto& entry : heard) ports += " " + std::to_string(entry.first);
        return usage_error("log", "several processes report (ports" + ports + "): choose one with --port or --pid");
    }
    *found = heard.begin()->second;
    return EXIT_OK;
}

// The 1025-byte command: names, NUL, value byte at offset 1024.
std::string module_command(const std::string& list, unsigned char value) {
    std::string datagram(LOG_COMMAND_SIZE, '\0');
    datagram.replace(0, list.size(), list);
    datagram[LOG_COMMAND_SIZE - 1] = (char)value;
    return datagram;
}

bool send_command(int fd, uint16_t port, const std::string& datagram) {
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    return sendto(fd, datagram.data(), datagram.size(), 0, (const sockaddr*)&address, sizeof address) ==
           (ssize_t)datagram.size();
}

bool list_contains(const std::string& text, const std::string& name) {
    for (const std::string& entry : split_modules(text))
        if (entry == name) return true;
    return false;
}

// Does a report show the command's effect?
bool shows_change(const std::string& action, const std::vector<std::string>& names, unsigned char value,
                  const std::string& text) {
    if (action == "clear") return text.empty();
    const bool listed = action == "set" && value == 1;
    for (const std::string& name : names)
        if (list_contains(text, name) != listed) return false;
    return true;
}

bool check_modules(const std::string& list, std::vector<std::string>* names, std::string* error) {
    std::string joined = list;
    for (char& c : joined)
        if (c == ',') c = '|';
    *names = split_modules(joined);
    if (names->empty()) {
        *error = "no module named";
        return false;
    }
    std::string canonical;
    for (const std::string& name : *names) {
        if (name.size() > LOG_MODULE_NAME_MAX) {
            *error = "module name '" + name + "' is longer than 32 characters";
            return false;
        }
        canonical += (canonical.empty() ? "" : "|") + name;
    }
    if (canonical.size() >= LOG_COMMAND_SIZE - 1) {
        *error = "the module list is longer than 1023 characters";
        return false;
    }
    *names = split_modules(canonical);
    return true;
}

int run_command(const std::string& action, const std::vector<std::string>& names, unsigned char value,
                const Target& target, double timeout_seconds) {
    std::string error, list;
    for (const std::string& name : names) list += (list.empty() ? "" : "|") + name;
    const int fd = open_control_socket(&error);
    if (fd < 0) return emit_failure(error);
    Report report;
    const int found = find_target(fd, target, timeout_seconds, &report);
    if (found != EXIT_OK) {
        close(fd);
        return found;
    }
    const uint16_t port = report.port;
    const bool held_before = shows_change(action, names, value, report.text);
    const std::string datagram = action == "clear" ? std::string(LOG_CLEAR_KEYWORD) : module_command(list, value);
    if (!send_command(fd, port, datagram)) {
        close(fd);
        return emit_failure(std::string("sendto: ") + strerror(errno));
    }
    // A report sent just before the command was taken still shows the old
    // table, so an effect that held already counts only from the second one.
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeout_seconds));
    int reports_after = 0;
    bool confirmed = false;
    while (!confirmed && receive_report(fd, deadline, &report)) {
        if (report.port != port) continue;
        ++reports_after;
        confirmed = shows_change(action, names, value, report.text) && (!held_before || reports_after >= 2);
    }
    close(fd);
    if (!confirmed)
        return emit_failure("port " + std::to_string(port) +
                            " did not show the change within the time-out (a table holds 20 modules at most)");
    Record done = process_record("result", "log " + action, report);
    done.name = action;
    if (action != "clear") done.add("changed", list);
    if (action == "set") done.add("level", value == 1 ? "info" : "error");
    if (action == "remove") done.add("level", "error");
    emit(done);
    return EXIT_OK;
}

bool parse_target(const std::string& port, const std::string& pid, Target* target, std::string* error) {
    int value = 0;
    if (!port.empty() && (!parse_int(port, &value) || value < 1 || value > 65535)) {
        *error = "--port wants a UDP port number";
        return false;
    }
    target->port = value;
    value = 0;
    if (!pid.empty() && (!parse_int(pid, &value) || value < 1)) {
        *error = "--pid wants a process id";
        return false;
    }
    target->pid = value;
    if (target->port && target->pid) {
        *error = "give --port or --pid, not both";
        return false;
    }
    return true;
}

}  // namespace

int log_main(const std::vector<std::string>& args) {
    std::string port, pid, timeout, listen, error;
    bool json = false;
    std::vector<std::string> words;
    const std::vector<Option> options = {{"--port", &port, nullptr},       {"--pid", &pid, nullptr},
                                         {"--timeout", &timeout, nullptr}, {"--listen", &listen, nullptr},
                                         {"--json", nullptr, &json}};
    const int parsed = parse_command_line("log", kLogHelp, args, options, &words);
    if (parsed != kGoOn) return parsed;
    if (words.empty()) {
        print_text(kLogHelp);
        return EXIT_USAGE;
    }
    double timeout_seconds = 5, listen_seconds = 1.5;
    if (!timeout.empty() && !parse_seconds(timeout, &timeout_seconds))
        return usage_error("log", "--timeout wants a positive number of seconds (" + std::string(kSecondsRange) + ")");
    if (!listen.empty() && !parse_seconds(listen, &listen_seconds))
        return usage_error("log", "--listen wants a positive number of seconds (" + std::string(kSecondsRange) + ")");
    Target target = {0, 0};
    if (!parse_target(port, pid, &target, &error)) return usage_error("log", error);
    set_output("log", json);

    const std::string& action = words[0];
    if (action == "list" && words.size() == 1) return list_reporters(listen_seconds);
    if (action == "watch" && words.size() == 1) return watch_reporters();
    if (action == "clear" && words.size() == 1) return run_command("clear", {}, 0, target, timeout_seconds);
    std::vector<std::string> names;
    if (action == "set" && words.size() == 3) {
        if (words[2] != "info" && words[2] != "error") return usage_error("log", "set wants the level info or error");
        if (!check_modules(words[1], &names, &error)) return usage_error("log", error);
        // A module absent from the table logs at the error level, as one
        // stored with any value but 1 does: taking it out keeps every name
        // a report lists at info, so that the report tells each level.
        if (words[2] == "error") return run_command("set", names, 0, target, timeout_seconds);
        return run_command("set", names, 1, target, timeout_seconds);
    }
    if (action == "remove" && words.size() == 2) {
        if (!check_modules(words[1], &names, &error)) return usage_error("log", error);
        return run_command("remove", names, 0, target, timeout_seconds);
    }
    return usage_error("log", "bad command '" + action + "' or wrong number of arguments");
}

}  // namespace hac_tool
