// The AIT application record codec: round trips, the decoder's reading of
// documents it did not write, and the bounds that keep it safe.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "envelope.h"
#include "test_support.h"
#include "vetu_hac.h"
#include "vetu_log.h"

namespace {

// Every field set, each integer to a value of its own: 10 times its place
// in the catalogue's kHacRecordInts, the identifiers at the edges of int.
VetuAITAppInfo sample_record(int entries, int boundaries) {
    VetuAITAppInfo r;
    int value = 0;
    for (const HacRecordInt& member : kHacRecordInts) r.*member.field = value += 10;
    r.appid = INT_MAX;
    r.orgid = INT_MIN;
    for (int i = 0; i < entries; ++i)
        r.tranprotocols.push_back({i - 1, "http://host/" + std::to_string(i), "p" + std::to_string(i), 100 + i});
    for (int i = 0; i < boundaries; ++i) r.bd.push_back("b" + std::to_string(i));
    r.trprn = entries;
    r.bn = boundaries;
    r.isb = true;
    memcpy(r.iso, "e\x80\xff", 3);
    for (const HacRecordString& member : kHacRecordStrings) r.*member.field = member.name;
    return r;
}

void expect_equal(const VetuAITAppInfo& a, const VetuAITAppInfo& b) {
    for (const HacRecordInt& member : kHacRecordInts) EXPECT_EQ(a.*member.field, b.*member.field) << member.name;
    for (const HacRecordString& member : kHacRecordStrings) EXPECT_EQ(a.*member.field, b.*member.field) << member.name;
    EXPECT_EQ(a.trprn, b.trprn);
    EXPECT_EQ(a.bn, b.bn);
    EXPECT_EQ(a.isb, b.isb);
    EXPECT_EQ(std::vector<int>(a.iso, a.iso + 3), std::vector<int>(b.iso, b.iso + 3));
    EXPECT_EQ(a.bd, b.bd);
    ASSERT_EQ(a.tranprotocols.size(), b.tranprotocols.size());
    for (size_t i = 0; i < a.tranprotocols.size(); ++i) {
        const TranProtocol& x = a.tranprotocols[i];
        const TranProtocol& y = b.tranprotocols[i];
        EXPECT_TRUE(x.pi == y.pi && x.bu == y.bu && x.ip == y.ip && x.pp == y.pp) << "entry " << i;
    }
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

// Each field under its own member (a mix-up in the catalogue shows here);
// the counts, the flag and the language code as integers; "t" always 1.
TEST(RecordEncoder, WritesEachFieldUnderItsMemberIntoOut) {
    const VetuAITAppInfo r = sample_record(2, 2);
    std::string out = "left over";
    ASSERT_EQ(aitappinfo_packet(&r, out), 0);
    EXPECT_EQ(aitappinfo_packet(nullptr, out), -3);  // and leaves out as it was
    EXPECT_EQ(document(out), document(R"({"aitver": 110, "appid": 2147483647, "apptype": 120, "appuse": 90,
        "bd0": "b0", "bd1": "b1", "bn": 2, "bu0": "http://host/0", "bu1": "http://host/1", "ctrco": 50,
        "iconflag": 80, "iconloc": "iconloc", "ip0": "p0", "ip1": "p1", "ipflag": 60, "isb": 1, "iso0": 101,
        "iso1": 128, "iso2": 255, "lang": 70, "name": "name", "orgid": -2147483648, "pi0": -1, "pi1": 0, "pp0": 100,
        "pp1": 101, "prior": 40, "profile": 130, "profileversion": 140, "serid": 100, "t": 1, "trprn": 2,
        "visib": 30})"));
}

// Names and URLs are byte strings: DVB text is often not UTF-8. A count
// above its vector is written as the vector's size, one below 1 as it is.
TEST(RecordRoundTrip, KeepsEveryFieldAndStringBytesAndClampsCountsAboveTheVectors) {
    VetuAITAppInfo bytes = sample_record(1, 2);
    for (int b = 1; b <= 255; ++b) bytes.name.push_back(static_cast<char>(b));
    bytes.iconloc = std::string("caf\xe9 \xc3\x28 \xed\xa0\x80 \xf8\x88\x80\x80\x80", 18);
    bytes.tranprotocols[0].bu = std::string("a\0b\0\0", 5);
    bytes.tranprotocols[0].ip = std::string(1, '\0');
    bytes.bd[1] = std::string("\xff\xfe\0\x7f", 4);
    VetuAITAppInfo negative_counts = sample_record(0, 0);
    negative_counts.trprn = -1;
    negative_counts.bn = INT_MIN;
    for (const VetuAITAppInfo& r :
         {VetuAITAppInfo(), sample_record(1, 1), sample_record(12, 12), bytes, negative_counts})
        expect_equal(round_trip(r), r);
    EXPECT_NE(encode(bytes).find("caf\xe9"), std::string::npos);  // passed through, not rewritten

    VetuAITAppInfo over = sample_record(2, 0);
    over.trprn = 5;
    over.bn = INT_MAX;
    expect_equal(round_trip(over), sample_record(2, 0));
}

// Absent members read as zero and empty, "isb" as any non-zero value, the
// language code as low bytes; "t" is never read, whatever it holds. Entries
// are appended to those the record held, every other field assigned.
TEST(RecordDecoder, ReadsDocumentsItDidNotWriteAndAppendsTheEntries) {
    for (const VetuAITAppInfo& held : {sample_record(1, 0), sample_record(0, 2)}) {
        VetuAITAppInfo r = held;
        EXPECT_EQ(decode(R"({"t": "x", "appid": 5, "orgid": -6, "isb": 2, "iso0": 300, "iso1": -1, "trprn": 3,
            "pi0": 9, "bu0": "u", "ip0": "i", "pp0": 8, "bn": 1, "bd0": "x"})", &r), 0);
        VetuAITAppInfo expected;
        expected.appid = 5;
        expected.orgid = -6;
        expected.isb = true;
        expected.iso[0] = 44;
        expected.iso[1] = 255;
        expected.trprn = 3;
        expected.tranprotocols = held.tranprotocols;
        expected.tranprotocols.insert(expected.tranprotocols.end(), {{9, "u", "i", 8}, {}, {}});
        expected.bn = 1;
        expected.bd = held.bd;
        expected.bd.push_back("x");
        expect_equal(r, expected);
    }
}

// One error line, which follows the level of "hac_server", not that of "HAC".
TEST(RecordDecoder, NullRecordLogsOneErrorLineUnderHacServer) {
    for (const std::string module : {"HAC", "hac_server"}) {
        ASSERT_EQ(insert_modules_list(module.c_str(), 1), 0);
        hac_test::StdoutCapture capture;
        EXPECT_EQ(aitappinfo_unpacket(Json::Value(Json::objectValue), nullptr), -3);
        const std::string out = capture.stop();
        EXPECT_NE(out.find(std::string(module == "HAC" ? "logtype=error" : "logtype=info") +
                           " File:ait_unpacket Function: aitappinfo_unpacket(), line: "),
                  std::string::npos)
            << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    }
    clear_modules_list();
}

// jsoncpp throws on these; the decoder refuses them and leaves the record.
TEST(RecordDecoder, RefusesDocumentsOutsideTheProtocol) {
    const char* texts[] = {
        R"({"appid": "12"})",      R"({"appid": 3000000000})",    R"({"orgid": -3000000000})",
        R"({"prior": 1e300})",     R"({"trprn": {}})",            R"({"name": {"a": 1}})",
        R"({"bn": 1, "bd0": []})", R"({"trprn": 1, "pi0": "x"})", R"({"iso2": [[[[[[1]]]]]]})",
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
    EXPECT_EQ(decode(R"({"trprn": 2147483647, "bn": 2049, "bd0": "first"})", &r), 0);  // 2049: one over
    EXPECT_EQ(r.trprn, VETU_AIT_MAX_DECODED_ENTRIES);
    EXPECT_EQ(r.tranprotocols.size(), size_t(VETU_AIT_MAX_DECODED_ENTRIES));
    EXPECT_EQ(r.bn, VETU_AIT_MAX_DECODED_ENTRIES);
    ASSERT_EQ(r.bd.size(), size_t(VETU_AIT_MAX_DECODED_ENTRIES));
    EXPECT_EQ(r.bd[0], "first");
}
