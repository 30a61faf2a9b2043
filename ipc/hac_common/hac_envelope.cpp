#include "envelope.h"

#include <pthread.h>

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
    bool finish() {
        if (traits_type::eq_int_type(sputc('\n'), traits_type::eof())) return false;
        if (traits_type::eq_int_type(sputc('\0'), traits_type::eof())) return false;
        pbump(-1);
        return true;
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
    if (index < 0) name.text[n++] = '-';
    // The magnitude as unsigned: -INT_MIN does not fit in an int.
    unsigned int rest = index < 0 ? 0u - static_cast<unsigned int>(index) : static_cast<unsigned int>(index);
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    while (count > 0) name.text[n++] = digits[--count];
    name.text[n] = '\0';
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

std::string HacReader::text(const char* member) {
    try {
        return root[member].asString();
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
