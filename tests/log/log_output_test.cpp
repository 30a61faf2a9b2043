// Log lines as a real process writes them to its standard output.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "vetu_log.h"

namespace {

long this_tid() { return syscall(SYS_gettid); }

// Reads the prefix at text[pos] and checks it against the clock window, the
// process and the thread. The prefix must read exactly as its fields printed
// without padding. Returns its length and level, 0 when it does not parse.
size_t check_prefix(const std::string& text, size_t pos, time_t from, time_t to, long tid, std::string& level) {
    int day, mon, year, hour, min, sec, pid, end = 0;
    long stamp, thread;
    if (sscanf(text.c_str() + pos, "time=%d/%d/%d %d:%d:%d,timestamp=%ld,pid=%d,tid=%ld,logtype=%n", &day, &mon,
               &year, &hour, &min, &sec, &stamp, &pid, &thread, &end) != 9 || end == 0)
        return 0;
    using std::to_string;
    const std::string fields = "time=" + to_string(day) + "/" + to_string(mon) + "/" + to_string(year) + " " +
                               to_string(hour) + ":" + to_string(min) + ":" + to_string(sec) + ",timestamp=" +
                               to_string(stamp) + ",pid=" + to_string(pid) + ",tid=" + to_string(thread) + ",logtype=";
    EXPECT_EQ(text.compare(pos, fields.size(), fields), 0) << text.substr(pos, fields.size());
    const time_t when = stamp;
    EXPECT_GE(when, from);
    EXPECT_LE(when, to);
    struct tm local;
    localtime_r(&when, &local);
    EXPECT_EQ(std::vector<int>({day, mon, year, hour, min, sec}),
              std::vector<int>({local.tm_mday, local.tm_mon + 1, local.tm_year + 1900, local.tm_hour, local.tm_min,
                                local.tm_sec}));
    EXPECT_EQ(pid, static_cast<int>(getpid()));
    if (tid >= 0) {
        EXPECT_EQ(thread, tid);
    }
    const size_t level_end = text.find_first_not_of("abcdefghijklmnopqrstuvwxyz", pos + end);
    level = text.substr(pos + end, level_end - pos - end);
    return level_end == std::string::npos ? text.size() - pos : level_end - pos;
}

// Runs fn with stdout captured; every prefix in the output is checked and
// replaced by "<level>", so the rest can be compared byte for byte.
std::string logged(const std::function<void()>& fn, long tid = this_tid()) {
    const time_t from = time(nullptr);
    hac_test::StdoutCapture capture;
    fn();
    const std::string out = capture.stop();
    const time_t to = time(nullptr);
    std::string masked, level;
    size_t last = 0;
    for (size_t pos = out.find("time="); pos != std::string::npos; pos = out.find("time=", last)) {
        const size_t len = check_prefix(out, pos, from, to, tid, level);
        if (len == 0) {
            ADD_FAILURE() << "unreadable prefix: " << out.substr(pos, 100);
            break;
        }
        masked.append(out, last, pos - last).append("<" + level + ">");
        last = pos + len;
    }
    return masked.append(out, last, std::string::npos);
}

const int kValue = -17;

void print_every_type(const char* module, const char* file) {
    for (int type = LOG_TYPE_ENTER; type <= LOG_TYPE_STRING; ++type) {
        const void* value = type == LOG_TYPE_INT ? static_cast<const void*>(&kValue)
                                                 : type == LOG_TYPE_STRING ? "text" : nullptr;
        vetu_log_print(type, module, file, "Initialize", 42, "n", value);
    }
}

class LogOutput : public ::testing::Test {
protected:
    void SetUp() override { clear_modules_list(); }
    void TearDown() override { clear_modules_list(); }
};

TEST_F(LogOutput, EmptyTablePrintsOnlyTheRedErrorLine) {
    EXPECT_EQ(logged([] { print_every_type("HAC", "ipc/hac_apm/hac_client.cpp"); }),
              "\x1b[31m<error> File:hac_client.cpp Function: Initialize(), line: 42\n\x1b[0m");
}

TEST_F(LogOutput, InfoModulePrintsEveryTypeInGreenExceptErrors) {
    insert_modules_list("HAC", 1);
    EXPECT_EQ(logged([] { print_every_type("HAC", "plain.c"); }),
              "\x1b[32m<info> File: plain.c Function: Initialize() Enter!\n\x1b[0m"
              "\x1b[32m<info> File: plain.c Function: Initialize() Leave!\n\x1b[0m"
              "\x1b[31m<info> File:plain.c Function: Initialize(), line: 42\n\x1b[0m"
              "\x1b[32m<info> File:plain.c Function: Initialize(), line: 42, n:-17\n\x1b[0m"
              "\x1b[32m<info> File:plain.c Function: Initialize(), line: 42, n:text\n\x1b[0m");
}

TEST_F(LogOutput, StoredValuesMapToLevels) {
    EXPECT_EQ(vetu_log_getLevel("HAC"), LOG_LEVEL_ERROR);
    insert_modules_list("one", 1);
    insert_modules_list("two", 2);
    insert_modules_list("big", 300);
    EXPECT_EQ(vetu_log_getLevel("one"), LOG_LEVEL_INFO);
    EXPECT_EQ(vetu_log_getLevel("two"), LOG_LEVEL_ERROR);
    EXPECT_EQ(vetu_log_getLevel("big"), LOG_LEVEL_ERROR);
    EXPECT_EQ(vetu_log_getLevel("absent"), LOG_LEVEL_ERROR);
    EXPECT_EQ(vetu_log_getLevel(nullptr), LOG_LEVEL_ERROR);
    EXPECT_EQ(vetu_log_getLevel("on"), LOG_LEVEL_ERROR) << "exact match only";
    // Value 2 behaves like an absent module; a null module too.
    EXPECT_EQ(logged([] {
                  print_every_type("two", "x.c");
                  print_every_type(nullptr, "x.c");
              }),
              "\x1b[31m<error> File:x.c Function: Initialize(), line: 42\n\x1b[0m"
              "\x1b[31m<error> File:x.c Function: Initialize(), line: 42\n\x1b[0m");
}

TEST_F(LogOutput, FileIsCutAfterItsLastSlash) {
    EXPECT_EQ(logged([] {
                  vetu_log_print(LOG_TYPE_ERROR, "HAC", "/a/b/c.cpp", "f", 1, nullptr, nullptr);
                  vetu_log_print(LOG_TYPE_ERROR, "HAC", "dir/", "f", 2, nullptr, nullptr);
              }),
              "\x1b[31m<error> File:c.cpp Function: f(), line: 1\n\x1b[0m"
              "\x1b[31m<error> File: Function: f(), line: 2\n\x1b[0m");
}

TEST_F(LogOutput, TypesOutOfRange) {
    insert_modules_list("HAC", 1);
    EXPECT_EQ(logged([] {
                  vetu_log_print(LOG_TYPE_MAX, "HAC", "a.c", "f", 1, nullptr, nullptr);
                  vetu_log_print(-1, "HAC", "a.c", "f", 1, nullptr, nullptr);
                  vetu_log_print(6, "HAC", "a.c", "f", 1, nullptr, nullptr);
              }),
              "log type set err, out of max enum value\n");
}

TEST_F(LogOutput, NullArgumentsPrintAsNull) {
    insert_modules_list("HAC", 1);
    EXPECT_EQ(logged([] {
                  vetu_log_print(LOG_TYPE_ENTER, "HAC", nullptr, nullptr, 0, nullptr, nullptr);
                  vetu_log_print(LOG_TYPE_INT, "HAC", "a.c", "f", 3, nullptr, nullptr);
                  vetu_log_print(LOG_TYPE_STRING, "HAC", "a.c", "f", 4, "s", nullptr);
                  vetu_log("HAC", nullptr, nullptr, 5, "m\n");
              }),
              "\x1b[32m<info> File: (null) Function: (null)() Enter!\n\x1b[0m"
              "\x1b[32m<info> File:a.c Function: f(), line: 3, (null):(null)\n\x1b[0m"
              "\x1b[32m<info> File:a.c Function: f(), line: 4, s:(null)\n\x1b[0m"
              "<info> File:(null) Function: (null)(), line: 5, m\n");
}

TEST_F(LogOutput, FreeFormLinesOnlyAtInfoAndCutAt2047) {
    const std::string long_text(3000, 'x');
    EXPECT_EQ(logged([&] { vetu_log("HAC", "a/b.c", "f", 7, "failed %d\n", 5); }), "");
    insert_modules_list("HAC", 1);
    EXPECT_EQ(logged([&] {
                  vetu_log("HAC", "a/b.c", "f", 7, "failed %d\n", 5);
                  vetu_log("HAC", "b.c", "g", 8, "%s", long_text.c_str());
              }),
              "<info> File:b.c Function: f(), line: 7, failed 5\n"
              "<info> File:b.c Function: g(), line: 8, " +
                  long_text.substr(0, 2047));
}

// Whole lines from several threads, while another thread changes the table.
TEST_F(LogOutput, ConcurrentLinesNeverInterleave) {
    insert_modules_list("HAC", 1);
    const int kThreads = 4, kLines = 100;
    std::atomic<bool> done{false};
    const std::string out = logged(
        [&] {
            std::thread changer([&] {
                char list[LOG_COMMAND_SIZE];
                while (!done) {
                    insert_modules_list("other|more", 1);
                    get_modules_list(list);
                    insert_modules_list("other", 0);
                }
            });
            std::vector<std::thread> writers;
            for (int t = 0; t < kThreads; ++t)
                writers.emplace_back([t] {
                    const std::string payload(300, static_cast<char>('a' + t));
                    for (int i = 0; i < kLines; ++i)
                        vetu_log_print(LOG_TYPE_STRING, "HAC", "w.c", "worker", i, "p", payload.c_str());
                });
            for (auto& w : writers) w.join();
            done = true;
            changer.join();
        },
        -1);
    // Every record must be whole: head, line number, one thread's payload.
    const std::string head = "\x1b[32m<info> File:w.c Function: worker(), line: ", tail = "\n\x1b[0m";
    std::map<char, int> per_thread;
    size_t pos = 0;
    while (pos < out.size()) {
        const size_t end = out.find(tail, pos);
        const std::string record = out.substr(pos, end - pos);
        const size_t payload = record.find(", p:");
        const bool whole = end != std::string::npos && record.compare(0, head.size(), head) == 0 &&
                           payload != std::string::npos && record.size() == payload + 4 + 300 &&
                           record.find_first_not_of(record[payload + 4], payload + 4) == std::string::npos;
        if (!whole) {
            ADD_FAILURE() << "broken line: " << record.substr(0, 200);
            break;
        }
        ++per_thread[record[payload + 4]];
        pos = end + tail.size();
    }
    EXPECT_EQ(per_thread, (std::map<char, int>{{'a', kLines}, {'b', kLines}, {'c', kLines}, {'d', kLines}}));
}

}  // namespace
