/*
 * What the log's output asks of its module table without a call: whether it
 * lists any module. Private to the library.
 */
#ifndef HAC_PRIVATE_LOG_TABLE_H
#define HAC_PRIVATE_LOG_TABLE_H

#include <stddef.h>

/* How many modules the table lists: stored after every change under the
 * table's lock, read without it. A reader that races a change sees the
 * table before or after it, as it would under the lock. */
extern size_t g_log_module_count;

/* With no module listed (the default) every module logs at the error level. */
inline bool log_table_is_empty() { return __atomic_load_n(&g_log_module_count, __ATOMIC_ACQUIRE) == 0; }

#endif /* HAC_PRIVATE_LOG_TABLE_H */
