// The log control command as the control thread applies it: each 1025-byte
// slice of the input is one datagram (the clear keyword, or a module list
// with its value byte at offset 1024). After each, the module table must
// still keep its limits and its order.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "vetu_log.h"

namespace {

void apply_datagram(const uint8_t* data, size_t size) {
    char command[LOG_COMMAND_SIZE] = {0};
    memcpy(command, data, size < sizeof command ? size : sizeof command);
    if (strcmp(command, LOG_CLEAR_KEYWORD) == 0) {
        clear_modules_list();
        return;
    }
    insert_modules_list(command, static_cast<unsigned char>(command[LOG_COMMAND_SIZE - 1]));
}

// A list of exactly 1024 bytes without a NUL: the operation reads no further.
void apply_unterminated_list(const uint8_t* data, size_t size) {
    if (size < LOG_COMMAND_SIZE - 1) return;
    std::vector<char> list(data, data + LOG_COMMAND_SIZE - 1);
    if (memchr(list.data(), '\0', list.size()) != nullptr) return;
    insert_modules_list(list.data(), 2);
}

void check_table() {
    char out[LOG_COMMAND_SIZE];
    memset(out, 0x5A, sizeof out);
    const int count = get_modules_list(out);
    if (count < 0 || count > LOG_MODULES_MAX) abort();
    if (count == 0) return;
    const size_t len = strnlen(out, sizeof out);
    if (len == 0 || len == sizeof out || out[len - 1] == '|') abort();
    std::vector<std::string> names;
    std::istringstream list(std::string(out, len));
    for (std::string name; std::getline(list, name, '|');) names.push_back(name);
    if (names.size() != static_cast<size_t>(count)) abort();
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i].empty() || names[i].size() > LOG_MODULE_NAME_MAX) abort();
        if (i > 0 && !(names[i - 1] < names[i])) abort();
        const int level = vetu_log_getLevel(names[i].c_str());
        if (level != LOG_LEVEL_INFO && level != LOG_LEVEL_ERROR) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The table operations print their refusals on stdout.
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    clear_modules_list();
    apply_unterminated_list(data, size);
    check_table();
    size_t offset = 0;
    do {
        const size_t n = size - offset < LOG_COMMAND_SIZE ? size - offset : LOG_COMMAND_SIZE;
        apply_datagram(data + offset, n);
        check_table();
        offset += LOG_COMMAND_SIZE;
    } while (offset < size);
    return 0;
}
