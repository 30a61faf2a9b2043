// hac demo: runs 'hac browser' and 'hac manager' as two processes, walks the
// whole HAC catalogue between them and prints what each side says.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "hac_arguments.h"
#include "hac_commands.h"
#include "hac_message_records.h"
#include "hac_message_type.h"
#include "hac_output.h"
#include "hac_queue_state.h"

namespace hac_tool {

namespace {

const char* const kDemoHelp =
    "Usage: hac demo [--force]\n"
    "       hac demo --help\n"
    "\n"
    "Starts 'hac browser' and 'hac manager' as two processes, has the manager\n"
    "send every command and query and the browser every notification, prints\n"
    "the conversation from both sides, stops both and removes the three HAC\n"
    "queues. It refuses to run while HAC queues exist (a browser or manager may\n"
    "be using them); --force removes them first.\n"
    "\n"
    "It takes no --json: it prints the lines of both sides as they come, each\n"
    "behind the name of its side (run 'hac browser --json' and 'hac manager\n"
    "--json' for JSON).\n"
    "\n"
    "Exit status: 0 the whole conversation took place, 1 a step failed, 2 bad usage.\n";

typedef std::chrono::steady_clock Clock;
const std::chrono::seconds kStepDeadline(10);

struct Child {
    const char* name;
    pid_t pid;
    int in_fd;
    int out_fd;
    std::string partial;
    std::vector<std::string> lines;
    size_t next_line;  // lines before this one have been matched already
};

std::string own_executable() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, (size_t)n) : std::string("hac");
}

bool spawn(Child* child, const std::vector<std::string>& args) {
    int in_pipe[2], out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) return false;
    std::vector<std::string> argv_strings = {own_executable()};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_strings) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(in_pipe[0], STDIN_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(out_pipe[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    child->pid = pid;
    child->in_fd = in_pipe[1];
    child->out_fd = out_pipe[0];
    child->next_line = 0;
    return true;
}

void take_output(Child* child) {
    char buffer[4096];
    const ssize_t n = read(child->out_fd, buffer, sizeof buffer);
    if (n <= 0) {
        close(child->out_fd);
        child->out_fd = -1;
        return;
    }
    child->partial.append(buffer, (size_t)n);
    size_t newline;
    while ((newline = child->partial.find('\n')) != std::string::npos) {
        const std::string line = child->partial.substr(0, newline);
        child->partial.erase(0, newline + 1);
        printf("  %-7s | %s\n", child->name, line.c_str());
        child->lines.push_back(line);
    }
    fflush(stdout);
}

// Prints what the children say for up to milliseconds.
void pump(Child* a, Child* b, int milliseconds) {
    pollfd entries[2] = {{a->out_fd, POLLIN, 0}, {b->out_fd, POLLIN, 0}};
    if (poll(entries, 2, milliseconds) <= 0) return;
    if (entries[0].revents) take_output(a);
    if (entries[1].revents) take_output(b);
}

bool take_matching_line(Child* child, const std::string& prefix) {
    for (size_t i = child->next_line; i < child->lines.size(); ++i) {
        if (child->lines[i].compare(0, prefix.size(), prefix) == 0) {
            child->next_line = i + 1;
            return true;
        }
    }
    return false;
}

struct Expectation {
    Child* child;
    std::string prefix;
};

bool wait_for_lines(Child* browser, Child* manager, std::vector<Expectation> expected) {
    const auto deadline = Clock::now() + kStepDeadline;
    while (!expected.empty()) {
        for (size_t i = 0; i < expected.size();) {
            if (take_matching_line(expected[i].child, expected[i].prefix))
                expected.erase(expected.begin() + i);
            else
                ++i;
        }
        if (expected.empty()) return true;
        if (Clock::now() > deadline) {
            printf("hac demo: no line '%s' from the %s within %d s\n", expected[0].prefix.c_str(),
                   expected[0].child->name, (int)kStepDeadline.count());
            return false;
        }
        pump(browser, manager, 100);
    }
    return true;
}

struct Step {
    const char* title;
    bool to_browser;  // else to the manager
    std::string line;
    std::string manager_prefix;  // empty: the manager prints nothing for it
    std::string browser_prefix;  // empty: the browser prints nothing for it
};

std::vector<Step> catalogue(const std::string& ait_file) {
    return {
        {"The manager hands over the AIT identifiers", false, "ids 4097 3 1", "ids:",
         request_title(HAC_MSG_SEND_AIT_IDS)},
        {"... and the AIT application records (two, from a JSON file)", false, "ait " + ait_file, "ait:",
         request_title(HAC_MSG_SEND_AIT_APP_INFO)},
        {"... and the URL of an XML AIT", false, "xml http://example.com/ait.xml ccid-42", "xml:",
         request_title(HAC_MSG_SEND_XML_AIT_URL)},
        {"A remote-control key (the browser's library has no handler for keys: it drops them)", false,
         "key red down 1", "key:", ""},
        {"Query: an application's error code", false, "errcode 4660 17", "errcode:",
         request_title(HAC_MSG_GET_APP_ERROR_CODE)},
        {"Query: can a teletext application be shown", false, "teletext 1", "teletext:",
         request_title(HAC_MSG_SHOW_TELETEXT_APP)},
        {"Query: create a broadcast-independent application", false, "create-bi http://example.com/bi.html url",
         "create-bi:", request_title(HAC_MSG_CREATE_BI_APPLICATION)},
        {"Query: the browser's version", false, "version", "version:", request_title(HAC_MSG_GET_VERSION)},
        {"Query: does an application run", false, "running", "running:", request_title(HAC_MSG_IS_APP_RUNNING)},
        {"The browser reports an application state", true, "state 4660 17 started", event_title(HAC_MSG_APP_STATE),
         "notify state"},
        {"... the outcome of a DVB AIT update", true, "dvb ok", event_title(HAC_MSG_DVB_AIT_STATUS), "notify dvb"},
        {"... the outcome of an XML AIT update", true, "xml unchanged", event_title(HAC_MSG_XML_AIT_STATUS),
         "notify xml"},
        {"The manager stops an application", false, "stop 4660 17", "stop:", request_title(HAC_MSG_STOP_APP)},
        {"... destroys the broadcast-independent application", false, "destroy-bi 8192 17", "destroy-bi:",
         request_title(HAC_MSG_DESTROY_BI_APPLICATION)},
        {"... and resets the browser for a channel change", false, "reset 4097 channel-change 3000", "reset:",
         request_title(HAC_MSG_RESET)},
    };
}

const char* const kDemoRecords =
    "[\n"
    "  {\"appid\": 4660, \"orgid\": 17, \"visib\": 3, \"prior\": 1, \"ctrco\": 1, \"name\": \"News\",\n"
    "   \"iso\": \"eng\", \"tranprotocols\": [{\"pi\": 3, \"bu\": \"http://example.com/news/\", \"ip\": \"index.html\"}],\n"
    "   \"bd\": [\"http://example.com/\"], \"isb\": 1, \"serid\": 4097, \"aitver\": 3, \"apptype\": 16},\n"
    "  {\"appid\": 4661, \"orgid\": 17, \"visib\": 1, \"prior\": 2, \"ctrco\": 2, \"name\": \"Weather\",\n"
    "   \"iso\": \"deu\", \"tranprotocols\": [{\"pi\": 3, \"bu\": \"http://example.com/weather/\", \"ip\": \"w.html\"},\n"
    "                                     {\"pi\": 1, \"pp\": 7}],\n"
    "   \"serid\": 4097, \"aitver\": 3, \"apptype\": 16}\n"
    "]\n";

std::string write_demo_records() {
    char path[] = "/tmp/hac-demo-ait-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return "";
    const bool ok = write(fd, kDemoRecords, strlen(kDemoRecords)) == (ssize_t)strlen(kDemoRecords);
    close(fd);
    return ok ? std::string(path) : std::string();
}

bool any_hac_queue() {
    for (const HacQueue& queue : kHacQueues)
        if (queue_exists(queue.key)) return true;
    return false;
}

void remove_hac_queues() {
    for (const HacQueue& queue : kHacQueues) {
        const int id = msgget(queue.key, 0);
        if (id >= 0) msgctl(id, IPC_RMID, nullptr);
    }
}

// Waits for a child's end while printing what it still says.
int wait_for_exit(Child* child, Child* other) {
    const auto deadline = Clock::now() + kStepDeadline;
    while (Clock::now() < deadline) {
        int status = 0;
        if (waitpid(child->pid, &status, WNOHANG) == child->pid) {
            while (child->out_fd >= 0) take_output(child);
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        pump(child, other, 100);
    }
    kill(child->pid, SIGKILL);
    waitpid(child->pid, nullptr, 0);
    return -1;
}

bool send_line(Child* child, const std::string& line) {
    printf("  %-7s < %s\n", child->name, line.c_str());
    fflush(stdout);
    const std::string text = line + "\n";
    return write(child->in_fd, text.data(), text.size()) == (ssize_t)text.size();
}

int run_conversation(Child* browser, Child* manager, const std::string& ait_file) {
    if (!spawn(browser, {"browser", "--version", "2.5.1", "--errcode", "7", "--running", "1", "--teletext", "1",
                         "--bi-app", "8192:17"}) ||
        !wait_for_lines(browser, manager, {{browser, "browser ready"}}))
        return EXIT_FAILED;
    if (!spawn(manager, {"manager", "--timeout", "5"}) || !wait_for_lines(browser, manager, {{manager, "manager ready"}}))
        return EXIT_FAILED;
    for (const Step& step : catalogue(ait_file)) {
        printf("\n== %s\n", step.title);
        std::vector<Expectation> expected;
        if (!step.manager_prefix.empty()) expected.push_back({manager, step.manager_prefix});
        if (!step.browser_prefix.empty()) expected.push_back({browser, step.browser_prefix});
        if (!send_line(step.to_browser ? browser : manager, step.line) ||
            !wait_for_lines(browser, manager, expected))
            return EXIT_FAILED;
    }
    printf("\n== The manager reaches the end of its input; the browser gets SIGTERM\n");
    close(manager->in_fd);
    const int manager_status = wait_for_exit(manager, browser);
    kill(browser->pid, SIGTERM);
    const int browser_status = wait_for_exit(browser, manager);
    close(browser->in_fd);
    printf("manager exit status %d, browser exit status %d\n", manager_status, browser_status);
    return manager_status == 0 && browser_status == 0 ? EXIT_OK : EXIT_FAILED;
}

}  // namespace

int demo_main(const std::vector<std::string>& args) {
    bool force = false;
    const int parsed = parse_command_line("demo", kDemoHelp, args, {{"--force", nullptr, &force}});
    if (parsed != kGoOn) return parsed;
    if (any_hac_queue() && !force) {
        fprintf(stderr,
                "hac demo: the HAC queues exist already: a browser or manager may be using them.\n"
                "Stop them, or see 'hac queues'; 'hac demo --force' removes the queues first.\n");
        return EXIT_FAILED;
    }
    remove_hac_queues();
    signal(SIGPIPE, SIG_IGN);
    const std::string ait_file = write_demo_records();
    if (ait_file.empty()) {
        fprintf(stderr, "hac demo: cannot write the AIT record file in /tmp\n");
        return EXIT_FAILED;
    }
    printf("hac demo: 'hac browser' and 'hac manager' as two processes; lines marked < are\n"
           "what the demo types into a side, lines marked | what that side prints.\n\n");
    fflush(stdout);
    Child browser = {"browser", -1, -1, -1, "", {}, 0};
    Child manager = {"manager", -1, -1, -1, "", {}, 0};
    const int status = run_conversation(&browser, &manager, ait_file);
    for (Child* child : {&manager, &browser}) {
        if (child->pid > 0 && waitpid(child->pid, nullptr, WNOHANG) == 0) {
            kill(child->pid, SIGKILL);
            waitpid(child->pid, nullptr, 0);
        }
    }
    unlink(ait_file.c_str());
    remove_hac_queues();
    printf("%s; the three HAC queues are removed.\n",
           status == EXIT_OK ? "The whole catalogue went through" : "hac demo: a step failed");
    return status;
}

}  // namespace hac_tool
