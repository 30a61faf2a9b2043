/*
 * Logging of libhbbtv_hac: typed, coloured lines on standard output with a
 * level per module, and an optional control thread through which a tool on
 * 127.0.0.1 port 54321 lists and changes the module levels at run time.
 *
 * A module absent from the table logs at the error level: only
 * LOG_TYPE_ERROR lines are printed until a module is raised to info.
 */
#ifndef VETU_LOG_H
#define VETU_LOG_H

#ifdef __cplusplus
extern "C" {
#endif

#ifndef VETU_EXPORT
#define VETU_EXPORT __attribute__((visibility("default")))
#endif

typedef enum LogType {
    LOG_TYPE_ENTER = 0,   /* function entry, info level */
    LOG_TYPE_LEAVE = 1,   /* function exit, info level */
    LOG_TYPE_ERROR = 2,   /* failure at a source line, error and info level */
    LOG_TYPE_INT = 3,     /* a named int, value points at an int */
    LOG_TYPE_STRING = 4,  /* a named string, value points at a C string */
    LOG_TYPE_MAX = 5
} LogType;

typedef enum LogLevel {
    LOG_LEVEL_NONE = 0,
    LOG_LEVEL_ERROR = 1,
    LOG_LEVEL_INFO = 2
} LogLevel;

/* Limits of the module table. */
#define LOG_MODULE_NAME_MAX 32
#define LOG_MODULES_MAX 20
/* Size of a control command and of a module list text. */
#define LOG_COMMAND_SIZE 1025
/* Port of the control tool on 127.0.0.1. */
#define LOG_CONTROL_PORT 54321
/* Command that empties the module table. "CLIEAR" is misspelt on purpose:
 * this is the text on the wire, which every control tool in the field sends;
 * spelling it right would leave their clear commands applied as a module
 * list instead. */
#define LOG_CLEAR_KEYWORD "__CLIEAR_LOG_MODULES__"

VETU_EXPORT int vetu_log_getLevel(const char* module);
VETU_EXPORT void vetu_log_print(int type, const char* module, const char* file, const char* function, int line,
                                const char* name, const void* value);
VETU_EXPORT void vetu_log(const char* module, const char* file, const char* function, int line, const char* format,
                          ...) __attribute__((format(printf, 5, 6)));

/* What the log functions that return a status give for a bad mode or a
 * null module list; insert_modules_list gives VETU_ERR_NO_MEMORY
 * (vetu_status.h) when memory runs out, with the names before the failure
 * applied. */
#define VETU_LOG_REFUSED (-1)

/* Module table. */
VETU_EXPORT int insert_modules_list(const char* list, unsigned int value);
VETU_EXPORT int clear_modules_list(void);
VETU_EXPORT int get_modules_list(char* out);

/* Mode 1 starts the control thread; mode 0 does nothing. */
VETU_EXPORT int vetu_log_initialize(int mode);
VETU_EXPORT int vetu_log_finalize(int mode);

/* The last command datagram received by the control thread. */
VETU_EXPORT extern char g_modules_info[LOG_COMMAND_SIZE];

#ifdef __cplusplus
}
#endif

#endif /* VETU_LOG_H */
