#include "envelope.h"

#include <pthread.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <ostream>
#include <streambuf>

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

// A stream buffer that appends to a string, so that the text is written in
// place rather than copied out of a string stream afterwards.
class StringSink : public std::streambuf {
public:
    explicit StringSink(std::string* out) : out_(out) {}

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) out_->push_back(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        out_->append(s, static_cast<size_t>(n));
        return n;
    }

private:
    std::string* out_;
};

// What a thread keeps to write and read messages: a writer keeps state
// while it writes, and the text keeps its capacity from one message to the
// next, so that steady traffic does not allocate for them. Held under a
// thread key rather than in thread_local objects: registering the
// destructor of a thread_local object aborts the process when memory is
// short, a key's destructor needs no registration.
struct ThreadCodec {
    std::unique_ptr<Json::StreamWriter> writer = make_styled_writer();
    std::string text;
    StringSink sink{&text};
    std::ostream stream{&sink};
    Json::Reader reader;
};

pthread_once_t g_codec_once = PTHREAD_ONCE_INIT;
pthread_key_t g_codec_key;
bool g_codec_key_made = false;

void destroy_codec(void* codec) { delete static_cast<ThreadCodec*>(codec); }

void make_codec_key() { g_codec_key_made = pthread_key_create(&g_codec_key, destroy_codec) == 0; }

// The calling thread's codec, made at its first use; null when memory (or
// the process's supply of thread keys) has run out.
ThreadCodec* thread_codec() {
    pthread_once(&g_codec_once, make_codec_key);
    if (!g_codec_key_made) return nullptr;
    ThreadCodec* codec = static_cast<ThreadCodec*>(pthread_getspecific(g_codec_key));
    if (codec != nullptr) return codec;
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

const std::string* hac_write_thread_text(const Json::Value& root) {
    ThreadCodec* codec = thread_codec();
    if (codec == nullptr) return nullptr;
    try {
        codec->text.clear();
        codec->stream.clear();
        codec->writer->write(root, &codec->stream);
        codec->stream << '\n';
        // The stream swallows a failed growth of the text and only marks
        // itself bad: a cut text must not go out as a message.
        if (!codec->stream) return nullptr;
        return &codec->text;
    } catch (...) {
        return nullptr;
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

std::string hac_indexed_member(const char* stem, int index) {
    return std::string(stem) + std::to_string(index);
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
