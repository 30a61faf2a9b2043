/*
 * The catalogue of the HAC channel, written once: for every message type its
 * name, direction, mode and members (in the order the sender writes them,
 * with their JSON kinds), and the members of the AIT application record's
 * document with the fields they carry. Both halves, the record codec, the
 * hac tool and the tests take the member names from here.
 *
 * Header only: constant tables, nothing the library exports.
 */
#ifndef HAC_CATALOGUE_H
#define HAC_CATALOGUE_H

#include <stddef.h>

#include <string>

#include "hac_message_type.h"
#include "vetu_hac.h"

enum HacDirection {
    HAC_TO_BROWSER, /* application manager to browser, on the request queue */
    HAC_TO_MANAGER  /* browser to application manager: replies, notifications */
};

enum HacMode {
    HAC_ONE_WAY, /* a command or a notification: nothing is answered */
    HAC_QUERY,   /* a request; its reply has the type one higher */
    HAC_REPLY    /* the reply to the query of the type one lower */
};

/* JSON kinds of the members. "t" is always written unsigned. */
enum HacKind {
    HAC_INT,   /* a signed integer */
    HAC_UINT,  /* an unsigned integer, read back with its bits */
    HAC_STRING /* a string of any bytes */
};

struct HacMember {
    const char* name;
    HacKind kind;
    /* The receiver reads the member and passes it on; a member it carries
     * only ("xmllen", "ccidlen", "urllen") is written and never read. */
    bool read;
};

#define HAC_MAX_MEMBERS 6

struct HacMessage {
    unsigned int type;
    const char* name; /* the sending function's name, or the event's */
    HacDirection direction;
    HacMode mode;
    int count; /* of members */
    HacMember members[HAC_MAX_MEMBERS];
};

/* Message 102 carries, besides "num", one member per AIT record: this stem
 * and the record's index in decimal ("ai0", "ai11"), a string holding the
 * record's document. */
#define HAC_RECORD_MEMBER_STEM "ai"

inline constexpr HacMessage kHacMessages[] = {
    {HAC_MSG_SEND_AIT_IDS, "SendAitIDs", HAC_TO_BROWSER, HAC_ONE_WAY, 3,
     {{"svrid", HAC_UINT, true}, {"aitver", HAC_UINT, true}, {"hasait", HAC_INT, true}}},
    {HAC_MSG_SEND_AIT_APP_INFO, "SendAitAppInfo", HAC_TO_BROWSER, HAC_ONE_WAY, 1, {{"num", HAC_INT, true}}},
    {HAC_MSG_STOP_APP, "StopApp", HAC_TO_BROWSER, HAC_ONE_WAY, 2, {{"appid", HAC_INT, true}, {"orgid", HAC_INT, true}}},
    {HAC_MSG_SEND_XML_AIT_URL, "SendXmlAitUrl", HAC_TO_BROWSER, HAC_ONE_WAY, 4,
     {{"xml", HAC_STRING, true}, {"xmllen", HAC_INT, false}, {"ccid", HAC_STRING, true}, {"ccidlen", HAC_INT, false}}},
    {HAC_MSG_SEND_KEY, "SendKey", HAC_TO_BROWSER, HAC_ONE_WAY, 3,
     {{"key", HAC_INT, true}, {"keytype", HAC_INT, true}, {"keyid", HAC_INT, true}}},
    {HAC_MSG_GET_APP_ERROR_CODE, "GetAppErrorCode", HAC_TO_BROWSER, HAC_QUERY, 2,
     {{"appid", HAC_INT, true}, {"orgid", HAC_INT, true}}},
    {HAC_MSG_GET_APP_ERROR_CODE_REPLY, "GetAppErrorCodeReply", HAC_TO_MANAGER, HAC_REPLY, 1,
     {{"errcode", HAC_INT, true}}},
    {HAC_MSG_SHOW_TELETEXT_APP, "ShowTeleTextApp", HAC_TO_BROWSER, HAC_QUERY, 1, {{"enabled", HAC_INT, true}}},
    {HAC_MSG_SHOW_TELETEXT_APP_REPLY, "ShowTeleTextAppReply", HAC_TO_MANAGER, HAC_REPLY, 1,
     {{"teletext", HAC_INT, true}}},
    {HAC_MSG_CREATE_BI_APPLICATION, "CreateBIApplication", HAC_TO_BROWSER, HAC_QUERY, 3,
     {{"url", HAC_STRING, true}, {"urllen", HAC_INT, false}, {"src", HAC_INT, true}}},
    {HAC_MSG_CREATE_BI_APPLICATION_REPLY, "CreateBIApplicationReply", HAC_TO_MANAGER, HAC_REPLY, 2,
     {{"appid", HAC_INT, true}, {"orgid", HAC_INT, true}}},
    {HAC_MSG_DESTROY_BI_APPLICATION, "DestroyBIApplication", HAC_TO_BROWSER, HAC_ONE_WAY, 2,
     {{"appid", HAC_INT, true}, {"orgid", HAC_INT, true}}},
    {HAC_MSG_RESET, "Reset", HAC_TO_BROWSER, HAC_ONE_WAY, 3,
     {{"svrid", HAC_INT, true}, {"type", HAC_INT, true}, {"timeout", HAC_INT, true}}},
    {HAC_MSG_GET_VERSION, "GetVersion", HAC_TO_BROWSER, HAC_QUERY, 0, {}},
    {HAC_MSG_GET_VERSION_REPLY, "GetVersionReply", HAC_TO_MANAGER, HAC_REPLY, 3,
     {{"major", HAC_INT, true}, {"minor", HAC_INT, true}, {"number", HAC_INT, true}}},
    {HAC_MSG_IS_APP_RUNNING, "IsAppRunning", HAC_TO_BROWSER, HAC_QUERY, 0, {}},
    {HAC_MSG_IS_APP_RUNNING_REPLY, "IsAppRunningReply", HAC_TO_MANAGER, HAC_REPLY, 1, {{"isrunning", HAC_INT, true}}},
    {HAC_MSG_KEY_EVENT, "KeyEvent", HAC_TO_MANAGER, HAC_ONE_WAY, 6,
     {{"appid", HAC_INT, true},
      {"orgid", HAC_INT, true},
      {"key", HAC_INT, true},
      {"type", HAC_INT, true},
      {"keyid", HAC_INT, true},
      {"consum", HAC_INT, true}}},
    {HAC_MSG_APP_STATE, "AppState", HAC_TO_MANAGER, HAC_ONE_WAY, 3,
     {{"appid", HAC_INT, true}, {"orgid", HAC_INT, true}, {"state", HAC_INT, true}}},
    {HAC_MSG_DVB_AIT_STATUS, "DvbAitStatus", HAC_TO_MANAGER, HAC_ONE_WAY, 1, {{"status", HAC_INT, true}}},
    {HAC_MSG_XML_AIT_STATUS, "XmlAitStatus", HAC_TO_MANAGER, HAC_ONE_WAY, 1, {{"status", HAC_INT, true}}},
};

/* Every type of the catalogue lies in this range. */
#define HAC_FIRST_MESSAGE_TYPE HAC_MSG_SEND_AIT_IDS
#define HAC_LAST_MESSAGE_TYPE HAC_MSG_XML_AIT_STATUS

/* Where each type's entry is in kHacMessages, -1 for a type it has not:
 * every message is looked up several times on its way, so by index rather
 * than by a search of the table. Made by the compiler, which refuses a
 * type outside the range. */
struct HacMessageIndex {
    signed char at[HAC_LAST_MESSAGE_TYPE - HAC_FIRST_MESSAGE_TYPE + 1];
};

constexpr HacMessageIndex hac_index_messages() {
    HacMessageIndex index{};
    for (signed char& at : index.at) at = -1;
    for (size_t i = 0; i < sizeof kHacMessages / sizeof kHacMessages[0]; ++i)
        index.at[kHacMessages[i].type - HAC_FIRST_MESSAGE_TYPE] = static_cast<signed char>(i);
    return index;
}

inline constexpr HacMessageIndex kHacMessageIndex = hac_index_messages();

/* The catalogue's entry for a message type; null for a type it has not
 * (108, anything outside 101 to 122). */
inline const HacMessage* hac_message(long type) {
    if (type < HAC_FIRST_MESSAGE_TYPE || type > HAC_LAST_MESSAGE_TYPE) return nullptr;
    const int at = kHacMessageIndex.at[type - HAC_FIRST_MESSAGE_TYPE];
    return at < 0 ? nullptr : &kHacMessages[at];
}

/* ---- the AIT application record's document ---- */

/* An int field and the member that carries it. */
struct HacRecordInt {
    const char* name;
    int VetuAITAppInfo::*field;
};
/* A string field and the member that carries it. */
struct HacRecordString {
    const char* name;
    std::string VetuAITAppInfo::*field;
};
/* The fields of a transport-protocol entry: stems that take the entry's
 * index in decimal ("pi0", "bu11"). */
struct HacEntryInt {
    const char* stem;
    int TranProtocol::*field;
};
struct HacEntryString {
    const char* stem;
    std::string TranProtocol::*field;
};

/* The document's first member, always 1 and never read. */
#define HAC_RECORD_TYPE_MEMBER "t"

inline constexpr HacRecordInt kHacRecordInts[] = {
    {"appid", &VetuAITAppInfo::appid},       {"orgid", &VetuAITAppInfo::orgid},     {"visib", &VetuAITAppInfo::visib},
    {"prior", &VetuAITAppInfo::prior},       {"ctrco", &VetuAITAppInfo::ctrco},     {"ipflag", &VetuAITAppInfo::ipflag},
    {"lang", &VetuAITAppInfo::lang},         {"iconflag", &VetuAITAppInfo::iconflag},
    {"appuse", &VetuAITAppInfo::appuse},     {"serid", &VetuAITAppInfo::serid},
    {"aitver", &VetuAITAppInfo::aitver},     {"apptype", &VetuAITAppInfo::apptype},
    {"profile", &VetuAITAppInfo::profile},   {"profileversion", &VetuAITAppInfo::profileversion},
};
inline constexpr HacRecordString kHacRecordStrings[] = {
    {"name", &VetuAITAppInfo::name},
    {"iconloc", &VetuAITAppInfo::iconloc},
};
/* "isb": the service-bound flag, 1 or 0; any non-zero value reads true. */
#define HAC_RECORD_SERVICE_BOUND "isb"
/* "iso0" to "iso2": the three bytes of iso, as values 0 to 255. */
#define HAC_RECORD_ISO_STEM "iso"

/* trprn counts the transport-protocol entries, each written as these four
 * members with its index. */
#define HAC_RECORD_TRANSPORT_COUNT "trprn"
inline constexpr HacEntryInt kHacTransportInts[] = {{"pi", &TranProtocol::pi}, {"pp", &TranProtocol::pp}};
inline constexpr HacEntryString kHacTransportStrings[] = {{"bu", &TranProtocol::bu}, {"ip", &TranProtocol::ip}};
/* bn counts the boundaries, each a string member "bd" with its index. */
#define HAC_RECORD_BOUNDARY_COUNT "bn"
#define HAC_RECORD_BOUNDARY_STEM "bd"

#endif /* HAC_CATALOGUE_H */
