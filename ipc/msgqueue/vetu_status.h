/*
 * The status codes of libhbbtv_hac: every function of the library returns
 * one of them (the log functions their own few, see vetu_log.h), and
 * vetu_status_text gives a short text for each.
 */
#ifndef VETU_STATUS_H
#define VETU_STATUS_H

#ifdef __cplusplus
extern "C" {
#endif

#ifndef VETU_EXPORT
#define VETU_EXPORT __attribute__((visibility("default")))
#endif

/* One list of the codes, their values and their texts: the enumeration and
 * vetu_status_text are both made from it. -2 was never used. */
#define VETU_STATUS_LIST(X)                                                                            \
    X(VETU_OK, 0, "ok")                                                                                \
    /* a payload over IPC_MAX_PAYLOAD, a failed transfer or receive, or (a query) no usable reply */   \
    X(VETU_ERR_FAILED, -1, "failed: the transfer failed or no usable answer came")                    \
    /* a bad argument, an endpoint or half not created, a queue not available (the peer has not       \
     * created it yet, or this user may not use it), or an endpoint without reply queue */            \
    X(VETU_ERR_REFUSED, -3, "refused: bad argument, not initialised, or a queue not available")       \
    X(VETU_ERR_NO_MEMORY, -4, "out of memory")                                                         \
    /* a thread of the library could not be started */                                                \
    X(VETU_ERR_NO_THREAD, -5, "a thread of the library could not be started")                         \
    /* a query's time limit passed (Vetu_HAC_Client_SetQueryTimeout) */                                \
    X(VETU_ERR_TIMED_OUT, -6, "timed out: the time limit passed")

#define VETU_STATUS_ENUMERATOR(name, value, text) name = value,
typedef enum VetuStatus { VETU_STATUS_LIST(VETU_STATUS_ENUMERATOR) } VetuStatus;
#undef VETU_STATUS_ENUMERATOR

/* A short text for a status code ("ok", "out of memory" ...); "unknown
 * status" for a value that is none of them. Never null. */
VETU_EXPORT const char* vetu_status_text(int status);

#ifdef __cplusplus
}
#endif

#endif /* VETU_STATUS_H */
