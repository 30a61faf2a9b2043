// Helpers of the tool tests: a hac process with its input on a pipe and its
// output in files, its JSON records, and a run as the user nobody.
#ifndef HAC_TOOL_SUPPORT_H
#define HAC_TOOL_SUPPORT_H

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "hac_message_type.h"
#include "test_support.h"

namespace hac_tool_test {

using namespace hac_test;

constexpr std::chrono::milliseconds kDeadline(10000);

// The JSON lines of a tool's output; the library's own log lines are not JSON.
inline std::vector<Json::Value> json_records(const std::string& output) {
    std::vector<Json::Value> parsed;
    for (const std::string& line : split_lines(output)) {
        Json::Value value;
        if (!line.empty() && line[0] == '{' && Json::Reader().parse(line, value)) parsed.push_back(value);
    }
    return parsed;
}

// The nth record (from 0) of this kind and name; null when there is none.
inline Json::Value find_record(const std::string& output, const std::string& kind, const std::string& name, int nth = 0) {
    for (const Json::Value& record : json_records(output))
        if (record["kind"] == kind && (name.empty() || record["name"] == name) && nth-- == 0) return record;
    return Json::Value();
}

// One hac process: its standard input on a pipe the test writes, its
// standard output and error in files the test reads.
class Tool {
public:
    explicit Tool(const std::vector<std::string>& args) : out_path_(temp_path("tool_out")), err_path_(temp_path("tool_err")) {
        int input[2];
        if (pipe2(input, O_CLOEXEC) != 0) return;
        const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        // The child inherits fds 0 and 2 as they are at the fork inside Peer.
        const int saved_in = dup(STDIN_FILENO), saved_err = dup(STDERR_FILENO);
        dup2(input[0], STDIN_FILENO);
        dup2(err, STDERR_FILENO);
        peer_ = std::make_unique<Peer>(HAC_TOOL_PATH, args, out_path_);
        dup2(saved_in, STDIN_FILENO);
        dup2(saved_err, STDERR_FILENO);
        close(saved_in);
        close(saved_err);
        close(err);
        close(input[0]);
        input_fd_ = input[1];
    }
    ~Tool() {
        close_input();
        peer_.reset();
        unlink(out_path_.c_str());
        unlink(err_path_.c_str());
    }

    void send(const std::string& line) { send_raw(line + "\n"); }
    void send_raw(const std::string& text) {
        ASSERT_EQ(write(input_fd_, text.data(), text.size()), (ssize_t)text.size());
    }
    void close_input() {
        if (input_fd_ >= 0) close(input_fd_);
        input_fd_ = -1;
    }
    int wait() {
        close_input();
        return peer_->wait(kDeadline);
    }
    void signal(int sig) { peer_->kill_now(sig); }
    pid_t pid() const { return peer_->pid(); }
    std::string output() const { return read_file(out_path_); }
    std::string errors() const { return read_file(err_path_); }

    std::vector<Json::Value> records() const { return json_records(output()); }
    Json::Value find(const std::string& kind, const std::string& name, int nth = 0) const {
        return find_record(output(), kind, name, nth);
    }
    Json::Value wait_for(const std::string& kind, const std::string& name, int nth = 0) const {
        Json::Value found;
        wait_until([&] { return !(found = find(kind, name, nth)).isNull(); }, kDeadline);
        return found;
    }

private:
    std::string out_path_, err_path_;
    std::unique_ptr<Peer> peer_;
    int input_fd_ = -1;
};

// Every member of the expected object (given as JSON text) is in actual with
// the same value.
inline void expect_members(const Json::Value& actual, const std::string& expected_text) {
    Json::Value expected;
    ASSERT_TRUE(Json::Reader().parse(expected_text, expected)) << expected_text;
    for (const std::string& member : expected.getMemberNames())
        EXPECT_EQ(actual[member], expected[member]) << member << " in " << actual.toStyledString();
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override { remove_hac_queues(); }
    void TearDown() override { remove_hac_queues(); }
};

// A tool run to its end as the user nobody, whom the kernel holds to a
// queue's mode as it does not hold root.
struct Finished {
    int status;
    std::string output, errors;
    Json::Value find(const std::string& kind, const std::string& name) const {
        return find_record(output, kind, name);
    }
};

// The child that gives up root's rights is a child of the test, so the test
// keeps them; the tool is started from it as every peer is.
inline Finished run_as_nobody(const std::vector<std::string>& args, const std::string& input = "") {
    const std::string in_path = temp_path("tool_in"), out_path = temp_path("tool_out"), err_path = temp_path("tool_err");
    std::ofstream(in_path) << input;
    const int status = run_in_child(
        [&] {
            const int in = open(in_path.c_str(), O_RDONLY);
            const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || err < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) return 125;
            const struct passwd* nobody = getpwnam("nobody");
            const uid_t uid = nobody ? nobody->pw_uid : 65534;
            const gid_t gid = nobody ? nobody->pw_gid : 65534;
            if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) return 126;
            Peer tool(HAC_TOOL_PATH, args, out_path);
            return tool.wait(kDeadline);
        },
        2 * kDeadline);
    Finished finished = {status, read_file(out_path), read_file(err_path)};
    for (const std::string& path : {in_path, out_path, err_path}) unlink(path.c_str());
    return finished;
}

// HAC queues that root made before the tool runs as nobody.
class ToolTestForeignQueues : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        if (geteuid() != 0) {
            GTEST_SKIP() << "not running as root: cannot make root's queues and run the tool as nobody";
        }
    }
    // A fragment in the queue stands for a stale request or answer.
    static void create_queue(key_t key, int mode, bool with_fragment) {
        const int id = msgget(key, IPC_CREAT | IPC_EXCL | mode);
        ASSERT_GE(id, 0) << std::hex << key;
        struct {
            long mtype;
            char text[8];
        } fragment = {1, "stale"};
        if (with_fragment) {
            ASSERT_EQ(msgsnd(id, &fragment, 5, IPC_NOWAIT), 0);
        }
    }
    static unsigned long fragments_in(key_t key) {
        struct msqid_ds ds;
        return msgctl(msgget(key, 0), IPC_STAT, &ds) == 0 ? ds.msg_qnum : 0;
    }
};

}  // namespace hac_tool_test

#endif
