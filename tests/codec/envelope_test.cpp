// The envelope both halves write and read messages with.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "envelope.h"

namespace {

Json::Value parsed(const std::string& text) {
    Json::Value root;
    EXPECT_TRUE(hac_parse_text(text.c_str(), &root)) << text;
    return root;
}

// hac_write_message with the first n of v, copied out of the thread's
// buffer, which the next text reuses.
std::string written(unsigned int type, const HacValue* v, int n) {
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

}  // namespace

// "t" unsigned, other integers signed, the styled layout of jsoncpp, and
// string bytes passed through where jsoncpp's default writer rewrites them.
TEST(EnvelopeWrite, StyledLayoutUnsignedTypeAndStringBytesAsTheyAre) {
    Json::Value m = hac_new_message(0xFFFFFFFFu);
    m["n"] = Json::Value(-1);
    m["s"] = "x";
    EXPECT_EQ(hac_write_thread_text(m), "{\n\t\"n\" : -1,\n\t\"s\" : \"x\",\n\t\"t\" : 4294967295\n}\n");
    std::string bytes;
    for (int b = 0; b <= 255; ++b) bytes.push_back(static_cast<char>(b));
    m["s"] = bytes += "caf\xe9\xc3\x28";
    const std::string text(hac_write_thread_text(m));
    EXPECT_NE(text.find("caf\xe9\xc3\x28"), std::string::npos);
    EXPECT_NE(text.find("\\u0000"), std::string::npos);
    EXPECT_EQ(m.toStyledString().find("caf\xe9"), std::string::npos);
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

// Messages of integers are written without jsoncpp: byte for byte as
// jsoncpp writes the message, for every type of the catalogue and around
// it, any number of values, and integers at their edges. Messages with
// strings take jsoncpp's way and must come out the same too.
TEST(EnvelopeWrite, EveryMessageAsJsoncppWritesIt) {
    const HacValue outside[] = {5, 6};
    for (unsigned int type : {0u, 1u, 100u, 108u, 123u, 4294967295u})
        EXPECT_EQ(written(type, outside, 2), std::string(hac_write_thread_text(hac_new_message(type)))) << type;
    for (const HacMessage& m : kHacMessages) {
        for (int integer : {0, 1, -1, 7, 42, -100, 123456789, INT_MAX, INT_MIN}) {
            std::vector<HacValue> v;
            Json::Value expected = hac_new_message(m.type);
            for (int n = 0;; ++n) {
                EXPECT_EQ(written(m.type, v.data(), n), std::string(hac_write_thread_text(expected)))
                    << m.name << " with " << n << " values of " << integer;
                if (n == m.count) break;
                const HacMember& member = m.members[n];
                const HacValue value = member.kind == HAC_STRING ? HacValue(integer < 0 ? "caf\xe9 \"\\\x01" : "")
                                                                 : HacValue(n % 2 == 0 ? integer : -integer - 1);
                v.push_back(value);
                if (member.kind == HAC_STRING)
                    expected[member.name] = value.text;
                else if (member.kind == HAC_UINT)
                    expected[member.name] = static_cast<unsigned int>(value.integer);
                else
                    expected[member.name] = value.integer;
            }
        }
    }
}

TEST(EnvelopeWrite, IndexedMemberNamesInDecimal) {
    EXPECT_STREQ(hac_indexed_member("bu", 10).text, "bu10");
    EXPECT_STREQ(hac_indexed_member("x", INT_MIN).text, "x-2147483648");
    EXPECT_STREQ(hac_indexed_member("", 7).text, "7");
}

TEST(EnvelopeRead, AbsentMembersReadAsZeroAndUnsignedBitsAreKept) {
    const Json::Value m = parsed(R"({"a": 2147483648, "b": 4294967295, "c": -5, "d": 7, "e": 4294967296})");
    HacReader in(m);
    EXPECT_EQ(in.unsigned_bits("a"), INT_MIN);
    EXPECT_EQ(in.unsigned_bits("b"), -1);
    EXPECT_EQ(in.unsigned_bits("c"), -5);
    EXPECT_EQ(in.unsigned_bits("d"), 7);
    EXPECT_EQ(in.integer("absent") + in.unsigned_bits("absent"), 0);
    EXPECT_EQ(in.text("absent"), "");
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
}

TEST(EnvelopeRead, TextInPlaceReadsWhatTextReadsAndAStringWithoutACopy) {
    Json::Value m = parsed(R"({"s": "doc", "n": 5, "b": true, "z": null, "o": {}})");
    m["nul"] = std::string("a\0b", 3);
    const Json::Value& message = m;
    for (const char* member : {"s", "n", "b", "z", "absent", "nul", "o"}) {
        HacReader copied(message);
        HacReader in_place(message);
        std::string converted;
        const char* text = in_place.text_in_place(member, &converted);
        EXPECT_EQ(std::string(text), copied.text(member).c_str()) << member;
        EXPECT_EQ(in_place.ok, copied.ok) << member;
        if (message[member].isString()) {
            EXPECT_EQ(text, message[member].asCString()) << member << ": the string's own bytes";
        }
    }
}

TEST(EnvelopeParse, RefusesWhatIsNotAMessageObject) {
    std::string deep_objects;
    for (int i = 0; i < 3000; ++i) deep_objects += "{\"a\":";
    for (const std::string& text : {std::string(""), std::string("[1]"), std::string("5"), std::string("\"s\""),
                                    std::string("null"), std::string("{\"a\":"), std::string("not json"),
                                    std::string(5000, '['), deep_objects}) {
        Json::Value root(7);
        EXPECT_FALSE(hac_parse_text(text.c_str(), &root)) << text.substr(0, 20);
        EXPECT_TRUE(root.isNull());
    }
    Json::Value root;
    EXPECT_FALSE(hac_parse_text(nullptr, &root));
    EXPECT_FALSE(hac_parse_text("{}", nullptr));
}

TEST(EnvelopeParse, StopsAtTheFirstNul) {
    const Json::Value m = parsed(std::string("{\"t\": 101}\0garbage", 18));
    EXPECT_EQ(HacReader(m).integer("t"), 101);
}
