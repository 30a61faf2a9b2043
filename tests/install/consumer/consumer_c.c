/* The transport and log headers serve C callers as well. */
#include <vetu_ipc.h>
#include <vetu_log.h>

int consumer_c_checks(void) {
    IpcClient* client = 0;
    if (vetu_log_getLevel("consumer") != LOG_LEVEL_ERROR) return 1;
    /* A client endpoint opens no queue until it sends: no queue is made. */
    if (vetu_ipc_client_create(0x4841430a, 1, 1, 1024, &client) != 0 || !client) return 2;
    if (vetu_ipc_client_destroy(client) != 0) return 3;
    return 0;
}
