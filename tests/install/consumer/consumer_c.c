/* The transport and log headers and the version function serve C callers as
 * well. Built with HAC_CONSUMER_C_MAIN it is a C program of its own, which
 * shows that a C link gets everything the library needs. */
#include <vetu_ipc.h>
#include <vetu_log.h>
#include <hbbtv_hac/hbbtv_hac_version.h>

#include <stdio.h>
#include <string.h>

int consumer_c_checks(void) {
    IpcClient* client = 0;
    if (vetu_log_getLevel("consumer") != LOG_LEVEL_ERROR) return 1;
    /* A client endpoint opens no queue until it sends: no queue is made. */
    if (vetu_ipc_client_create(0x4841430a, 1, 1, 1024, &client) != 0 || !client) return 2;
    if (vetu_ipc_client_destroy(client) != 0) return 3;
    if (strcmp(vetu_hac_library_version(), HBBTV_HAC_VERSION_STRING) != 0) return 4;
    return 0;
}

#ifdef HAC_CONSUMER_C_MAIN
int main(void) {
    int rc = consumer_c_checks();
    printf("hac_consumer_c: %s (%d)\n", rc == 0 ? "ok" : "failed", rc);
    return rc;
}
#endif
