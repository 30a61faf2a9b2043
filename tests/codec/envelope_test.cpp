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

namespace {

// hac_write_message with the first n of values.
std::string write_message(unsigned int type, const HacValue* v, int n) {
    switch (n) {
        case 0: return std::string(hac_write_message(type, {}));
        case 1: return std::string(hac_write_message(type, {v[0]}));
        case 2: return std::string(hac_write_message(type, {v[0], v[1]}));
        case 3: return std::string(hac_write_message(type, {v[0], v[1], v[2]}));
        case 4: return std::string(hac_write_message(type, {v[0], v[1], v[2], v[3]}));
        case 5: return std::string(hac_write_message(type, {v[0], v[1], v[2], v[3], v[4]}));
        default: return std::string(hac_write_message(type, {v[0], v[1], v[2], v[3], v[4], v[5]}));
    }
}

// What jsoncpp writes for the message hac_build_message builds of the same.
std::string write_built(unsigned int type, const HacValue* v, int n) {
    switch (n) {
        case 0: return std::string(hac_write_thread_text(hac_build_message(type, {})));
        case 1: return std::string(hac_write_thread_text(hac_build_message(type, {v[0]})));
        case 2: return std::string(hac_write_thread_text(hac_build_message(type, {v[0], v[1]})));
        case 3: return std::string(hac_write_thread_text(hac_build_message(type, {v[0], v[1], v[2]})));
        case 4: return std::string(hac_write_thread_text(hac_build_message(type, {v[0], v[1], v[2], v[3]})));
        case 5: return std::string(hac_write_thread_text(hac_build_message(type, {v[0], v[1], v[2], v[3], v[4]})));
        default:
            return std::string(hac_write_thread_text(hac_build_message(type, {v[0], v[1], v[2], v[3], v[4], v[5]})));
    }
}

}  // namespace

// Messages of integers are written without jsoncpp: byte for byte as
// jsoncpp writes them, for every type of the catalogue and around it, any
// number of values, and integers at their edges. Messages with strings take
// jsoncpp's way and must come out the same too.
TEST(EnvelopeWrite, EveryMessageAsJsoncppWritesIt) {
    const int integers[] = {0, 1, -1, 7, 42, -100, 123456789, INT_MAX, INT_MIN};
    int compared = 0;
    for (unsigned int type : {0u, 1u, 100u, 108u, 123u, 4294967295u}) {
        const HacValue v[] = {5, 6, 7, 8, 9, 10};
        EXPECT_EQ(write_message(type, v, 2), write_built(type, v, 2)) << type;
    }
    for (const HacMessage& m : kHacMessages) {
        for (int n = 0; n <= m.count; ++n) {
            for (int integer : integers) {
                std::vector<HacValue> v;
                for (int i = 0; i < HAC_MAX_MEMBERS; ++i) {
                    if (i < m.count && m.members[i].kind == HAC_STRING)
                        v.emplace_back(integer < 0 ? "caf\xe9 \"\\\x01" : "");
                    else
                        v.emplace_back(i % 2 == 0 ? integer : -integer - 1);
                }
                EXPECT_EQ(write_message(m.type, v.data(), n), write_built(m.type, v.data(), n))
                    << m.name << " with " << n << " values of " << integer;
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 400);
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
