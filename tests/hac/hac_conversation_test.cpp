// The whole conversation between two processes on the real HAC queues: this
// process plays one half, the peer executable the other.
#include <climits>
#include <mutex>

#include "hac_fixture.h"

namespace hac_test {
namespace {

const int kCallFromCallback = 1000;  // as in the peer

// What the application-state callback of this process saw.
std::mutex g_seen_mutex;
std::vector<std::vector<int>> g_app_states;

void record_app_state(const VetuAppIdentifier* app, int state, const void*) {
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    g_app_states.push_back({app->appid, app->orgid, state});
}

void forget_app_states() {
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    g_app_states.clear();
}

size_t app_states_seen() {
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    return g_app_states.size();
}

VetuAITAppInfo sample_record(int n) {
    VetuAITAppInfo app;
    app.appid = n;
    app.orgid = -n;
    app.trprn = 1;
    app.tranprotocols.push_back(TranProtocol{3, "http://b/" + std::to_string(n), "i.html", 7});
    app.bn = 1;
    app.bd.push_back("bd" + std::to_string(n));
    app.iso[0] = 200;
    app.name = "app" + std::to_string(n);
    return app;
}

Json::Value docs_of(std::vector<VetuAITAppInfo*> apps) {
    Json::Value docs(Json::arrayValue);
    for (VetuAITAppInfo* app : apps) {
        std::string document;
        aitappinfo_packet(app, document);
        docs.append(hex(document));
    }
    return docs;
}

using Conversation = HacQueues;

TEST_F(Conversation, EveryCommandReachesItsBrowserMember) {
    PeerHalf browser({"browser"});
    EXPECT_EQ(browser.next()["threads_added"].asInt(), 0);  // by the server's second Initialize
    forget_app_states();
    Vetu_HAC_Client_RegisterCallback(record_app_state, nullptr);
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);

    // Unsigned values beyond int keep their bits in the member's int.
    EXPECT_EQ(Vetu_HAC_Client_SendAitIDs(0x80000000u, 0xFFFFFFFFu, true), 0);
    Json::Value r = browser.next();
    EXPECT_EQ(r["m"], "SendAitIDs");
    EXPECT_EQ(r["svrid"].asInt(), INT_MIN);
    EXPECT_EQ(r["aitver"].asInt(), -1);
    EXPECT_TRUE(r["hasait"].asBool());

    std::vector<VetuAITAppInfo> records;
    for (int i = 0; i < 12; ++i) records.push_back(sample_record(i));
    std::vector<VetuAITAppInfo*> apps;
    for (VetuAITAppInfo& app : records) apps.push_back(&app);
    EXPECT_EQ(Vetu_HAC_Client_SendAitAppInfo(12, apps.data()), 0);
    r = browser.next();
    EXPECT_EQ(r["num"].asInt(), 12);
    EXPECT_EQ(r["docs"], docs_of(apps));

    // A key reaches the dispatcher and calls nothing: the next report is
    // the next command's.
    EXPECT_EQ(Vetu_HAC_Client_SendKey(VETU_KEY_RED, VETU_KEY_EVENT_DOWN, 4), 0);
    const VetuAppIdentifier app = {5, 7};
    EXPECT_EQ(Vetu_HAC_Client_StopApp(&app), 0);
    r = browser.next();
    EXPECT_EQ(one_line(r), R"({"appid":5,"m":"StopApp","notify":0,"orgid":7})");
    // The member's own notification reaches this process's callback.
    ASSERT_TRUE(wait_until([] { return app_states_seen() == 1; }));
    EXPECT_EQ(g_app_states[0], (std::vector<int>{5, 7, VETU_APP_EVENT_STOPPED}));

    EXPECT_EQ(Vetu_HAC_Client_SendXmlAitUrl("<ait/>", 99, "cc1", 0), 0);
    EXPECT_EQ(one_line(browser.next()), R"({"ccid":"cc1","m":"SendXmlAitUrl","xml":"<ait/>"})");
    EXPECT_EQ(Vetu_HAC_Client_DestroyBIApplication(&app), 0);
    EXPECT_EQ(one_line(browser.next()), R"({"appid":5,"m":"DestroyBIApplication","orgid":7})");
    EXPECT_EQ(Vetu_HAC_Client_Reset(-1, static_cast<VetuApmResetType>(-2), -3), 0);
    EXPECT_EQ(one_line(browser.next()), R"({"m":"Reset","svrid":-1,"timeout":-3,"type":-2})");

    EXPECT_EQ(browser.stop(), 0);
    EXPECT_EQ(browser.lines().size(), browser.reports().size()) << "the server half logged";
}

TEST_F(Conversation, EveryQueryReturnsTheBrowsersReply) {
    PeerHalf browser({"browser"});
    browser.next();
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    int v[3] = {0, 0, 0};
    const VetuAppIdentifier app = {40, 2};
    EXPECT_EQ(Vetu_HAC_Client_GetAppErrorCode(&app, &v[0]), 0);
    EXPECT_EQ(v[0], 42);
    EXPECT_EQ(one_line(browser.next()), R"({"appid":40,"in":0,"m":"GetAppErrorCode","orgid":2})");
    EXPECT_EQ(Vetu_HAC_Client_ShowTeleTextApp(-4, &v[0]), 0);
    EXPECT_EQ(v[0], -8);
    EXPECT_EQ(one_line(browser.next()), R"({"enabled":-4,"in":0,"m":"ShowTeleTextApp"})");
    VetuAppIdentifier created = {-1, -1};
    EXPECT_EQ(Vetu_HAC_Client_CreateBIApplication("http://a/b", 3, &created, VETU_APP_SOURCE_BROADCAST), 0);
    EXPECT_EQ(created.appid, 10);
    EXPECT_EQ(created.orgid, VETU_APP_SOURCE_BROADCAST);
    EXPECT_EQ(one_line(browser.next()),
              R"({"appid":0,"m":"CreateBIApplication","orgid":0,"src":2,"url":"http://a/b"})");
    EXPECT_EQ(Vetu_HAC_Client_GetVersion(&v[0], &v[1], &v[2]), 0);
    EXPECT_EQ(std::vector<int>(v, v + 3), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(browser.next()["in"].asInt(), 0);
    EXPECT_EQ(Vetu_HAC_Client_IsAppRunning(&v[0]), 0);
    EXPECT_EQ(v[0], 1);
    EXPECT_EQ(browser.next()["in"].asInt(), 0);
    EXPECT_EQ(browser.stop(), 0);
}

TEST_F(Conversation, QueriesWithoutATableAreAnsweredWithZeros) {
    PeerHalf browser({"browser", "unregistered"});
    browser.next();
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    int v[3] = {9, 9, 9};
    EXPECT_EQ(Vetu_HAC_Client_GetVersion(&v[0], &v[1], &v[2]), 0);
    EXPECT_EQ(std::vector<int>(v, v + 3), (std::vector<int>{0, 0, 0}));
    VetuAppIdentifier created = {9, 9};
    EXPECT_EQ(Vetu_HAC_Client_CreateBIApplication("u", 1, &created, VETU_APP_SOURCE_URL), 0);
    EXPECT_EQ(created.appid + created.orgid, 0);
    EXPECT_EQ(browser.stop(), 0);
}

TEST_F(Conversation, AitRecordsCrossByteForByte) {
    PeerHalf browser({"browser"});
    browser.next();
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    std::string every_byte;
    for (int c = 1; c < 256; ++c) every_byte += static_cast<char>(c);
    VetuAITAppInfo odd = sample_record(1);
    odd.name = every_byte;
    odd.iconloc = "caf\xe9 \xc3\x28 \xff\xfe";
    odd.bd[0] = std::string("a\0b\0", 4);
    odd.tranprotocols[0].bu = std::string("\0", 1) + every_byte;
    VetuAITAppInfo plain = sample_record(2);
    VetuAITAppInfo* apps[] = {&odd, &plain};
    EXPECT_EQ(Vetu_HAC_Client_SendAitAppInfo(2, apps), 0);
    Json::Value r = browser.next();
    EXPECT_EQ(r["docs"], docs_of({&odd, &plain}));
    EXPECT_EQ(r["strings"][0], record_strings(odd));

    // A record left out (null pointer) makes the browser drop the message
    // whole; the next report is the next message's.
    VetuAITAppInfo* with_gap[] = {&plain, nullptr, &plain};
    EXPECT_EQ(Vetu_HAC_Client_SendAitAppInfo(3, with_gap), 0);
    EXPECT_EQ(Vetu_HAC_Client_SendAitAppInfo(1, apps + 1), 0);
    EXPECT_EQ(browser.next()["num"].asInt(), 1);
    EXPECT_EQ(browser.stop(), 0);
}

TEST_F(Conversation, ClientStartsBeforeBrowserAndKeepsCallbacksOverFinalize) {
    forget_app_states();
    Vetu_HAC_Client_RegisterCallback(record_app_state, nullptr);
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    const VetuAppIdentifier app = {1, 2};
    int v = 0;
    EXPECT_EQ(Vetu_HAC_Client_StopApp(&app), -3);  // no request queue yet
    EXPECT_EQ(Vetu_HAC_Client_IsAppRunning(&v), -3);

    PeerHalf browser({"browser"});
    browser.next();
    EXPECT_EQ(Vetu_HAC_Client_StopApp(&app), 0);
    browser.next();
    ASSERT_TRUE(wait_until([] { return app_states_seen() == 1; }));
    EXPECT_EQ(Vetu_HAC_Client_Finalize(), 0);
    EXPECT_EQ(Vetu_HAC_Client_StopApp(&app), -3);
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    EXPECT_EQ(Vetu_HAC_Client_StopApp(&app), 0);
    EXPECT_EQ(browser.next()["notify"].asInt(), 0);
    EXPECT_TRUE(wait_until([] { return app_states_seen() == 2; }));
    EXPECT_EQ(browser.stop(), 0);
}

// The table of this process when it plays the browser.
std::mutex g_stops_mutex;
int g_stops = 0;
void count_stop(const VetuAppIdentifier*) {
    std::lock_guard<std::mutex> lock(g_stops_mutex);
    ++g_stops;
}
void give_version(int* major, int* minor, int* number) {
    *major = 7;
    *minor = 8;
    *number = 9;
}

TEST_F(Conversation, NotificationsReachTheClientsCallbacks) {
    EXPECT_EQ(Vetu_HAC_Server_SendAppState(1, 2, VETU_APP_EVENT_STARTED), -3);  // not initialised
    VetuHacServerCallback table = {};
    table.StopApp = count_stop;
    table.GetVersion = give_version;
    Vetu_HAC_Server_RegisterCallback(table, nullptr);
    ASSERT_EQ(Vetu_HAC_Server_Initialize(), 0);
    EXPECT_EQ(Vetu_HAC_Server_UpdateDvbAitStatus(VETU_AIT_STATUS_OK), -3);  // no notification queue yet

    PeerHalf appmgr({"appmgr"});
    EXPECT_EQ(appmgr.next()["threads_added"].asInt(), 0);  // by the client's second Initialize
    EXPECT_EQ(Vetu_HAC_Server_SendAppState(5, 7, static_cast<VetuAppManagerClientEvent>(-4)), 0);
    EXPECT_EQ(one_line(appmgr.next()), R"({"appid":5,"m":"AppState","orgid":7,"state":-4,"ud":true})");
    EXPECT_EQ(Vetu_HAC_Server_UpdateDvbAitStatus(static_cast<VetuAppManagerUpdateAITStatus>(-2)), 0);
    EXPECT_EQ(one_line(appmgr.next()), R"({"m":"DvbStatus","status":-2,"ud":true})");
    EXPECT_EQ(Vetu_HAC_Server_UpdateXmlAitStatus(static_cast<VetuAppManagerUpdateAITStatus>(-9)), 0);
    EXPECT_EQ(one_line(appmgr.next()), R"({"m":"XmlStatus","status":-9,"ud":true})");

    // A query and a command from inside a client callback.
    EXPECT_EQ(Vetu_HAC_Server_SendAppState(3, 4, static_cast<VetuAppManagerClientEvent>(kCallFromCallback)), 0);
    appmgr.next();
    EXPECT_EQ(one_line(appmgr.next()), R"({"command":0,"m":"FromCallback","query":0,"version":[7,8,9]})");
    EXPECT_TRUE(wait_until([] {
        std::lock_guard<std::mutex> lock(g_stops_mutex);
        return g_stops == 1;
    }));

    EXPECT_EQ(Vetu_HAC_Server_Finalize(), 0);
    EXPECT_EQ(Vetu_HAC_Server_UpdateXmlAitStatus(VETU_AIT_STATUS_OK), -3);
    EXPECT_EQ(appmgr.stop(), 0);
}

}  // namespace
}  // namespace hac_test
