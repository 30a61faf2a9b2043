// The HAC conversation between two processes on the real queues, walked
// through the message catalogue: what each call puts on the wire, which
// browser member or client callback it reaches, and what a query returns;
// and the texts outside the protocol each half must survive.
#include "hac_catalogue.h"
#include "hac_fixture.h"

namespace hac_test {
namespace {

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

std::string document_of(const VetuAITAppInfo* app) {
    std::string document;
    aitappinfo_packet(app, document);
    return document;
}

// Twelve records: member names with two-digit indices.
struct Records {
    Records() {
        for (int i = 0; i < 12; ++i) records.push_back(sample_record(i));
        for (VetuAITAppInfo& r : records) pointers.push_back(&r);
    }
    std::string wire() const {
        Json::Value members = parse_json(R"({"num":12})");
        for (int i = 0; i < 12; ++i) members["ai" + std::to_string(i)] = document_of(pointers[i]);
        return one_line(members);
    }
    std::string reached() const {
        Json::Value line = parse_json(R"({"m":"SendAitAppInfo","num":12})");
        for (const VetuAITAppInfo* r : pointers) line["records"].append(hex(document_of(r)));
        return one_line(line);
    }
    std::vector<VetuAITAppInfo> records;
    std::vector<VetuAITAppInfo*> pointers;
};

// The out-values of a query, 77 until it writes them.
struct Outs {
    int v[3] = {77, 77, 77};
};

// One call of the client: its message's members besides "t", the recording
// browser's report of the member it reaches ("" for none), and for a query
// the out-values the recording browser's answer gives.
struct Call {
    unsigned int type;
    std::function<int(Outs*)> run;
    std::string wire;
    std::string reached;
    std::vector<int> answered;
};

int create_bi(Outs* o) {
    VetuAppIdentifier created = {o->v[0], o->v[1]};
    const int rc = Vetu_HAC_Client_CreateBIApplication("http://a/b", 3, &created, VETU_APP_SOURCE_BROADCAST);
    o->v[0] = created.appid;
    o->v[1] = created.orgid;
    return rc;
}

std::vector<Call> catalogue_calls(const Records& twelve) {
    const VetuAppIdentifier app = {5, -7};
    const VetuAppIdentifier created = derived_application("http://a/b", VETU_APP_SOURCE_BROADCAST);
    return {
        // Unsigned values beyond int are written unsigned and reach the
        // member with their bits.
        {HAC_MSG_SEND_AIT_IDS, [](Outs*) { return Vetu_HAC_Client_SendAitIDs(0x80000000u, 0xFFFFFFFFu, true); },
         R"({"svrid":2147483648,"aitver":4294967295,"hasait":1})",
         R"({"m":"SendAitIDs","svrid":-2147483648,"aitver":-1,"hasait":true})", {}},
        {HAC_MSG_SEND_AIT_APP_INFO,
         [&](Outs*) { return Vetu_HAC_Client_SendAitAppInfo(12, const_cast<VetuAITAppInfo**>(twelve.pointers.data())); },
         twelve.wire(), twelve.reached(), {}},
        {HAC_MSG_STOP_APP, [=](Outs*) { return Vetu_HAC_Client_StopApp(&app); }, R"({"appid":5,"orgid":-7})",
         R"({"m":"StopApp","appid":5,"orgid":-7})", {}},
        // The lengths travel as they were given, the strings whole.
        {HAC_MSG_SEND_XML_AIT_URL, [](Outs*) { return Vetu_HAC_Client_SendXmlAitUrl("<ait/>", 99, "cc1", 0); },
         R"({"xml":"<ait/>","xmllen":99,"ccid":"cc1","ccidlen":0})", R"({"m":"SendXmlAitUrl","xml":"<ait/>","ccid":"cc1"})",
         {}},
        // A key reaches the dispatcher and no member.
        {HAC_MSG_SEND_KEY,
         [](Outs*) { return Vetu_HAC_Client_SendKey(static_cast<VetuKey>(-5), static_cast<VetuKeyEventType>(77), 3); },
         R"({"key":-5,"keytype":77,"keyid":3})", "", {}},
        {HAC_MSG_GET_APP_ERROR_CODE, [=](Outs* o) { return Vetu_HAC_Client_GetAppErrorCode(&app, &o->v[0]); },
         R"({"appid":5,"orgid":-7})", R"({"m":"GetAppErrorCode","appid":5,"orgid":-7,"in":[0]})",
         {derived_error_code(5, -7, 1)}},
        {HAC_MSG_SHOW_TELETEXT_APP, [](Outs* o) { return Vetu_HAC_Client_ShowTeleTextApp(-4, &o->v[0]); },
         R"({"enabled":-4})", R"({"m":"ShowTeleTextApp","enabled":-4,"in":[0]})", {derived_teletext(-4)}},
        {HAC_MSG_CREATE_BI_APPLICATION, create_bi, R"({"url":"http://a/b","urllen":3,"src":2})",
         R"({"m":"CreateBIApplication","url":"http://a/b","src":2,"in":[0,0]})", {created.appid, created.orgid}},
        {HAC_MSG_DESTROY_BI_APPLICATION, [=](Outs*) { return Vetu_HAC_Client_DestroyBIApplication(&app); },
         R"({"appid":5,"orgid":-7})", R"({"m":"DestroyBIApplication","appid":5,"orgid":-7})", {}},
        {HAC_MSG_RESET, [](Outs*) { return Vetu_HAC_Client_Reset(-1, static_cast<VetuApmResetType>(-2), -3); },
         R"({"svrid":-1,"type":-2,"timeout":-3})", R"({"m":"Reset","svrid":-1,"type":-2,"timeout":-3})", {}},
        {HAC_MSG_GET_VERSION, [](Outs* o) { return Vetu_HAC_Client_GetVersion(&o->v[0], &o->v[1], &o->v[2]); }, "{}",
         R"({"m":"GetVersion","in":[0,0,0]})", {1, 2, 3}},
        {HAC_MSG_IS_APP_RUNNING, [](Outs* o) { return Vetu_HAC_Client_IsAppRunning(&o->v[0]); }, "{}",
         R"({"m":"IsAppRunning","in":[0]})", {1}},
    };
}

// The raw browser's reply to a request: the reply's members of the
// catalogue, valued 10, 11, 12.
std::string numbered_reply(const Json::Value& request) {
    const HacMessage* reply = hac_message(request["t"].asInt() + 1);
    Json::Value text = parse_json("{}");
    for (int i = 0; reply != nullptr && i < reply->count; ++i) text[reply->members[i].name] = 10 + i;
    return one_line(text);
}

std::vector<int> out_values(const Outs& o, size_t n) { return std::vector<int>(o.v, o.v + n); }

using Conversation = HacQueues;

TEST_F(Conversation, EveryCallOfTheCatalogueCrossesAndReachesItsMember) {
    const Records twelve;
    const std::vector<Call> calls = catalogue_calls(twelve);
    for (const HacMessage& m : kHacMessages) {
        const bool called = std::any_of(calls.begin(), calls.end(), [&](const Call& c) { return c.type == m.type; });
        EXPECT_EQ(called, m.direction == HAC_TO_BROWSER) << m.name;
    }
    // A client may start before the browser: until then it sends nothing.
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    const VetuAppIdentifier notifying = {1, kNotifyBackOrg};
    int v = 0;
    EXPECT_EQ(Vetu_HAC_Client_StopApp(&notifying), -3);  // no request queue yet
    EXPECT_EQ(Vetu_HAC_Client_IsAppRunning(&v), -3);

    // On the wire: the raw browser keeps each text and answers each query
    // with its reply's members numbered from 10.
    {
        RawBrowser raw;
        raw.respond_with(numbered_reply);
        for (size_t i = 0; i < calls.size(); ++i) {
            Outs outs;
            ASSERT_EQ(calls[i].run(&outs), 0) << calls[i].type;
            ASSERT_TRUE(raw.wait_texts(i + 1));
            Json::Value wire = parse_json(calls[i].wire);
            wire["t"] = calls[i].type;
            EXPECT_EQ(raw.texts()[i], as_read(wire));
            const size_t n = calls[i].answered.size();
            EXPECT_EQ(out_values(outs, 3), std::vector<int>({n > 0 ? 10 : 77, n > 1 ? 11 : 77, n > 2 ? 12 : 77}))
                << calls[i].type;
        }
    }
    // In the browser: each member is handed what was sent, a query's
    // out-values start at 0, and its answer comes back.
    PeerProcess browser({"browser", "1"});
    ASSERT_EQ(browser.next()["threads_added"], 0);  // by the server's second Initialize
    for (const Call& call : calls) {
        Outs outs;
        ASSERT_EQ(call.run(&outs), 0) << call.type;
        if (!call.reached.empty()) {
            EXPECT_EQ(browser.next(), parse_json(call.reached));
        }
        EXPECT_EQ(out_values(outs, call.answered.size()), call.answered) << call.type;
    }
    // Records cross byte for byte: every byte value, NULs inside texts.
    std::string every_byte;
    for (int c = 1; c < 256; ++c) every_byte += static_cast<char>(c);
    VetuAITAppInfo odd = sample_record(1);
    odd.name = every_byte;
    odd.iconloc = "caf\xe9 \xc3\x28 \xff\xfe";
    odd.bd[0] = std::string("a\0b\0", 4);
    odd.tranprotocols[0].bu = std::string("\0", 1) + every_byte;
    VetuAITAppInfo* apps[] = {&odd};
    EXPECT_EQ(Vetu_HAC_Client_SendAitAppInfo(1, apps), 0);
    EXPECT_EQ(browser.next()["records"][0], hex(document_of(&odd)));
    // A member's notification reaches the manager's callbacks, which the
    // client keeps over a Finalize.
    ReportLog events;
    register_recording_manager();
    EXPECT_EQ(Vetu_HAC_Client_StopApp(&notifying), 0);
    EXPECT_EQ(browser.next()["notify"], 0);
    ASSERT_TRUE(events.saw(parse_json(R"({"m":"AppState","appid":1,"orgid":777,"state":2})")));
    EXPECT_EQ(Vetu_HAC_Client_Finalize(), 0);
    EXPECT_EQ(Vetu_HAC_Client_StopApp(&notifying), -3);
    ASSERT_EQ(Vetu_HAC_Client_Initialize(), 0);
    EXPECT_EQ(Vetu_HAC_Client_StopApp(&notifying), 0);
    EXPECT_EQ(browser.next()["notify"], 0);
    EXPECT_TRUE(wait_until([&] { return events.all().size() == 2; }));
    EXPECT_EQ(browser.terminate(), 0);
    EXPECT_TRUE(browser.other_lines().empty()) << "the server half logged: " << browser.other_lines()[0];
    // A browser without a table answers every query with zeros.
    PeerProcess bare({"browser", "1", "0", "unregistered"});
    ASSERT_TRUE(bare.ready());
    for (const Call& call : calls) {
        Outs outs;
        ASSERT_EQ(call.run(&outs), 0) << call.type;
        EXPECT_EQ(out_values(outs, call.answered.size()), std::vector<int>(call.answered.size(), 0)) << call.type;
    }
    EXPECT_EQ(bare.terminate(), 0);
}

// Texts outside the protocol, sent raw to a real half in the peer: texts,
// then the unusable ones every half drops. Each is followed by a sentinel
// message, sentinel and its number; the next report being the sentinel's
// (report and the number) shows the text called nothing, and the peer ending
// with 0 that nothing crashed or leaked.
void expect_each_dropped(RawSender& raw, PeerProcess& peer, std::vector<std::string> texts,
                         const std::string& sentinel, const std::string& report) {
    const std::string nested = sentinel.substr(0, sentinel.find(',')) + ",\"x\":" + std::string(5000, '[') +
                               std::string(5000, ']') + "}";
    texts.insert(texts.end(), {"not json", "[1]", "5", "{}", R"({"t":"121","status":1})", R"({"t":118})",
                               R"({"t":100})", R"({"t":108})", R"({"t":123})", R"({"t":-1})", nested});
    for (size_t i = 0; i < texts.size(); ++i) {
        raw.send(texts[i]);
        raw.send(sentinel + std::to_string(i) + "}");
        EXPECT_EQ(peer.next(), parse_json(report + std::to_string(i) + "}")) << texts[i].substr(0, 40);
    }
}

TEST_F(Conversation, EveryNotificationReachesItsCallbackAndNothingElseDoes) {
    EXPECT_EQ(Vetu_HAC_Server_SendAppState(1, 2, VETU_APP_EVENT_STARTED), -3);  // not initialised
    Vetu_HAC_Server_RegisterCallback(recording_browser(), nullptr);
    ASSERT_EQ(Vetu_HAC_Server_Initialize(), 0);
    EXPECT_EQ(Vetu_HAC_Server_UpdateDvbAitStatus(VETU_AIT_STATUS_OK), -3);  // no notification queue yet

    PeerProcess appmgr({"appmgr"});
    EXPECT_EQ(appmgr.next()["threads_added"], 0);  // by the client's second Initialize
    EXPECT_EQ(Vetu_HAC_Server_SendAppState(5, 7, static_cast<VetuAppManagerClientEvent>(-4)), 0);
    EXPECT_EQ(appmgr.next(), parse_json(R"({"m":"AppState","appid":5,"orgid":7,"state":-4,"ud":true})"));
    EXPECT_EQ(Vetu_HAC_Server_UpdateDvbAitStatus(static_cast<VetuAppManagerUpdateAITStatus>(-2)), 0);
    EXPECT_EQ(appmgr.next(), parse_json(R"({"m":"DvbAitStatus","status":-2,"ud":true})"));
    EXPECT_EQ(Vetu_HAC_Server_UpdateXmlAitStatus(static_cast<VetuAppManagerUpdateAITStatus>(-9)), 0);
    EXPECT_EQ(appmgr.next(), parse_json(R"({"m":"XmlAitStatus","status":-9,"ud":true})"));
    // No browser function sends 119: any non-zero "consum" is true, an
    // absent member 0.
    RawSender raw(HAC_NOTIFICATION_QUEUE_KEY);
    raw.send(R"({"t":119,"appid":1,"orgid":2,"key":3,"type":4,"keyid":5,"consum":2})");
    EXPECT_EQ(appmgr.next(),
              parse_json(R"({"m":"KeyEvent","appid":1,"orgid":2,"key":3,"type":4,"keyid":5,"consum":true,"ud":true})"));
    raw.send(R"({"t":119})");
    EXPECT_EQ(appmgr.next(),
              parse_json(R"({"m":"KeyEvent","appid":0,"orgid":0,"key":0,"type":0,"keyid":0,"consum":false,"ud":true})"));
    // Texts that are no notification call nothing; a text ends at its NUL.
    expect_each_dropped(raw, appmgr, {R"({"t":121,"status":3000000000})", R"({"t":120,"appid":"x"})"},
                        R"({"t":121,"status":)", R"({"m":"DvbAitStatus","ud":true,"status":)");
    raw.send(std::string(R"({"t":121,"status":77})") + std::string("\0junk", 5));
    EXPECT_EQ(appmgr.next()["status"].asInt(), 77);

    // A query and a command from inside a client callback.
    ReportLog served;
    EXPECT_EQ(Vetu_HAC_Server_SendAppState(3, 4, static_cast<VetuAppManagerClientEvent>(kCallFromCallback)), 0);
    appmgr.next();
    EXPECT_EQ(appmgr.next(), parse_json(R"({"m":"FromCallback","query":0,"version":[1,2,3],"command":0})"));
    EXPECT_TRUE(served.saw(parse_json(R"({"m":"StopApp","appid":3,"orgid":4})")));

    EXPECT_EQ(Vetu_HAC_Server_Finalize(), 0);
    EXPECT_EQ(Vetu_HAC_Server_UpdateXmlAitStatus(VETU_AIT_STATUS_OK), -3);
    EXPECT_EQ(appmgr.terminate(), 0);
}

using RawToPeer = HacQueues;

TEST_F(RawToPeer, DispatcherDropsWhatItDoesNotServe) {
    PeerProcess browser({"browser", "1"});
    ASSERT_TRUE(browser.ready());
    RawSender raw(HAC_REQUEST_QUEUE_KEY);
    expect_each_dropped(raw, browser,
                        {R"({"t":105,"key":1,"keytype":1,"keyid":1})", R"({"t":107})",
                         R"({"t":120,"appid":1,"orgid":1,"state":1})", R"({"t":103,"appid":3000000000})",
                         R"({"t":104,"xml":{}})", R"({"t":102,"num":0})", R"({"t":102,"num":-1})",
                         R"({"t":102,"num":3,"ai0":"{\"appid\":3}","ai2":"{\"appid\":3}"})",  // ai1 missing
                         R"({"t":102,"num":1,"ai0":"not json"})", R"({"t":102,"num":1,"ai0":"[1]"})",
                         R"({"t":102,"num":1,"ai0":5})", R"({"t":102,"num":1,"ai0":"{\"appid\":\"x\"}"})"},
                        R"({"t":113,"orgid":0,"appid":)", R"({"m":"DestroyBIApplication","orgid":0,"appid":)");
    // Served: unsigned bits of 101 with "hasait" 2; a text cut at its NUL,
    // whose record is the one above; a query type sent one-way (its reply is
    // built and must not leak).
    raw.send(R"({"t":101,"svrid":2147483648,"aitver":4294967295,"hasait":2})");
    EXPECT_EQ(browser.next(), parse_json(R"({"m":"SendAitIDs","svrid":-2147483648,"aitver":-1,"hasait":true})"));
    raw.send(R"({"t":102,"num":1,"ai0":"{\"appid\":3}"})" + std::string("\0junk", 5));
    EXPECT_EQ(browser.next()["num"], 1);
    raw.send(R"({"t":115})");
    EXPECT_EQ(browser.next()["m"], "GetVersion");
    EXPECT_EQ(browser.terminate(), 0);
}

}  // namespace
}  // namespace hac_test
