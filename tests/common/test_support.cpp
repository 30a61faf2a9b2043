#include "test_support.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "hac_message_type.h"

namespace hac_test {

bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

key_t unique_queue_key() {
    static std::atomic<unsigned> counter{0};
    const unsigned n = counter.fetch_add(1);
    // 0x5Axxxxxx: far from the HAC keys; pid in the middle bits, an even
    // counter in the low byte so that key + 1 belongs to the same caller.
    return static_cast<key_t>(0x5A000000u | ((static_cast<unsigned>(getpid()) & 0xFFFFu) << 8) | ((n * 2u) & 0xFFu));
}

void remove_queue(key_t key) {
    const int id = msgget(key, 0);
    if (id >= 0) msgctl(id, IPC_RMID, nullptr);
}

bool queue_exists(key_t key) { return msgget(key, 0) >= 0; }

QueueCleaner::QueueCleaner(std::vector<key_t> keys) : keys_(std::move(keys)) { for (key_t k : keys_) remove_queue(k); }

QueueCleaner::~QueueCleaner() { for (key_t k : keys_) remove_queue(k); }

std::vector<key_t> hac_queue_keys() {
    return {static_cast<key_t>(HAC_REQUEST_QUEUE_KEY), static_cast<key_t>(HAC_REPLY_QUEUE_KEY),
            static_cast<key_t>(HAC_NOTIFICATION_QUEUE_KEY)};
}

void remove_hac_queues() { for (key_t k : hac_queue_keys()) remove_queue(k); }

// The file that stands in for standard output from now on (the child's of a
// fork, or this process's).
static void redirect_stdout(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDOUT_FILENO);
    if (fd >= 0) close(fd);
}

StdoutCapture::StdoutCapture() : path_(temp_path("stdout")) {
    fflush(stdout);
    saved_fd_ = dup(STDOUT_FILENO);
    redirect_stdout(path_);
}

StdoutCapture::~StdoutCapture() { stop(); }

std::string StdoutCapture::stop() {
    if (saved_fd_ < 0) return "";
    fflush(stdout);
    dup2(saved_fd_, STDOUT_FILENO);
    close(saved_fd_);
    saved_fd_ = -1;
    const std::string out = read_file(path_);
    std::remove(path_.c_str());
    return out;
}

// A cross-built suite runs under an emulator, and its peers are target
// binaries that the host cannot exec by itself: they get the same emulator.
// The build sets HAC_TEST_EMULATOR (empty for a native build); the
// environment variable of that name overrides it (empty: exec directly, e.g.
// where binfmt_misc runs them).
static std::vector<std::string> emulator_prefix() {
    const char* from_env = std::getenv("HAC_TEST_EMULATOR");
    std::istringstream words(from_env ? from_env : HAC_TEST_EMULATOR);
    std::vector<std::string> prefix;
    for (std::string word; words >> word;) prefix.push_back(word);
    return prefix;
}

bool suite_is_emulated() { return !emulator_prefix().empty(); }

Peer::Peer(const std::string& path, const std::vector<std::string>& args, const std::string& stdout_path) : pid_(-1) {
    std::vector<std::string> argv_s = emulator_prefix();
    argv_s.push_back(path);
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_s) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    fflush(stdout);
    fflush(stderr);
    pid_ = fork();
    if (pid_ == 0) {
        if (!stdout_path.empty()) redirect_stdout(stdout_path);
        // The emulator is looked up on the PATH; a path with a slash is not.
        execvp(argv[0], argv.data());
        _exit(127);
    }
}

Peer::~Peer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

static int wait_for_child(pid_t pid, std::chrono::milliseconds timeout) {
    int status = 0;
    pid_t done = 0;
    const bool ended = wait_until(
        [&] {
            done = waitpid(pid, &status, WNOHANG);
            return done != 0;
        },
        timeout);
    if (!ended) {
        ::kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    if (done < 0 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

int Peer::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    const int rc = wait_for_child(pid_, timeout);
    pid_ = -1;
    return rc;
}

void Peer::kill_now(int sig) { if (pid_ > 0) ::kill(pid_, sig); }

int run_in_child(const std::function<int()>& fn, std::chrono::milliseconds timeout) {
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int rc = fn();
        fflush(stdout);
        _exit(rc);
    }
    if (pid < 0) return -1;
    return wait_for_child(pid, timeout);
}

// The thread ids of a process ("self": this one).
static std::vector<std::string> threads_of(const std::string& pid) {
    std::vector<std::string> ids;
    if (DIR* dir = opendir(("/proc/" + pid + "/task").c_str())) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ids.push_back(entry->d_name);
        closedir(dir);
    }
    return ids;
}

int thread_count() { return static_cast<int>(threads_of("self").size()); }

bool process_stopped(pid_t pid) {
    const std::vector<std::string> ids = threads_of(std::to_string(pid));
    for (const std::string& id : ids) {
        const std::string stat = read_file("/proc/" + std::to_string(pid) + "/task/" + id + "/stat");
        const size_t paren = stat.rfind(')');  // the name before it may hold anything
        if (paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'T') return false;
    }
    return !ids.empty();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string temp_path(const std::string& stem) {
    static std::atomic<unsigned> counter{0};
    return "/tmp/hac_" + stem + "_" + std::to_string(getpid()) + "_" + std::to_string(counter.fetch_add(1));
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

void put_fragment(int msqid, long mtype, const FragmentHeader& header, const std::string& bytes, size_t chunk_size) {
    std::vector<char> buf(IPC_FRAGMENT_BUFFER_SIZE(chunk_size), 0);
    IpcFragment* f = reinterpret_cast<IpcFragment*>(buf.data());
    f->mtype = mtype;
    f->kind = header.kind;
    f->total_len = header.total_len;
    f->seq = header.seq;
    f->last = header.last;
    f->one = 1;
    f->token = header.token;
    f->chunk_len = header.chunk_len;
    memcpy(f->data, bytes.data(), std::min(bytes.size(), chunk_size + 4));
    // A queue full of fragments that its receiver is still taking (a slow,
    // emulated one) has room again soon.
    wait_until(
        [&] { return msgsnd(msqid, buf.data(), IPC_FRAGMENT_MSGSZ(chunk_size), IPC_NOWAIT) == 0 || errno != EAGAIN; });
}

void put_payload(int msqid, long mtype, int kind, const std::string& bytes, int32_t token, int first, int last,
                 size_t chunk_size) {
    const size_t full = chunk_size + 1;
    const int count = bytes.empty() ? 1 : static_cast<int>((bytes.size() + full - 1) / full);
    for (int seq = first; seq <= (last == 0 ? count : last); ++seq) {
        const std::string piece = bytes.substr(static_cast<size_t>(seq - 1) * full, full);
        put_fragment(msqid, mtype,
                     {kind, static_cast<int>(bytes.size()), seq == count, static_cast<int>(piece.size()), seq, token},
                     piece, chunk_size);
    }
}

static bool take_one(int msqid, long mtype, size_t chunk_size, int flags, std::vector<RawFragment>* out) {
    RawFragment f;
    f.bytes.assign(IPC_FRAGMENT_BUFFER_SIZE(chunk_size), '\x55');
    f.size = msgrcv(msqid, f.bytes.data(), IPC_FRAGMENT_MSGSZ(chunk_size), mtype, flags);
    if (f.size < 0) return false;
    out->push_back(f);
    return true;
}

std::vector<RawFragment> take_all(int msqid, long mtype, size_t chunk_size) {
    std::vector<RawFragment> out;
    while (take_one(msqid, mtype, chunk_size, IPC_NOWAIT, &out)) {
    }
    return out;
}

std::vector<RawFragment> take_payload(int msqid, long mtype, size_t chunk_size) {
    std::vector<RawFragment> out;
    while (take_one(msqid, mtype, chunk_size, 0, &out) && !out.back()->last) {
    }
    return out;
}

static msqid_ds queue_state(int msqid) {
    msqid_ds info{};
    msgctl(msqid, IPC_STAT, &info);
    return info;
}

size_t queued(int msqid) { return queue_state(msqid).msg_qnum; }

pid_t last_sender(int msqid) { return queue_state(msqid).msg_lspid; }

std::string numbered_payload(long seq, size_t len) {
    std::string s = std::to_string(seq) + "|" + std::to_string(len) + "|";
    for (size_t i = s.size(); i < len; ++i) s.push_back(static_cast<char>('a' + (seq + static_cast<long>(i)) % 26));
    return s;
}

long check_numbered_payload(const std::string& payload) {
    char* end = nullptr;
    const long seq = std::strtol(payload.c_str(), &end, 10);
    if (end == payload.c_str() || *end != '|') return -1;
    const unsigned long len = std::strtoul(end + 1, &end, 10);
    if (*end != '|' || len != payload.size()) return -1;
    return payload == numbered_payload(seq, len) ? seq : -1;
}

uint32_t digest(const std::string& bytes) {
    uint32_t h = 2166136261u;
    for (unsigned char c : bytes) h = (h ^ c) * 16777619u;
    return h;
}

}  // namespace hac_test
