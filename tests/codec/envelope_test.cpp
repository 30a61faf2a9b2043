// The envelope both halves write and read messages with.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "envelope.h"

namespace {

Json::Value parsed(const std::string& text) {
    Json::Value root;
    EXPECT_TRUE(hac_parse_text(text.c_str(), &root)) << text;
    return root;
}

}  // namespace

TEST(EnvelopeWrite, TypeUnsignedOtherIntegersSignedInTheStyledLayout) {
    Json::Value m = hac_new_message(0xFFFFFFFFu);
    m["n"] = Json::Value(-1);
    m["s"] = "x";
    EXPECT_TRUE(m["t"].isUInt() && !m["t"].isInt());
    const std::string text(hac_write_thread_text(m));
    EXPECT_EQ(text, "{\n\t\"n\" : -1,\n\t\"s\" : \"x\",\n\t\"t\" : 4294967295\n}\n");
    EXPECT_EQ(text, m.toStyledString());  // same layout as jsoncpp's styled writer
    const Json::Value back = parsed(text);
    HacReader in(back);
    EXPECT_EQ(in.unsigned_bits("t"), -1);
    EXPECT_EQ(in.integer("n"), -1);
    EXPECT_TRUE(in.ok);
}

TEST(EnvelopeWrite, StringBytesPassThrough) {
    std::string bytes;
    for (int b = 0; b <= 255; ++b) bytes.push_back(static_cast<char>(b));
    bytes += "caf\xe9\xc3\x28";
    Json::Value m = hac_new_message(1);
    m["s"] = bytes;
    const std::string text(hac_write_thread_text(m));
    EXPECT_NE(text.find("caf\xe9\xc3\x28"), std::string::npos);
    EXPECT_NE(text.find("\\u0000"), std::string::npos);
    EXPECT_EQ(m.toStyledString().find("caf\xe9"), std::string::npos);  // what the default writer does
    const Json::Value back = parsed(text);
    EXPECT_EQ(HacReader(back).text("s"), bytes);
}

TEST(EnvelopeWrite, ConcurrentWritersKeepTheirOwnText) {
    std::vector<std::thread> threads;
    std::vector<int> good(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &good] {
            Json::Value m = hac_new_message(static_cast<unsigned>(t));
            m["v"] = std::string(100 + t, 'a' + t);
            for (int i = 0; i < 500; ++i) good[t] += hac_write_thread_text(m) == m.toStyledString();
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(good, std::vector<int>(4, 500));
}

TEST(EnvelopeWrite, IndexedMemberNamesInDecimal) {
    const std::vector<std::pair<std::string, std::string>> names = {
        {hac_indexed_member("ai", 0).text, "ai0"},
        {hac_indexed_member("ai", 3).text, "ai3"},
        {hac_indexed_member("bu", 10).text, "bu10"},
        {hac_indexed_member("iso", 2).text, "iso2"},
        {hac_indexed_member("x", INT_MAX).text, "x2147483647"},
        {hac_indexed_member("x", -1).text, "x-1"},
        {hac_indexed_member("x", INT_MIN).text, "x-2147483648"},
        {hac_indexed_member("", 7).text, "7"}};
    for (const auto& name : names) EXPECT_EQ(name.first, name.second);
}

TEST(EnvelopeRead, AbsentMembersReadAsZeroAndEmpty) {
    const Json::Value m = parsed("{\"t\": 115}");
    HacReader in(m);
    EXPECT_EQ(in.integer("t"), 115);
    EXPECT_EQ(in.integer("major"), 0);
    EXPECT_EQ(in.unsigned_bits("svrid"), 0);
    EXPECT_EQ(in.text("url"), "");
    EXPECT_TRUE(in.ok);
}

TEST(EnvelopeRead, UnsignedBitsKeepTheBits) {
    const Json::Value m = parsed(R"({"a": 2147483648, "b": 4294967295, "c": -5, "d": 7, "e": 4294967296})");
    HacReader in(m);
    EXPECT_EQ(in.unsigned_bits("a"), INT_MIN);
    EXPECT_EQ(in.unsigned_bits("b"), -1);
    EXPECT_EQ(in.unsigned_bits("c"), -5);
    EXPECT_EQ(in.unsigned_bits("d"), 7);
    EXPECT_TRUE(in.ok);
    EXPECT_EQ(in.unsigned_bits("e"), 0);
    EXPECT_FALSE(in.ok);
}

TEST(EnvelopeRead, RefusedConversionsFailTheReadWithoutThrowing) {
    const Json::Value m = parsed(R"({"s": "12", "big": 2147483648, "o": {}, "a": [1]})");
    for (const char* member : {"s", "big", "o", "a"}) {
        HacReader in(m);
        EXPECT_EQ(in.integer(member), 0);
        EXPECT_FALSE(in.ok) << member;
    }
    HacReader strings(m);
    EXPECT_EQ(strings.text("o"), "");
    EXPECT_FALSE(strings.ok);

    Json::Value array(Json::arrayValue);
    array.append(1);
    HacReader on_array(array);
    EXPECT_EQ(on_array.integer("t") + on_array.unsigned_bits("t"), 0);
    EXPECT_EQ(on_array.text("t"), "");
    EXPECT_FALSE(on_array.ok);
}

TEST(EnvelopeRead, TextInPlaceReadsWhatTextReads) {
    Json::Value m = parsed(R"({"s": "doc", "n": 5, "b": true, "z": null, "o": {}})");
    m["nul"] = std::string("a\0b", 3);
    for (const char* member : {"s", "n", "b", "z", "absent", "nul", "o"}) {
        HacReader copied(m);
        HacReader in_place(m);
        std::string converted;
        EXPECT_EQ(std::string(in_place.text_in_place(member, &converted)), copied.text(member).c_str()) << member;
        EXPECT_EQ(in_place.ok, copied.ok) << member;
    }
    // A string's own bytes, not a copy.
    HacReader in(m);
    std::string unused;
    const char* begin = nullptr;
    const char* end = nullptr;
    ASSERT_TRUE(m["s"].getString(&begin, &end));
    EXPECT_EQ(in.text_in_place("s", &unused), begin);
}

TEST(EnvelopeParse, RefusesWhatIsNotAMessageObject) {
    const std::string deep_arrays(5000, '[');
    std::string deep_objects;
    for (int i = 0; i < 3000; ++i) deep_objects += "{\"a\":";
    for (const std::string& text : {std::string(""), std::string("[1]"), std::string("5"), std::string("\"s\""),
                                    std::string("null"), std::string("{\"a\":"), std::string("not json"),
                                    deep_arrays, deep_objects}) {
        Json::Value root(7);
        EXPECT_FALSE(hac_parse_text(text.c_str(), &root)) << text.substr(0, 20);
        EXPECT_TRUE(root.isNull());
    }
    Json::Value root;
    EXPECT_FALSE(hac_parse_text(nullptr, &root));
    EXPECT_FALSE(hac_parse_text("{}", nullptr));
}

TEST(EnvelopeParse, StopsAtTheFirstNul) {
    const std::string whole("{\"t\": 101}\0garbage", 18);
    const Json::Value m = parsed(whole);
    EXPECT_EQ(HacReader(m).integer("t"), 101);
    const std::string cut("{\"t\": \0 101}", 12);
    Json::Value root;
    EXPECT_FALSE(hac_parse_text(cut.c_str(), &root));
}
