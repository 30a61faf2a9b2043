// The AIT application record codec: round trips, the decoder's reading of
// documents it did not write, and the bounds that keep it safe.
#include <gtest/gtest.h>

#include <string>

#include "envelope.h"
#include "test_support.h"
#include "vetu_hac.h"
#include "vetu_log.h"

namespace {

std::string every_byte() {
    std::string s;
    for (int b = 1; b <= 255; ++b) s.push_back(static_cast<char>(b));
    return s;
}

VetuAITAppInfo sample_record(int entries, int boundaries) {
    VetuAITAppInfo r;
    r.appid = 0x7FFFFFFF;
    r.orgid = -2147483647 - 1;
    r.visib = 3;
    r.prior = -4;
    r.ctrco = 5;
    r.ipflag = 6;
    for (int i = 0; i < entries; ++i)
        r.tranprotocols.push_back({i - 1, "http://host/" + std::to_string(i), "p" + std::to_string(i), 100 + i});
    for (int i = 0; i < boundaries; ++i) r.bd.push_back("b" + std::to_string(i));
    r.trprn = entries;
    r.bn = boundaries;
    r.isb = true;
    r.lang = 7;
    r.iso[0] = 'e';
    r.iso[1] = 0x80;
    r.iso[2] = 0xFF;
    r.name = "name";
    r.iconloc = "icon";
    r.iconflag = 8;
    r.appuse = 9;
    r.serid = 10;
    r.aitver = 11;
    r.apptype = 12;
    r.profile = 13;
    r.profileversion = 14;
    return r;
}

void expect_equal(const VetuAITAppInfo& a, const VetuAITAppInfo& b) {
    EXPECT_EQ(a.appid, b.appid);
    EXPECT_EQ(a.orgid, b.orgid);
    EXPECT_EQ(a.visib, b.visib);
    EXPECT_EQ(a.prior, b.prior);
    EXPECT_EQ(a.ctrco, b.ctrco);
    EXPECT_EQ(a.ipflag, b.ipflag);
    EXPECT_EQ(a.trprn, b.trprn);
    ASSERT_EQ(a.tranprotocols.size(), b.tranprotocols.size());
    for (size_t i = 0; i < a.tranprotocols.size(); ++i) {
        EXPECT_EQ(a.tranprotocols[i].pi, b.tranprotocols[i].pi) << i;
        EXPECT_EQ(a.tranprotocols[i].bu, b.tranprotocols[i].bu) << i;
        EXPECT_EQ(a.tranprotocols[i].ip, b.tranprotocols[i].ip) << i;
        EXPECT_EQ(a.tranprotocols[i].pp, b.tranprotocols[i].pp) << i;
    }
    EXPECT_EQ(a.isb, b.isb);
    EXPECT_EQ(a.bn, b.bn);
    EXPECT_EQ(a.bd, b.bd);
    EXPECT_EQ(a.lang, b.lang);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(a.iso[i], b.iso[i]) << i;
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.iconloc, b.iconloc);
    EXPECT_EQ(a.iconflag, b.iconflag);
    EXPECT_EQ(a.appuse, b.appuse);
    EXPECT_EQ(a.serid, b.serid);
    EXPECT_EQ(a.aitver, b.aitver);
    EXPECT_EQ(a.apptype, b.apptype);
    EXPECT_EQ(a.profile, b.profile);
    EXPECT_EQ(a.profileversion, b.profileversion);
}

std::string encode(const VetuAITAppInfo& r) {
    std::string text;
    EXPECT_EQ(aitappinfo_packet(&r, text), 0);
    return text;
}

int decode(const std::string& text, VetuAITAppInfo* out) {
    Json::Value root;
    if (!hac_parse_text(text.c_str(), &root)) return -100;
    return aitappinfo_unpacket(root, out);
}

VetuAITAppInfo round_trip(const VetuAITAppInfo& r) {
    VetuAITAppInfo back;
    EXPECT_EQ(decode(encode(r), &back), 0);
    return back;
}

Json::Value document(const std::string& text) {
    Json::Value root;
    EXPECT_TRUE(hac_parse_text(text.c_str(), &root)) << text;
    return root;
}

}  // namespace

TEST(RecordRoundTrip, KeepsEveryFieldWithZeroOneAndTwelveEntries) {
    for (int n : {0, 1, 12}) {
        VetuAITAppInfo r = sample_record(n, n);
        r.isb = n != 1;
        expect_equal(round_trip(r), r);
    }
    Json::Value doc = document(encode(sample_record(12, 12)));
    EXPECT_TRUE(doc.isMember("pi11") && doc.isMember("pp10") && doc.isMember("bd11"));
    EXPECT_FALSE(doc.isMember("pi12") || doc.isMember("bd12") || doc.isMember("pi011"));
    Json::Value empty = document(encode(sample_record(0, 0)));
    EXPECT_EQ(empty.size(), 23u);  // every fixed member, no numbered one
}

TEST(RecordRoundTrip, EmptyStringsAndNegativeCounts) {
    VetuAITAppInfo r = sample_record(2, 2);
    r.name.clear();
    r.iconloc.clear();
    r.tranprotocols[1].bu.clear();
    r.tranprotocols[1].ip.clear();
    r.bd[0].clear();
    expect_equal(round_trip(r), r);

    VetuAITAppInfo neg = sample_record(0, 0);
    neg.trprn = -1;
    neg.bn = -2147483647 - 1;
    expect_equal(round_trip(neg), neg);
    EXPECT_FALSE(document(encode(neg)).isMember("pi0"));
}

// Names and URLs are byte strings: DVB text is often not UTF-8.
TEST(RecordRoundTrip, StringBytesSurviveUnchanged) {
    VetuAITAppInfo r = sample_record(1, 2);
    r.name = every_byte();
    r.iconloc = std::string("caf\xe9 \xc3\x28 \xed\xa0\x80 \xf8\x88\x80\x80\x80", 18);
    r.tranprotocols[0].bu = std::string("a\0b\0\0", 5);
    r.tranprotocols[0].ip = std::string(1, '\0');
    r.bd[1] = std::string("\xff\xfe\0\x7f", 4);
    expect_equal(round_trip(r), r);
    EXPECT_NE(encode(r).find("caf\xe9"), std::string::npos);  // passed through, not rewritten

    // As the client carries it: the document as a string inside a message.
    Json::Value message = hac_new_message(HAC_MSG_SEND_AIT_APP_INFO);
    message["ai0"] = encode(r);
    Json::Value received;
    ASSERT_TRUE(hac_parse_text(hac_write_thread_text(message).data(), &received));
    HacReader in(received);
    VetuAITAppInfo back;
    EXPECT_EQ(decode(in.text("ai0"), &back), 0);
    expect_equal(back, r);
}

TEST(RecordEncoder, ReplacesOutAndRefusesNullRecord) {
    VetuAITAppInfo r = sample_record(1, 1);
    std::string out = "left over";
    EXPECT_EQ(aitappinfo_packet(&r, out), 0);
    EXPECT_EQ(out, encode(r));
    EXPECT_EQ(out.front(), '{');
    EXPECT_EQ(document(out)["t"].asInt(), 1);
    std::string kept = "kept";
    EXPECT_EQ(aitappinfo_packet(nullptr, kept), -3);
    EXPECT_EQ(kept, "kept");
}

TEST(RecordEncoder, ClampsCountsAboveTheVectors) {
    VetuAITAppInfo r = sample_record(2, 0);
    r.trprn = 5;
    r.bn = 2147483647;
    Json::Value doc = document(encode(r));
    EXPECT_EQ(doc["trprn"].asInt(), 2);
    EXPECT_EQ(doc["bn"].asInt(), 0);
    EXPECT_FALSE(doc.isMember("pi2") || doc.isMember("bd0"));
    VetuAITAppInfo expected = r;
    expected.trprn = 2;
    expected.bn = 0;
    expect_equal(round_trip(r), expected);
}

TEST(RecordDecoder, ReadsDocumentsItDidNotWrite) {
    VetuAITAppInfo r;
    EXPECT_EQ(decode(R"({"appid": 5, "orgid": -6})", &r), 0);
    VetuAITAppInfo expected;
    expected.appid = 5;
    expected.orgid = -6;
    expect_equal(r, expected);

    VetuAITAppInfo odd;
    EXPECT_EQ(decode(R"({"isb": 2, "iso0": 300, "iso1": -1, "trprn": 3, "pi0": 9, "bu0": "u", "ip0": "i", "pp0": 8})",
                     &odd),
              0);
    EXPECT_TRUE(odd.isb);
    EXPECT_EQ(odd.iso[0], 44);
    EXPECT_EQ(odd.iso[1], 255);
    ASSERT_EQ(odd.tranprotocols.size(), 3u);
    EXPECT_EQ(odd.tranprotocols[0].bu, "u");
    for (int i : {1, 2}) {
        EXPECT_EQ(odd.tranprotocols[i].pi + odd.tranprotocols[i].pp, 0);
        EXPECT_EQ(odd.tranprotocols[i].bu + odd.tranprotocols[i].ip, "");
    }

    // "t" is never read, whatever it holds.
    const std::string text = encode(sample_record(1, 1));
    Json::Value other = document(text);
    other["t"] = "not a number";
    VetuAITAppInfo a, b;
    EXPECT_EQ(decode(text, &a), 0);
    EXPECT_EQ(aitappinfo_unpacket(other, &b), 0);
    expect_equal(a, b);
}

TEST(RecordDecoder, AppendsToTheVectorsAndAssignsTheRest) {
    VetuAITAppInfo r = sample_record(1, 2);
    r.name = "old";
    VetuAITAppInfo src = sample_record(2, 2);
    src.bd = {"x", "y"};
    EXPECT_EQ(decode(encode(src), &r), 0);
    EXPECT_EQ(r.bd, (std::vector<std::string>{"b0", "b1", "x", "y"}));
    ASSERT_EQ(r.tranprotocols.size(), 3u);
    EXPECT_EQ(r.tranprotocols[2].pp, 101);
    EXPECT_EQ(r.name, "name");
}

TEST(RecordDecoder, NullRecordLogsOneErrorLineUnderHacServer) {
    clear_modules_list();
    hac_test::StdoutCapture capture;
    EXPECT_EQ(aitappinfo_unpacket(Json::Value(Json::objectValue), nullptr), -3);
    const std::string out = capture.stop();
    EXPECT_EQ(out.rfind("\033[31mtime=", 0), 0u) << out;
    EXPECT_NE(out.find("logtype=error File:ait_unpacket Function: aitappinfo_unpacket(), line: "),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find('\n'), out.size() - 5) << "one line, then the colour reset";

    // The line follows the level of "hac_server", not that of "HAC".
    ASSERT_EQ(insert_modules_list("HAC", 1), 0);
    hac_test::StdoutCapture other_module;
    EXPECT_EQ(aitappinfo_unpacket(Json::Value(), nullptr), -3);
    EXPECT_NE(other_module.stop().find("logtype=error File:ait_unpacket Function"), std::string::npos);
    ASSERT_EQ(insert_modules_list("hac_server", 1), 0);
    hac_test::StdoutCapture own_module;
    EXPECT_EQ(aitappinfo_unpacket(Json::Value(), nullptr), -3);
    EXPECT_NE(own_module.stop().find("logtype=info File:ait_unpacket Function"), std::string::npos);
    clear_modules_list();
}

// jsoncpp throws on these; the decoder refuses them and leaves the record.
TEST(RecordDecoder, RefusesDocumentsOutsideTheProtocol) {
    const char* texts[] = {
        R"({"appid": "12"})",          R"({"appid": 3000000000})",   R"({"orgid": -3000000000})",
        R"({"prior": 1e300})",         R"({"trprn": {}})",           R"({"name": {"a": 1}})",
        R"({"bn": 1, "bd0": []})",     R"({"trprn": 1, "pi0": "x"})", R"({"iso2": [[[[[[1]]]]]]})",
    };
    for (const char* text : texts) {
        VetuAITAppInfo r = sample_record(1, 1);
        EXPECT_EQ(decode(text, &r), -1) << text;
        expect_equal(r, sample_record(1, 1));
    }
    VetuAITAppInfo r;
    Json::Value array(Json::arrayValue);
    array.append(1);
    EXPECT_EQ(aitappinfo_unpacket(array, &r), -1);
    EXPECT_EQ(aitappinfo_unpacket(Json::Value("text"), &r), -1);
    EXPECT_EQ(aitappinfo_unpacket(Json::Value(), &r), 0);  // null: no members
}

TEST(RecordDecoder, ForgedCountsDecodeWithinTheBound) {
    VetuAITAppInfo r;
    EXPECT_EQ(decode(R"({"trprn": 2147483647, "bn": 2147483647, "bd0": "first"})", &r), 0);
    EXPECT_EQ(r.trprn, VETU_AIT_MAX_DECODED_ENTRIES);
    EXPECT_EQ(r.tranprotocols.size(), size_t(VETU_AIT_MAX_DECODED_ENTRIES));
    EXPECT_EQ(r.bn, VETU_AIT_MAX_DECODED_ENTRIES);
    ASSERT_EQ(r.bd.size(), size_t(VETU_AIT_MAX_DECODED_ENTRIES));
    EXPECT_EQ(r.bd[0], "first");
}

// The largest records the encoder can fit into one message decode in full.
TEST(RecordDecoder, EveryEncodableDocumentWithinTheLimitDecodesInFull) {
    for (bool boundaries : {false, true}) {
        int fits = 0, lo = 0, hi = 4096;
        while (lo <= hi) {
            int n = (lo + hi) / 2;
            VetuAITAppInfo r;
            r.trprn = boundaries ? 0 : n;
            r.bn = boundaries ? n : 0;
            r.tranprotocols.resize(static_cast<size_t>(r.trprn));
            r.bd.resize(static_cast<size_t>(r.bn));
            if (encode(r).size() <= 16384) fits = n, lo = n + 1;
            else hi = n - 1;
        }
        EXPECT_LT(fits, VETU_AIT_MAX_DECODED_ENTRIES);
        VetuAITAppInfo r;
        r.trprn = boundaries ? 0 : fits;
        r.bn = boundaries ? fits : 0;
        r.tranprotocols.resize(static_cast<size_t>(r.trprn));
        r.bd.resize(static_cast<size_t>(r.bn));
        expect_equal(round_trip(r), r);
    }
}

TEST(Record, CopiesDeeply) {
    VetuAITAppInfo blank;
    EXPECT_EQ(blank.appid + blank.trprn + blank.bn + blank.iso[2] + blank.profileversion, 0);
    EXPECT_FALSE(blank.isb);

    const VetuAITAppInfo source = sample_record(3, 2);
    VetuAITAppInfo copy = source;
    copy.tranprotocols[1].bu = "changed";
    copy.bd[0] = "changed";
    copy.name = "changed";
    VetuAITAppInfo assigned;
    assigned = source;
    assigned.tranprotocols[2].ip += "x";
    expect_equal(source, sample_record(3, 2));
}
