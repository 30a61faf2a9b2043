/*
 * The status codes of libhbbtv_hac: every function of the library returns
 * one of them (the log functions their own few, see vetu_log.h).
 */
#ifndef VETU_STATUS_H
#define VETU_STATUS_H

#ifdef __cplusplus
extern "C" {
#endif

typedef enum VetuStatus {
    VETU_OK = 0,
    /* a payload over IPC_MAX_PAYLOAD, a failed transfer or receive, or (a
     * query) no usable reply */
    VETU_ERR_FAILED = -1,
    /* a bad argument, an endpoint or half not created, a queue not available
     * (the peer has not created it yet), or an endpoint without reply queue */
    VETU_ERR_REFUSED = -3,
    VETU_ERR_NO_MEMORY = -4,
    /* a thread of the library could not be started */
    VETU_ERR_NO_THREAD = -5,
    /* a query's time limit passed (Vetu_HAC_Client_SetQueryTimeout) */
    VETU_ERR_TIMED_OUT = -6
} VetuStatus;

#ifdef __cplusplus
}
#endif

#endif /* VETU_STATUS_H */
