#include "envelope.h"

#include <pthread.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <streambuf>
#include <string_view>

#include "vetu_status.h"

namespace {

// The styled layout of jsoncpp's toStyledString, but with string bytes
// passed through: its default writer rewrites bytes that are not valid UTF-8.
std::unique_ptr<Json::StreamWriter> make_styled_writer() {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "\t";
    builder["emitUTF8"] = true;
    return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
}

// The stream buffer the writer writes into: its put area is the thread's
// text buffer, which keeps its size from one text to the next, so that
// steady traffic does not allocate for it.
class TextSink : public std::streambuf {
public:
    TextSink() = default;
    ~TextSink() override { free(buffer_); }
    TextSink(const TextSink&) = delete;
    TextSink& operator=(const TextSink&) = delete;

    // Starts a new text at the start of the buffer.
    void restart() { setp(buffer_, buffer_ + capacity_); }

    // Ends the text with a newline and a NUL after it (not counted); false
    // when the buffer could not grow for them.
    bool finish() { return !traits_type::eq_int_type(sputc('\n'), traits_type::eof()) && terminate(); }

    // A new text to be written straight into the buffer, of fewer than
    // room bytes: the buffer to write it into, or null when it could not
    // grow for them. end_text says how long it came out.
    char* start_text(size_t room) {
        while (capacity_ < room)
            if (!grow()) return nullptr;
        restart();
        return buffer_;
    }

    void end_text(size_t n) {
        buffer_[n] = '\0';
        pbump(static_cast<int>(n));
    }

    std::string_view text() const { return std::string_view(pbase(), static_cast<size_t>(pptr() - pbase())); }

protected:
    // Every piece of text but single characters comes here (those the
    // stream puts into the put area itself): copied in one go, or, when it
    // does not fit, the stream buffer's own way, which grows through
    // overflow.
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (n <= 0) return 0;
        if (n > epptr() - pptr()) return std::streambuf::xsputn(s, n);
        std::memcpy(pptr(), s, static_cast<size_t>(n));
        pbump(static_cast<int>(n));
        return n;
    }

    // The put area is full: grows the buffer, keeping what it holds. A
    // failed growth answers eof, which the stream records as bad.
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        if (pptr() == epptr() && !grow()) return traits_type::eof();
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
        return c;
    }

private:
    // A NUL after the text, not counted in it.
    bool terminate() {
        if (traits_type::eq_int_type(sputc('\0'), traits_type::eof())) return false;
        pbump(-1);
        return true;
    }

    static constexpr size_t kFirstCapacity = 256;
    // The largest buffer: pbump counts in int.
    static constexpr size_t kMaxCapacity = static_cast<size_t>(INT_MAX) / 2 + 1;

    bool grow() {
        if (capacity_ >= kMaxCapacity) return false;
        const size_t used = static_cast<size_t>(pptr() - pbase());
        const size_t wanted = capacity_ == 0 ? kFirstCapacity : 2 * capacity_;
        char* moved = static_cast<char*>(realloc(buffer_, wanted));
        if (moved == nullptr) return false;
        buffer_ = moved;
        capacity_ = wanted;
        setp(buffer_, buffer_ + capacity_);
        pbump(static_cast<int>(used));
        return true;
    }

    char* buffer_ = nullptr;
    size_t capacity_ = 0;
};

// What a thread keeps to write and read messages: a writer keeps state
// while it writes, and the text keeps its buffer. Held under a thread key
// rather than in thread_local objects: registering the destructor of a
// thread_local object aborts the process when memory is short, a key's
// destructor needs no registration.
struct ThreadCodec {
    std::unique_ptr<Json::StreamWriter> writer = make_styled_writer();
    TextSink sink;
    std::ostream stream{&sink};
    Json::Reader reader;
};

pthread_once_t g_codec_once = PTHREAD_ONCE_INIT;
pthread_key_t g_codec_key;
bool g_codec_key_made = false;

// The thread's codec once made, in front of the key: a plain pointer,
// which needs no destructor, read without the once-control and the key's
// lookup that every message would otherwise pay several times.
thread_local ThreadCodec* t_codec = nullptr;

void destroy_codec(void* codec) {
    // Runs on the exiting thread: a later use on it makes a codec anew.
    if (t_codec == codec) t_codec = nullptr;
    delete static_cast<ThreadCodec*>(codec);
}

void make_codec_key() { g_codec_key_made = pthread_key_create(&g_codec_key, destroy_codec) == 0; }

// Makes the calling thread's codec and registers it with the key; null
// when memory (or the process's supply of thread keys) has run out.
ThreadCodec* make_thread_codec() {
    pthread_once(&g_codec_once, make_codec_key);
    if (!g_codec_key_made) return nullptr;
    ThreadCodec* codec = nullptr;
    try {
        codec = new ThreadCodec;
    } catch (...) {
        return nullptr;
    }
    if (pthread_setspecific(g_codec_key, codec) != 0) {
        delete codec;
        return nullptr;
    }
    return codec;
}

// The calling thread's codec, made at its first use; null when it cannot
// be made.
ThreadCodec* thread_codec() {
    if (t_codec == nullptr) t_codec = make_thread_codec();
    return t_codec;
}

/* ---- messages of integers, written without jsoncpp ---- */

// Most messages carry only integers: their text is written here, byte for
// byte as jsoncpp's writer writes it (EnvelopeWrite tests compare the two
// for the whole catalogue), without building a Json::Value for it. The
// writer puts an object's members in the order of their names (byte order),
// "t" among them; every name of the catalogue is plain, so that it is
// written as it is. Messages with a string member take jsoncpp's way.

constexpr const char kTypeMember[] = "t";
constexpr size_t kMaxNameLength = 16;

constexpr bool name_is_plain(const char* name) {
    size_t n = 0;
    for (; name[n] != '\0'; ++n)
        if (!((name[n] >= 'a' && name[n] <= 'z') || (name[n] >= '0' && name[n] <= '9'))) return false;
    return n > 0 && n <= kMaxNameLength;
}

constexpr bool same_name(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

// Byte order, a name before every longer name it begins: jsoncpp's order
// of member names.
constexpr bool name_before(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b);
}

// Every member name plain and apart from "t" and from the other names of
// its message, so that each is written as it is, once.
constexpr bool catalogue_names_plain() {
    for (const HacMessage& m : kHacMessages)
        for (int i = 0; i < m.count; ++i) {
            if (!name_is_plain(m.members[i].name) || same_name(m.members[i].name, kTypeMember)) return false;
            for (int j = 0; j < i; ++j)
                if (same_name(m.members[i].name, m.members[j].name)) return false;
        }
    return true;
}
static_assert(catalogue_names_plain(), "member names of the catalogue are written without escapes");

constexpr size_t kCatalogueSize = sizeof kHacMessages / sizeof kHacMessages[0];

// One member's line in a message's text, up to its value: ",\n\t\"name\" : ",
// the comma left out for the first member. Kept padded to a fixed size, so
// that it is copied whole and the text moves on by its length.
constexpr size_t kLineSize = 32;
struct MemberLine {
    char text[kLineSize];
    size_t length;
};
static_assert(sizeof ",\n\t\"\" : " - 1 + kMaxNameLength < kLineSize, "a line and its padding fit");

constexpr MemberLine member_line(const char* name) {
    MemberLine line{};
    size_t n = 0;
    for (const char* p = ",\n\t\""; *p != '\0'; ++p) line.text[n++] = *p;
    for (const char* p = name; *p != '\0'; ++p) line.text[n++] = *p;
    for (const char* p = "\" : "; *p != '\0'; ++p) line.text[n++] = *p;
    line.length = n;
    return line;
}

// The line of "t" with the message's type, known with the catalogue.
constexpr MemberLine type_line(unsigned int type) {
    MemberLine line = member_line(kTypeMember);
    char digits[10] = {};
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + type % 10);
        type /= 10;
    } while (type != 0);
    while (count > 0) line.text[line.length++] = digits[--count];
    return line;
}

// The members of a message in the order of its text: the catalogue index
// of each (-1 for "t") and its line, which for "t" holds the type too when
// it is a type of the catalogue.
struct TextOrder {
    int count;
    bool type_in_line;
    signed char at[HAC_MAX_MEMBERS + 1];
    MemberLine line[HAC_MAX_MEMBERS + 1];
};
struct TextOrders {
    TextOrder of[kCatalogueSize];
};

constexpr const char* name_at(const HacMessage& m, int at) { return at < 0 ? kTypeMember : m.members[at].name; }

constexpr TextOrder text_order(const HacMessage& m) {
    TextOrder order{};
    order.count = m.count + 1;
    order.type_in_line = true;
    order.at[0] = -1;
    for (int i = 0; i < m.count; ++i) order.at[i + 1] = static_cast<signed char>(i);
    for (int i = 1; i < order.count; ++i)
        for (int j = i; j > 0 && name_before(name_at(m, order.at[j]), name_at(m, order.at[j - 1])); --j) {
            const signed char moved = order.at[j];
            order.at[j] = order.at[j - 1];
            order.at[j - 1] = moved;
        }
    for (int k = 0; k < order.count; ++k)
        order.line[k] = order.at[k] < 0 ? type_line(m.type) : member_line(m.members[order.at[k]].name);
    return order;
}

constexpr TextOrders text_orders() {
    TextOrders orders{};
    for (size_t i = 0; i < kCatalogueSize; ++i) orders.of[i] = text_order(kHacMessages[i]);
    return orders;
}

constexpr TextOrders kTextOrders = text_orders();
// A type the catalogue has not: "t" alone, its value written each time.
constexpr TextOrder kTypeOnly = {1, false, {-1}, {member_line(kTypeMember)}};

// "{", the members' lines and values (ten digits and a sign at most), "\n}\n";
// with room for the whole padded line and ten digits copied at the end.
constexpr size_t kMaxPlainText = 1 + (HAC_MAX_MEMBERS + 1) * (kLineSize + 11) + 3 + kLineSize;

// "00" to "99": two digits per division.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The decimal digits of a magnitude at out; returns the end. Ten bytes are
// copied whatever the count: the text has room for them. Most values and
// indexes of the channel are a single digit.
char* put_digits(char* out, unsigned int magnitude) {
    if (magnitude < 10) {
        *out = static_cast<char>('0' + magnitude);
        return out + 1;
    }
    char digits[20];
    char* first = digits + 10;
    while (magnitude >= 100) {
        const char* pair = kDigitPairs + 2 * (magnitude % 100);
        magnitude /= 100;
        *--first = pair[1];
        *--first = pair[0];
    }
    if (magnitude >= 10) {
        const char* pair = kDigitPairs + 2 * magnitude;
        *--first = pair[1];
        *--first = pair[0];
    } else {
        *--first = static_cast<char>('0' + magnitude);
    }
    std::memcpy(out, first, 10);
    return out + (digits + 10 - first);
}

// An int in decimal, with a sign below 0; -INT_MIN does not fit in an int.
char* put_signed(char* out, int value) {
    if (value >= 0) return put_digits(out, static_cast<unsigned int>(value));
    *out++ = '-';
    return put_digits(out, 0u - static_cast<unsigned int>(value));
}

// A member's line.
char* put_line(char* out, const MemberLine& line, bool first) {
    const size_t skip = first ? 1 : 0;
    std::memcpy(out, line.text + skip, kLineSize - 1);
    return out + line.length - skip;
}

// A member's line and value.
char* put_member(char* out, const MemberLine& line, bool first, HacKind kind, unsigned int bits) {
    out = put_line(out, line, first);
    if (kind == HAC_INT) return put_signed(out, static_cast<int>(bits));
    return put_digits(out, bits);
}

// Whether one of the first `given` members of the message is a string.
bool has_string_member(const HacMessage* entry, int given) {
    for (int i = 0; i < given; ++i)
        if (entry->members[i].kind == HAC_STRING) return true;
    return false;
}

// The text of a message of integers into text (kMaxPlainText bytes);
// returns its length.
size_t write_plain_message(char* text, unsigned int type, const HacMessage* entry, const HacValue* values, int given) {
    const TextOrder& order = entry != nullptr ? kTextOrders.of[entry - kHacMessages] : kTypeOnly;
    char* out = text;
    *out++ = '{';
    bool first = true;
    for (int k = 0; k < order.count; ++k) {
        const int at = order.at[k];
        if (at >= given) continue;  // a member without a value is left out
        if (at < 0 && order.type_in_line)
            out = put_line(out, order.line[k], first);
        else if (at < 0)
            out = put_member(out, order.line[k], first, HAC_UINT, type);
        else
            out = put_member(out, order.line[k], first, entry->members[at].kind,
                             static_cast<unsigned int>(values[at].integer));
        first = false;
    }
    std::memcpy(out, "\n}\n", 3);
    return static_cast<size_t>(out + 3 - text);
}

// jsoncpp reports a failed allocation of its own string buffers as a
// Json::RuntimeError with this text, not as std::bad_alloc; its other
// runtime errors (nesting too deep) are refusals of the text.
bool out_of_memory(const std::exception& e) {
    return dynamic_cast<const std::bad_alloc*>(&e) != nullptr || std::strstr(e.what(), "Failed to allocate") != nullptr;
}

}  // namespace

Json::Value hac_new_message(unsigned int type) {
    Json::Value message(Json::objectValue);
    message["t"] = Json::Value(type);
    return message;
}

std::string_view hac_write_thread_text(const Json::Value& root) {
    ThreadCodec* codec = thread_codec();
    if (codec == nullptr) return {};
    try {
        codec->sink.restart();
        codec->stream.clear();
        codec->writer->write(root, &codec->stream);
        // The stream swallows a failed growth of the text and only marks
        // itself bad: a cut text must not go out as a message.
        if (!codec->stream || !codec->sink.finish()) return {};
        return codec->sink.text();
    } catch (...) {
        return {};
    }
}

std::string_view hac_write_message(unsigned int type, std::initializer_list<HacValue> values) {
    const HacMessage* entry = hac_message(type);
    const int given = entry == nullptr ? 0 : std::min(static_cast<int>(values.size()), entry->count);
    if (entry != nullptr && has_string_member(entry, given)) {
        try {
            return hac_write_thread_text(hac_build_message(type, values));
        } catch (...) {
            return {};  // memory ran out while the message was built
        }
    }
    ThreadCodec* codec = thread_codec();
    if (codec == nullptr) return {};
    char* text = codec->sink.start_text(kMaxPlainText);
    if (text == nullptr) return {};
    codec->sink.end_text(write_plain_message(text, type, entry, values.begin(), given));
    return codec->sink.text();
}

bool hac_parse_text(const char* text, Json::Value* root, int* failure) {
    int status = VETU_ERR_FAILED;
    if (text == nullptr || root == nullptr) {
        if (failure != nullptr) *failure = status;
        return false;
    }
    try {
        // The reader fills root as it goes: a refused text must not leave a
        // half-built value behind for a caller that ignores the result.
        *root = Json::Value();
        // The thread's own reader: constructing one allocates its stacks,
        // and parse starts each text from a clean state.
        ThreadCodec* codec = thread_codec();
        if (codec == nullptr) status = VETU_ERR_NO_MEMORY;
        const char* end = text + std::strlen(text);
        if (codec != nullptr && codec->reader.parse(text, end, *root, true) && root->isObject()) return true;
    } catch (const std::exception& e) {
        if (out_of_memory(e)) status = VETU_ERR_NO_MEMORY;
    } catch (...) {
    }
    *root = Json::Value();
    if (failure != nullptr) *failure = status;
    return false;
}

HacMemberName hac_indexed_member(const char* stem, int index) {
    HacMemberName name;
    size_t n = 0;
    for (; n < HAC_MAX_STEM && stem[n] != '\0'; ++n) name.text[n] = stem[n];
    *put_signed(name.text + n, index) = '\0';
    return name;
}

int HacReader::integer(const char* member) {
    try {
        return root[member].asInt();
    } catch (...) {
        ok = false;
        return 0;
    }
}

int HacReader::unsigned_bits(const char* member) {
    try {
        const Json::Value& v = root[member];
        if (v.isUInt() && !v.isInt()) return static_cast<int>(v.asUInt());
        return v.asInt();
    } catch (...) {
        ok = false;
        return 0;
    }
}

// A copy that fails for lack of memory is no refused conversion: it goes
// on to the caller's handler, which reports no memory.
std::string HacReader::text(const char* member) {
    try {
        return root[member].asString();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        ok = false;
        return std::string();
    }
}

const char* HacReader::text_in_place(const char* member, std::string* converted) {
    try {
        const Json::Value& value = root[member];
        // jsoncpp keeps a NUL after a string's bytes.
        const char* begin = nullptr;
        const char* end = nullptr;
        if (value.isString() && value.getString(&begin, &end)) return begin;
        *converted = value.asString();
        return converted->c_str();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        ok = false;
        return "";
    }
}

Json::Value hac_build_message(unsigned int type, std::initializer_list<HacValue> values) {
    Json::Value message = hac_new_message(type);
    const HacMessage* entry = hac_message(type);
    if (entry == nullptr) return message;
    int i = 0;
    for (const HacValue& value : values) {
        if (i == entry->count) break;
        const HacMember& member = entry->members[i++];
        if (member.kind == HAC_STRING)
            message[member.name] = Json::Value(value.text != nullptr ? value.text : "");
        else if (member.kind == HAC_UINT)
            message[member.name] = Json::Value(static_cast<unsigned int>(value.integer));
        else
            message[member.name] = Json::Value(value.integer);
    }
    return message;
}

bool hac_read_members(const Json::Value& message, unsigned int type, HacFields* out) {
    const HacMessage* entry = hac_message(type);
    if (entry == nullptr) return false;
    HacReader reader(message);
    for (int i = 0; i < entry->count; ++i) {
        const HacMember& member = entry->members[i];
        if (!member.read) continue;
        if (member.kind == HAC_STRING)
            out->texts[i] = reader.text(member.name);
        else if (member.kind == HAC_UINT)
            out->integers[i] = reader.unsigned_bits(member.name);
        else
            out->integers[i] = reader.integer(member.name);
    }
    return reader.ok;
}
