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
    // A writer keeps state while it writes, so each thread has its own.
    thread_local std::unique_ptr<Json::StreamWriter> writer = make_styled_writer();
    thread_local std::ostringstream stream;
    try {
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
        Json::Reader reader;
        const char* end = text + std::strlen(text);
        if (!reader.parse(text, end, *root, true)) return false;
        return root->isObject();
    } catch (...) {
        return false;
    }
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
