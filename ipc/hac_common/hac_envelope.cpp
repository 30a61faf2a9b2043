#include "hac_envelope.h"

#include <climits>
#include <cstring>
#include <memory>
#include <sstream>

namespace {

// The styled layout of jsoncpp's toStyledString, but with string bytes
// passed through: its default writer rewrites bytes that are not valid UTF-8.
std::unique_ptr<Json::StreamWriter> make_styled_writer() {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "\t";
    builder["emitUTF8"] = true;
    return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
}

}  // namespace

Json::Value hac_new_message(unsigned int type) {
    Json::Value message(Json::objectValue);
    message["t"] = Json::Value(type);
    return message;
}

std::string hac_write_text(const Json::Value& root) {
    try {
        // A writer keeps state while it writes, so each thread has its own.
        // Made inside the try: building it allocates, and nothing may throw
        // out of the library.
        thread_local std::unique_ptr<Json::StreamWriter> writer = make_styled_writer();
        thread_local std::ostringstream stream;
        stream.str(std::string());
        stream.clear();
        writer->write(root, &stream);
        stream << '\n';
        return stream.str();
    } catch (...) {
        return std::string();
    }
}

bool hac_parse_text(const char* text, Json::Value* root) {
    if (text == nullptr || root == nullptr) return false;
    try {
        // The reader fills root as it goes: a refused text must not leave a
        // half-built value behind for a caller that ignores the result.
        *root = Json::Value();
        Json::Reader reader;
        const char* end = text + std::strlen(text);
        if (reader.parse(text, end, *root, true) && root->isObject()) return true;
    } catch (...) {
    }
    *root = Json::Value();
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
