// Log lines on standard output. Each line is written by one printf call so
// that lines of concurrent threads never interleave.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "log_table.h"
#include "vetu_log.h"

namespace {

const size_t kPrefixSize = 100;
const size_t kMessageSize = 2048;
const char* const kNull = "(null)";

const char* or_null(const char* s) { return s != nullptr ? s : kNull; }

const char* level_name(int level) {
    if (level == LOG_LEVEL_ERROR) return "error";
    if (level == LOG_LEVEL_INFO) return "info";
    return "unknown";
}

void build_log_prefix(char* dest, size_t size, int level) {
    const time_t now = time(nullptr);
    // localtime_r: localtime's shared result would race between logging threads.
    struct tm local;
    memset(&local, 0, sizeof local);
    localtime_r(&now, &local);
    snprintf(dest, size, "time=%d/%d/%d %d:%d:%d,timestamp=%ld,pid=%d,tid=%ld,logtype=%s", local.tm_mday,
             local.tm_mon + 1, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, static_cast<long>(now),
             static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)), level_name(level));
}

const char* file_name_of(const char* path) {
    if (path == nullptr) return kNull;
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

int effective_level(const char* module) {
    const int level = vetu_log_getLevel(module);
    return level > LOG_LEVEL_INFO ? LOG_LEVEL_ERROR : level;
}

bool line_is_printed(int type, int level) {
    switch (type) {
    case LOG_TYPE_ERROR:
        return level == LOG_LEVEL_ERROR || level == LOG_LEVEL_INFO;
    case LOG_TYPE_ENTER:
    case LOG_TYPE_LEAVE:
    case LOG_TYPE_INT:
    case LOG_TYPE_STRING:
        return level == LOG_LEVEL_INFO;
    default:
        return false;
    }
}

void print_value_line(const char* prefix, const char* file, const char* function, int line, const char* name,
                      int type, const void* value) {
    if (type == LOG_TYPE_INT && value != nullptr) {
        printf("\033[32m%s File:%s Function: %s(), line: %d, %s:%d\n\033[0m", prefix, file, function, line, name,
               *static_cast<const int*>(value));
        return;
    }
    const char* text = type == LOG_TYPE_STRING ? static_cast<const char*>(value) : nullptr;
    printf("\033[32m%s File:%s Function: %s(), line: %d, %s:%s\n\033[0m", prefix, file, function, line, name,
           or_null(text));
}

// Prints the record when the module's level prints it. Kept out of
// vetu_log_print, so that a record dropped there does not pay for the frame
// this needs.
__attribute__((noinline)) void print_at_module_level(int type, const char* module, const char* file,
                                                     const char* function, int line, const char* name,
                                                     const void* value) {
    const int level = effective_level(module);
    // A suppressed line costs only the lookup: no clock, no system call.
    if (!line_is_printed(type, level)) return;
    char prefix[kPrefixSize] = {0};
    build_log_prefix(prefix, sizeof prefix, level);
    const char* base = file_name_of(file);
    const char* fn = or_null(function);
    switch (type) {
    case LOG_TYPE_ENTER:
        printf("\033[32m%s File: %s Function: %s() Enter!\n\033[0m", prefix, base, fn);
        break;
    case LOG_TYPE_LEAVE:
        printf("\033[32m%s File: %s Function: %s() Leave!\n\033[0m", prefix, base, fn);
        break;
    case LOG_TYPE_ERROR:
        printf("\033[31m%s File:%s Function: %s(), line: %d\n\033[0m", prefix, base, fn, line);
        break;
    default:
        print_value_line(prefix, base, fn, line, or_null(name), type, value);
        break;
    }
}

}  // namespace

extern "C" {

void vetu_log_print(int type, const char* module, const char* file, const char* function, int line, const char* name,
                    const void* value) {
    if (type > LOG_TYPE_MAX) {
        puts("log type set err, out of max enum value");
        return;
    }
    // An empty module table leaves every module at the error level, which
    // prints error records only: any other record is dropped without even
    // the lookup.
    if (type != LOG_TYPE_ERROR && log_table_is_empty()) return;
    print_at_module_level(type, module, file, function, line, name, value);
}

void vetu_log(const char* module, const char* file, const char* function, int line, const char* format, ...) {
    const int level = effective_level(module);
    if (level != LOG_LEVEL_INFO) return;

    char prefix[kPrefixSize] = {0};
    build_log_prefix(prefix, sizeof prefix, level);
    char message[kMessageSize] = {0};
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        vsnprintf(message, sizeof message, format, args);
        va_end(args);
    } else {
        snprintf(message, sizeof message, "%s", kNull);
    }
    printf("%s File:%s Function: %s(), line: %d, %s", prefix, file_name_of(file), or_null(function), line, message);
}

}  // extern "C"
