/*
 * The receivers of the two HAC halves: the callbacks their server endpoints
 * call for every payload. Private to the library; the fuzz targets call them
 * directly.
 */
#ifndef HAC_PRIVATE_HALVES_H
#define HAC_PRIVATE_HALVES_H

#include "vetu_ipc.h"

/* The client's event receiver on the notification queue: calls the
 * registered event callback; never answers (returns null). */
IpcData* ipc_callback(const IpcData* payload, void* user_data);

/* The server's request dispatcher on the request queue: calls the member of
 * the browser's table that serves the request; returns the reply of a
 * query, else null. The reply is lent (IPC_ANSWERS_LENT): its text is in
 * the calling thread's buffer, valid until the thread writes again; the
 * receive thread sends it and frees nothing. */
IpcData* server_ipc_callback(const IpcData* payload, void* user_data);

#endif /* HAC_PRIVATE_HALVES_H */
