/*
 * Public interface of the HAC channel between the application manager
 * (HAC client, Vetu_HAC_Client_*) and the browser (HAC server,
 * Vetu_HAC_Server_*). Both processes must be built against this same header.
 *
 * Status codes (VetuStatus, vetu_status.h): 0 success; -1 message over
 * 16384 bytes, failed transfer or receive, or (queries) no usable reply; -3
 * bad argument, half not initialised or the peer's queue not created yet;
 * -4 allocation failure; -5 a thread not started; -6 a query's time limit
 * passed. Out-parameters of queries are written only when 0 is returned.
 * No function throws: memory running out while a message is built or read
 * gives -4.
 */
#ifndef VETU_HAC_H
#define VETU_HAC_H

#include <string>
#include <vector>

#include "hac_message_type.h"
#include "vetu_status.h"
/* HBBTV_HAC_VERSION_* and vetu_hac_library_version(). */
#include "hbbtv_hac_version.h"

#ifndef VETU_EXPORT
#define VETU_EXPORT __attribute__((visibility("default")))
#endif

namespace Json {
class Value;
}

/* One HbbTV application. */
struct VetuAppIdentifier {
    int appid;
    int orgid;
};

/* The library carries enumeration values without interpreting them: any int
 * value, also one that names no enumerator, travels unchanged. */
enum VetuKey : int {
    VETU_KEY_UNKNOWN = 0,
    VETU_KEY_RED = 1,
    VETU_KEY_GREEN = 2,
    VETU_KEY_YELLOW = 3,
    VETU_KEY_BLUE = 4,
    VETU_KEY_UP = 5,
    VETU_KEY_DOWN = 6,
    VETU_KEY_LEFT = 7,
    VETU_KEY_RIGHT = 8,
    VETU_KEY_ENTER = 9,
    VETU_KEY_BACK = 10,
    VETU_KEY_0 = 11,
    VETU_KEY_1 = 12,
    VETU_KEY_2 = 13,
    VETU_KEY_3 = 14,
    VETU_KEY_4 = 15,
    VETU_KEY_5 = 16,
    VETU_KEY_6 = 17,
    VETU_KEY_7 = 18,
    VETU_KEY_8 = 19,
    VETU_KEY_9 = 20,
    VETU_KEY_PLAY = 21,
    VETU_KEY_PAUSE = 22,
    VETU_KEY_STOP = 23,
    VETU_KEY_FAST_FWD = 24,
    VETU_KEY_REWIND = 25,
    VETU_KEY_PAGE_UP = 26,
    VETU_KEY_PAGE_DOWN = 27,
    VETU_KEY_INFO = 28,
    VETU_KEY_TEXT = 29
};

enum VetuKeyEventType : int {
    VETU_KEY_EVENT_DOWN = 0,
    VETU_KEY_EVENT_UP = 1,
    VETU_KEY_EVENT_REPEAT = 2
};

/* Outcome of an AIT update in the browser (DVB and XML AIT alike). */
enum VetuAppManagerUpdateAITStatus : int {
    VETU_AIT_STATUS_OK = 0,
    VETU_AIT_STATUS_ERROR = 1,
    VETU_AIT_STATUS_NO_APPLICATION = 2,
    VETU_AIT_STATUS_UNCHANGED = 3
};

/* Where a broadcast-independent application comes from. */
enum VetuApplicationSource : int {
    VETU_APP_SOURCE_URL = 0,
    VETU_APP_SOURCE_XML_AIT = 1,
    VETU_APP_SOURCE_BROADCAST = 2
};

/* Kind of reset ordered by the application manager. */
enum VetuApmResetType : int {
    VETU_RESET_SERVICE_CHANGE = 0,
    VETU_RESET_CHANNEL_CHANGE = 1,
    VETU_RESET_STANDBY = 2,
    VETU_RESET_FULL = 3
};

/* Change of an application's state, reported by the browser. */
enum VetuAppManagerClientEvent : int {
    VETU_APP_EVENT_LOADED = 0,
    VETU_APP_EVENT_STARTED = 1,
    VETU_APP_EVENT_STOPPED = 2,
    VETU_APP_EVENT_LOAD_ERROR = 3,
    VETU_APP_EVENT_KILLED = 4
};

/* Client callbacks. They run on the client's receive thread, one at a time,
 * in arrival order; pointers handed to them are valid during the call only.
 * A callback may call commands and queries, the registration functions, and
 * Vetu_HAC_Client_Finalize (which then does not wait for the receive thread
 * running the callback: the thread ends once the callback returns). */
typedef void (*VetuAppStateCallback)(const VetuAppIdentifier* app, int state, const void* user_data);
typedef void (*VetuKeyEventCallback)(const VetuAppIdentifier* app, VetuKey key, VetuKeyEventType type, int keyid,
                                     bool consumed, const void* user_data);
typedef void (*VetuAitUpdateCallback)(VetuAppManagerUpdateAITStatus status, const void* user_data);

/* One transport-protocol entry of an AIT application record. */
struct TranProtocol {
    int pi = 0;      /* transport protocol identifier */
    std::string bu;  /* base URL */
    std::string ip;  /* initial path */
    int pp = 0;
};

/* One application of an AIT. trprn counts the entries of tranprotocols and
 * bn the strings of bd; a count of zero or below means no entries. Strings
 * are byte strings of any content. The record copies deeply. Default
 * construction zeroes every scalar, so a record nobody filled compares and
 * encodes the same way every time. */
struct VetuAITAppInfo {
    int appid = 0;
    int orgid = 0;
    int visib = 0;
    int prior = 0;
    int ctrco = 0;
    int ipflag = 0;
    int trprn = 0;
    std::vector<TranProtocol> tranprotocols;
    bool isb = false;
    int bn = 0;
    std::vector<std::string> bd;
    int lang = 0;
    unsigned char iso[3] = {0, 0, 0}; /* ISO 639 code, no terminator */
    std::string name;
    std::string iconloc;
    int iconflag = 0;
    int appuse = 0;
    int serid = 0;
    int aitver = 0;
    int apptype = 0;
    int profile = 0;
    int profileversion = 0;
};

/* The browser's table of request handlers. Members run on the server's
 * receive thread, one request at a time; any member may be null. Pointers and
 * references handed to them are valid during the call only. Out-values start
 * at 0 and become the reply. A member may send notifications, replace the
 * table (Vetu_HAC_Server_RegisterCallback, UnregisterCallback: the member
 * running goes on to its end) and call Vetu_HAC_Server_Finalize, which then
 * does not wait for the receive thread running the member. */
struct VetuHacServerCallback {
    void (*SendAitIDs)(int svrid, int aitver, bool hasait);
    void (*SendAitAppInfo)(int num, VetuAITAppInfo** apps);
    void (*StopApp)(const VetuAppIdentifier* app);
    void (*SendXmlAitUrl)(const std::string& xml, const std::string& ccid);
    void (*GetAppErrorCode)(const VetuAppIdentifier* app, int* errcode);
    void (*ShowTeleTextApp)(int enabled, int* teletext);
    void (*CreateBIApplication)(const std::string& url, VetuAppIdentifier* app, int src);
    void (*DestroyBIApplication)(const VetuAppIdentifier* app);
    void (*Reset)(int svrid, int type, int timeout);
    void (*GetVersion)(int* major, int* minor, int* number);
    void (*IsAppRunning)(int* isrunning);
};

/* ---- HAC client (application manager) ---- */

VETU_EXPORT int Vetu_HAC_Client_Initialize();
/* Stops the notification thread (its stop order, up to a second of waiting,
 * a second more while a callback runs, then cancellation; a callback still
 * running after that finishes on its own) and releases both endpoints. */
VETU_EXPORT int Vetu_HAC_Client_Finalize();

VETU_EXPORT int Vetu_HAC_Client_RegisterCallback(VetuAppStateCallback callback, const void* user_data);
VETU_EXPORT int Vetu_HAC_Client_UnregisterCallback();
VETU_EXPORT int Vetu_HAC_Client_RegisterKeyEventCallback(VetuKeyEventCallback callback, const void* user_data);
VETU_EXPORT int Vetu_HAC_Client_UnregisterKeyEventCallback();
VETU_EXPORT int Vetu_HAC_Client_RegisterDvbUpdateCallback(VetuAitUpdateCallback callback, const void* user_data);
VETU_EXPORT int Vetu_HAC_Client_UnregisterDvbUpdateCallback();
VETU_EXPORT int Vetu_HAC_Client_RegisterXmlUpdateCallback(VetuAitUpdateCallback callback, const void* user_data);
VETU_EXPORT int Vetu_HAC_Client_UnregisterXmlUpdateCallback();

/* Commands: one-way, 0 once the message is handed to the request queue.
 * SendAitAppInfo leaves a null record out ("num" still counts it) and fails
 * with -4 when memory does not suffice to encode a record. */
VETU_EXPORT int Vetu_HAC_Client_SendAitIDs(unsigned int svrid, unsigned int aitver, bool hasait);
VETU_EXPORT int Vetu_HAC_Client_SendAitAppInfo(int num, VetuAITAppInfo** apps);
VETU_EXPORT int Vetu_HAC_Client_StopApp(const VetuAppIdentifier* app);
VETU_EXPORT int Vetu_HAC_Client_SendXmlAitUrl(const char* xml, int xmllen, const char* ccid, int ccidlen);
VETU_EXPORT int Vetu_HAC_Client_SendKey(VetuKey key, VetuKeyEventType keytype, int keyid);
VETU_EXPORT int Vetu_HAC_Client_DestroyBIApplication(const VetuAppIdentifier* app);
VETU_EXPORT int Vetu_HAC_Client_Reset(int svrid, VetuApmResetType type, int timeout);

/* Sets the process's time limit, in milliseconds, for every command and
 * query from now on; 0, the default, waits without limit. A query that
 * reaches the limit returns VETU_ERR_TIMED_OUT (-6) after an error record,
 * leaving its out-parameters untouched; its request is taken back off the
 * request queue when the browser has not begun to take it (no browser
 * started later serves it), and its answer, should it come, is never taken
 * by another query. A command or query that waits for another thread's
 * query waits no longer than the limit either, and then returns -6 without
 * sending. The first query with a limit starts one thread of the library
 * that wakes queries at their deadline (-5 if it cannot be started); no
 * signal is sent to the host's threads. Returns 0, or -3 for a negative
 * value. */
VETU_EXPORT int Vetu_HAC_Client_SetQueryTimeout(int milliseconds);

/* Queries: wait for the browser's reply. */
VETU_EXPORT int Vetu_HAC_Client_GetAppErrorCode(const VetuAppIdentifier* app, int* out_err);
VETU_EXPORT int Vetu_HAC_Client_ShowTeleTextApp(int enabled, int* out_hasTeleText);
VETU_EXPORT int Vetu_HAC_Client_CreateBIApplication(const char* url, int urllen, VetuAppIdentifier* app,
                                                    VetuApplicationSource src);
VETU_EXPORT int Vetu_HAC_Client_GetVersion(int* major, int* minor, int* number);
VETU_EXPORT int Vetu_HAC_Client_IsAppRunning(int* isrunning);

/* ---- HAC server (browser) ---- */

VETU_EXPORT int Vetu_HAC_Server_Initialize();
/* Stops the request thread as Vetu_HAC_Client_Finalize stops the
 * notification thread; a request half received is answered first. */
VETU_EXPORT int Vetu_HAC_Server_Finalize();
VETU_EXPORT int Vetu_HAC_Server_RegisterCallback(VetuHacServerCallback callbacks, const void* user_data);
VETU_EXPORT int Vetu_HAC_Server_UnregisterCallback();

/* Notifications: one-way to the application manager. */
VETU_EXPORT int Vetu_HAC_Server_SendAppState(int appid, int orgid, VetuAppManagerClientEvent state);
VETU_EXPORT int Vetu_HAC_Server_UpdateDvbAitStatus(VetuAppManagerUpdateAITStatus status);
VETU_EXPORT int Vetu_HAC_Server_UpdateXmlAitStatus(VetuAppManagerUpdateAITStatus status);

/* ---- AIT application record codec ---- */

/* Most entries aitappinfo_unpacket decodes into each of tranprotocols and
 * bd. A record document travels inside one HAC message of at most 16384
 * bytes, and any member of an entry takes at least 8 bytes of its text
 * ("pi0":0 and a separator), so no document within that limit holds members
 * of more entries than this. The encoder's styled text takes about 54 bytes
 * per transport-protocol entry and 15 per boundary (at most 284 entries or
 * 1072 boundaries fit), so every document it can produce within the limit
 * decodes in full. The bound keeps a forged count (2147483647) from
 * allocating without end: a decode stays within a few hundred KiB. */
#define VETU_AIT_MAX_DECODED_ENTRIES 2048

/* Encodes *info as its record document text into out (replaced whole).
 * Returns 0; -3 with out unchanged when info is null; -4 with out unchanged
 * when memory runs out.
 * A trprn or bn above the size of its vector (a caller's mistake) is clamped
 * to that size: the count written is the number of entries written, so the
 * document stays consistent and the record still reaches the browser. Refusing
 * it instead would make the client leave the record out of message 102, and
 * the server drops such a message whole, losing every other application of
 * the AIT for one miscounted field. Counts of zero or below are written
 * unchanged, with no entries. */
VETU_EXPORT int aitappinfo_packet(const VetuAITAppInfo* info, std::string& out);

/* Decodes the record document root into *info: every scalar and string is
 * assigned, the decoded entries are appended to tranprotocols and bd.
 * Absent members read as 0, false or "". A count above
 * VETU_AIT_MAX_DECODED_ENTRIES decodes that many entries and is stored as
 * that many, so a count never exceeds what was decoded; other counts are
 * stored unchanged (zero or below: no entries).
 * Returns 0 on success; -3 when info is null (after logging an error line
 * under the module "hac_server"); -1 for a document outside the protocol:
 * a root that is neither an object nor null, or a member that jsoncpp
 * refuses to convert (a string or object where an integer is due, an
 * integer outside int, an object or array where a string is due); -4 when
 * memory runs out. On -1 and -4 *info is left unchanged. Never throws.
 * Include <json/json.h> to call it. */
VETU_EXPORT int aitappinfo_unpacket(Json::Value root, VetuAITAppInfo* info);

#endif /* VETU_HAC_H */
