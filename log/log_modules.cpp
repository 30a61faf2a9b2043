// The module table: which modules log at the info level. Read by every
// logging thread, changed by the list operations and the control thread.
#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <string_view>

#include "lock.h"
#include "log_table.h"
#include "vetu_log.h"
#include "vetu_status.h"

namespace {

pthread_mutex_t g_table_mutex = PTHREAD_MUTEX_INITIALIZER;

// Looked up by std::string_view, so that a lookup allocates nothing: every
// log line looks its module up, also when memory runs out.
using ModuleTable = std::map<std::string, int, std::less<>>;

// Never destroyed: a control thread may still run while the process exits,
// and static destructors must not pull the table from under it.
ModuleTable& module_table() {
    static auto* table = new ModuleTable();
    return *table;
}

// With no module listed (the default) every lookup answers the error level
// without locking (log_table.h).
void note_table_size(const ModuleTable& table) {
    __atomic_store_n(&g_log_module_count, table.size(), __ATOMIC_RELEASE);
}

int level_of_stored_value(int stored) {
    if (stored == 1) return LOG_LEVEL_INFO;
    if (stored == 0) return LOG_LEVEL_NONE;
    return LOG_LEVEL_ERROR;
}

// Applies one name of a list; returns false when the table is full and the
// rest of the list must be dropped. Called with the table locked.
bool apply_module_name(ModuleTable& table, const char* name, size_t len, unsigned int value) {
    const std::string module(name, len);
    if (len > LOG_MODULE_NAME_MAX) {
        printf("module:%s set error, length is %zu, out of max length:%d\n", module.c_str(), len,
               LOG_MODULE_NAME_MAX);
        return true;
    }
    if (value != 0 && table.size() >= LOG_MODULES_MAX) {
        printf("module:%s set error, module_list map has number:%zu\n", module.c_str(), table.size());
        return false;
    }
    if (value == 0)
        table.erase(module);
    else
        table[module] = static_cast<int>(value);
    note_table_size(table);
    return true;
}

// Writes the names in table order, joined by "|"; returns how many there are.
// Called with the table locked.
int write_module_list(const ModuleTable& table, char* out) {
    if (table.empty()) return 0;
    char text[LOG_COMMAND_SIZE] = {0};
    size_t used = 0;
    for (const auto& entry : table) {
        const char* sep = used == 0 ? "" : "|";
        const int n = snprintf(text + used, sizeof text - used, "%s%s", sep, entry.first.c_str());
        if (n < 0) break;
        used += static_cast<size_t>(n);
        if (used >= sizeof text - 1) break;
    }
    memcpy(out, text, sizeof text);
    return static_cast<int>(table.size());
}

}  // namespace

size_t g_log_module_count = 0;

extern "C" {

int vetu_log_getLevel(const char* module) {
    if (module == nullptr || log_table_is_empty()) return LOG_LEVEL_ERROR;
    try {
        ScopedLock lock(&g_table_mutex);
        const auto& table = module_table();
        const auto it = table.find(std::string_view(module));
        if (it == table.end()) return LOG_LEVEL_ERROR;
        return level_of_stored_value(it->second);
    } catch (...) {
        return LOG_LEVEL_ERROR;
    }
}

int insert_modules_list(const char* list, unsigned int value) {
    if (list == nullptr) return VETU_LOG_REFUSED;
    char work[LOG_COMMAND_SIZE] = {0};
    strncpy(work, list, LOG_COMMAND_SIZE - 1);

    try {
        ScopedLock lock(&g_table_mutex);
        auto& table = module_table();
        const char* piece = work;
        while (*piece != '\0') {
            const size_t len = strcspn(piece, "|");
            if (len > 0 && !apply_module_name(table, piece, len, value)) return 0;
            piece += len;
            if (*piece == '|') ++piece;
        }
        return 0;
    } catch (...) {
        // Memory ran out: the names before this one are applied.
        return VETU_ERR_NO_MEMORY;
    }
}

int clear_modules_list(void) {
    try {
        ScopedLock lock(&g_table_mutex);
        module_table().clear();
        note_table_size(module_table());
    } catch (...) {
    }
    return 0;
}

int get_modules_list(char* out) {
    if (out == nullptr) return VETU_LOG_REFUSED;
    try {
        ScopedLock lock(&g_table_mutex);
        return write_module_list(module_table(), out);
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
