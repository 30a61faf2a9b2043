/*
 * The HAC message envelope, shared by both halves and the record codec: how
 * a message is built, written as text and read back. Private to the library.
 *
 * Writing: "t" is an unsigned JSON integer, every other integer signed. The
 * text has the styled layout (tab indentation, a closing newline) and carries
 * string bytes unchanged, whatever their encoding.
 *
 * Reading never throws: jsoncpp's refusals (a string where an integer is
 * due, an integer out of range, a root that is not an object, nesting beyond
 * the reader's limit) turn into a failed read. An absent member reads as 0
 * or the empty string.
 */
#ifndef HAC_PRIVATE_ENVELOPE_H
#define HAC_PRIVATE_ENVELOPE_H

#include <json/json.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "hac_catalogue.h"

/* A message object holding only "t" (unsigned). */
Json::Value hac_new_message(unsigned int type);

/* Styled text of a message or record document, bytes passed through,
 * written into the calling thread's own buffer, with a NUL after it: valid
 * until the thread writes again. Empty when memory runs out (a text is
 * never empty: it ends with a newline). */
std::string_view hac_write_thread_text(const Json::Value& root);

/* Parses text up to its first NUL into root. False when it does not parse,
 * its root is not an object, or the reader throws; root is then null, and
 * *failure (when given) tells -4 (memory ran out) from -1 (not a message). */
bool hac_parse_text(const char* text, Json::Value* root, int* failure = nullptr);

/* Name of a numbered member ("ai" and 3 give "ai3", "bu" and 10 "bu10"):
 * the index in decimal, no sign for 0 and up, no leading zeros. Made in
 * place, without allocating: a record has dozens of them. A stem is one
 * of the catalogue's, of a few letters; one over HAC_MAX_STEM characters
 * is cut there. */
#define HAC_MAX_STEM 16
struct HacMemberName {
    char text[HAC_MAX_STEM + 12]; /* the stem, a sign, ten digits, a NUL */
};
HacMemberName hac_indexed_member(const char* stem, int index);

/* The text of one AIT record's document, as aitappinfo_packet writes it,
 * in the calling thread's buffer as hac_write_thread_text leaves it: the
 * client puts it into its message without a copy of its own. Empty when
 * memory runs out. */
std::string_view hac_write_record_text(const VetuAITAppInfo& info);

/* Reads members of a parsed object without throwing. Each read records a
 * refused conversion in ok, so a caller reads every member it needs and
 * tests ok once at the end. */
struct HacReader {
    const Json::Value& root;
    bool ok;

    explicit HacReader(const Json::Value& message) : root(message), ok(true) {}
    /* The reader keeps a reference: a temporary message would be gone
     * before the first read. */
    explicit HacReader(Json::Value&&) = delete;

    /* Signed integer (asInt); absent reads as 0. */
    int integer(const char* member);
    /* Unsigned 32-bit member handed on with its bits unchanged in an int
     * (0x80000000 reads as INT_MIN); signed values in int range read as is. */
    int unsigned_bits(const char* member);
    /* String (asString); absent reads as "". A copy that runs out of
     * memory throws std::bad_alloc, for the caller to report no memory. */
    std::string text(const char* member);
    /* The same text, NUL-terminated, without a copy when the member is a
     * string: its bytes in the message, valid while the message lives. A
     * member of another kind is converted into *converted, as text() does. */
    const char* text_in_place(const char* member, std::string* converted);
};

/* The value of one member of a catalogue message: an integer, written
 * signed or unsigned as the catalogue's kind says, or a string. */
struct HacValue {
    HacValue(int value) : integer(value) {}
    HacValue(unsigned int value) : integer(static_cast<int>(value)) {}
    HacValue(const char* value) : text(value) {}
    HacValue(const std::string& value) : text(value.c_str()) {}
    int integer = 0;
    const char* text = nullptr;
};

/* The message of a catalogue type with the values of its members, in the
 * catalogue's order; members without a value are left out. */
Json::Value hac_build_message(unsigned int type, std::initializer_list<HacValue> values);

/* The text of a catalogue message with the values of its members (as
 * hac_build_message takes them), in the calling thread's buffer, as
 * hac_write_thread_text writes the message hac_build_message builds: the
 * same bytes, written without jsoncpp for a message of integers. Empty when
 * memory runs out. */
std::string_view hac_write_message(unsigned int type, std::initializer_list<HacValue> values);

/* The members of a catalogue message that its receiver reads, in the
 * catalogue's order: an integer member in integers[i], a string member in
 * texts[i]. */
struct HacFields {
    int integers[HAC_MAX_MEMBERS] = {0};
    std::string texts[HAC_MAX_MEMBERS];
};

/* Reads them from a parsed message, an unsigned member with its bits kept;
 * false when one has a kind jsoncpp refuses to convert. */
bool hac_read_members(const Json::Value& message, unsigned int type, HacFields* out);

#endif /* HAC_PRIVATE_ENVELOPE_H */
