// Log lines as a real process writes them to its standard output.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "test_support.h"
#include "vetu_log.h"

namespace {

// The number after key in text from pos on; 0 when there is none.
long number_after(const std::string& text, const char* key, size_t pos) {
    const size_t at = text.find(key, pos);
    return at == std::string::npos ? 0 : strtol(text.c_str() + at + strlen(key), nullptr, 10);
}

// Runs fn on a thread of its own (whose id is not the process's) with stdout
// captured and returns what it printed, each line's prefix replaced by
// "<level>" once checked: its clock fields are those of its timestamp in
// local time, within the run; the process is this one and, unless fn starts
// threads of its own, the thread is fn's; numbers are written without padding.
std::string logged(const std::function<void()>& fn, bool fn_threads_log = false) {
    const time_t from = time(nullptr);
    hac_test::StdoutCapture capture;
    long tid = -1;
    std::thread([&] {
        tid = fn_threads_log ? -1 : syscall(SYS_gettid);
        fn();
    }).join();
    const std::string out = capture.stop();
    const time_t to = time(nullptr);
    std::string masked;
    size_t last = 0;
    for (size_t pos = out.find("time="); pos != std::string::npos; pos = out.find("time=", last)) {
        const time_t stamp = number_after(out, ",timestamp=", pos);
        EXPECT_TRUE(stamp >= from && stamp <= to) << stamp;
        struct tm t;
        localtime_r(&stamp, &t);
        using std::to_string;
        const std::string prefix =
            "time=" + to_string(t.tm_mday) + "/" + to_string(t.tm_mon + 1) + "/" + to_string(t.tm_year + 1900) + " " +
            to_string(t.tm_hour) + ":" + to_string(t.tm_min) + ":" + to_string(t.tm_sec) + ",timestamp=" +
            to_string(stamp) + ",pid=" + to_string(getpid()) + ",tid=" +
            to_string(tid >= 0 ? tid : number_after(out, ",tid=", pos)) + ",logtype=";
        EXPECT_EQ(out.substr(pos, prefix.size()), prefix);
        const size_t level = pos + prefix.size();
        const size_t level_end = std::min(out.find_first_not_of("abcdefghijklmnopqrstuvwxyz", level), out.size());
        masked.append(out, last, pos - last).append("<" + out.substr(level, level_end - level) + ">");
        last = level_end;
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

TEST(LogOutput, LinesAsEachLevelPrintsThem) {
    const std::string long_text(3000, 'x');
    const std::string error_line = "\x1b[31m<error> File:x.c Function: Initialize(), line: 42\n\x1b[0m";
    // What to print, from an empty module table, and what comes out.
    const std::tuple<const char*, std::function<void()>, std::string> cases[] = {
        {"empty table: only error lines, in red; the file cut after its last slash",
         [] {
             print_every_type("HAC", "ipc/hac_apm/hac_client.cpp");
             vetu_log_print(LOG_TYPE_ERROR, "HAC", "dir/", "f", 2, nullptr, nullptr);
             vetu_log("HAC", "a/b.c", "f", 6, "dropped %d\n", 6);
         },
         "\x1b[31m<error> File:hac_client.cpp Function: Initialize(), line: 42\n\x1b[0m"
         "\x1b[31m<error> File: Function: f(), line: 2\n\x1b[0m"},
        {"info module: every type, green but for the error line; types out of range",
         [&] {
             insert_modules_list("HAC", 1);
             print_every_type("HAC", "plain.c");
             for (int type : {int(LOG_TYPE_MAX), -1, 6}) vetu_log_print(type, "HAC", "a.c", "f", 1, nullptr, nullptr);
         },
         "\x1b[32m<info> File: plain.c Function: Initialize() Enter!\n\x1b[0m"
         "\x1b[32m<info> File: plain.c Function: Initialize() Leave!\n\x1b[0m"
         "\x1b[31m<info> File:plain.c Function: Initialize(), line: 42\n\x1b[0m"
         "\x1b[32m<info> File:plain.c Function: Initialize(), line: 42, n:-17\n\x1b[0m"
         "\x1b[32m<info> File:plain.c Function: Initialize(), line: 42, n:text\n\x1b[0m"
         "log type set err, out of max enum value\n"},
        {"modules at 2 or 300, a null one and an absent one (a prefix of one at 1) print at the error level",
         [] {
             insert_modules_list("two", 2);
             insert_modules_list("big", 300);
             insert_modules_list("one", 1);
             for (const char* module : {"two", "big", static_cast<const char*>(nullptr), "on"})
                 print_every_type(module, "x.c");
         },
         error_line + error_line + error_line + error_line},
        {"null arguments print as (null); free-form lines cut at 2047",
         [&] {
             insert_modules_list("HAC", 1);
             vetu_log_print(LOG_TYPE_ENTER, "HAC", nullptr, nullptr, 0, nullptr, nullptr);
             vetu_log_print(LOG_TYPE_INT, "HAC", "a.c", "f", 3, nullptr, nullptr);
             vetu_log_print(LOG_TYPE_STRING, "HAC", "a.c", "f", 4, "s", nullptr);
             vetu_log("HAC", nullptr, nullptr, 5, "m\n");
             vetu_log("HAC", "a/b.c", "f", 7, "failed %d\n", 5);
             vetu_log("HAC", "b.c", "g", 8, "%s", long_text.c_str());
         },
         "\x1b[32m<info> File: (null) Function: (null)() Enter!\n\x1b[0m"
         "\x1b[32m<info> File:a.c Function: f(), line: 3, (null):(null)\n\x1b[0m"
         "\x1b[32m<info> File:a.c Function: f(), line: 4, s:(null)\n\x1b[0m"
         "<info> File:(null) Function: (null)(), line: 5, m\n<info> File:b.c Function: f(), line: 7, failed 5\n"
         "<info> File:b.c Function: g(), line: 8, " +
             long_text.substr(0, 2047)},
    };
    for (const auto& [name, print, expected] : cases) {
        SCOPED_TRACE(name);
        clear_modules_list();
        EXPECT_EQ(logged(print), expected);
    }
    clear_modules_list();
}

// Whole lines from several threads, while another thread changes the table:
// each line comes once, and nothing else.
TEST(LogOutput, ConcurrentLinesNeverInterleave) {
    clear_modules_list();
    insert_modules_list("HAC", 1);
    std::atomic<bool> done{false};
    const std::string out = logged(
        [&] {
            std::thread changer([&] {
                while (!done) {
                    insert_modules_list("other|more", 1);
                    insert_modules_list("other", 0);
                }
            });
            std::vector<std::thread> writers;
            for (char t = 'a'; t <= 'd'; ++t)
                writers.emplace_back([t] {
                    const std::string payload(300, t);
                    for (int i = 0; i < 100; ++i)
                        vetu_log_print(LOG_TYPE_STRING, "HAC", "w.c", "worker", i, "p", payload.c_str());
                });
            for (auto& w : writers) w.join();
            done = true;
            changer.join();
        },
        true);
    clear_modules_list();
    size_t total = 0, missing = 0;
    for (char t = 'a'; t <= 'd'; ++t)
        for (int i = 0; i < 100; ++i) {
            const std::string line = "\x1b[32m<info> File:w.c Function: worker(), line: " + std::to_string(i) +
                                     ", p:" + std::string(300, t) + "\n\x1b[0m";
            missing += out.find(line) == std::string::npos;
            total += line.size();
        }
    EXPECT_EQ(missing, 0u) << out.substr(0, 1000);
    EXPECT_EQ(out.size(), total);
}

}  // namespace
