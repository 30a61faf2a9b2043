#include "hac_wire.h"

#include <string.h>

#include <memory>

#include "hac_catalogue.h"
#include "hac_message_records.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"

namespace hac_tool {

namespace {

int32_t header_word(const char* bytes, size_t size, int index) {
    int32_t word = 0;
    const size_t offset = sizeof(long) + 4 * (size_t)index;
    if (4 * (size_t)index + 4 <= size) memcpy(&word, bytes + offset, 4);
    return word;
}

// A HAC text is short; anything else is shown as its beginning.
std::string shortened(const std::string& text) {
    const size_t kShown = 200;
    if (text.size() <= kShown) return text;
    return text.substr(0, kShown) + "... (" + std::to_string(text.size()) + " bytes)";
}

bool parse_object(const std::string& text, Json::Value* root) {
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = 64;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    try {
        return reader->parse(text.data(), text.data() + text.size(), root, &errors) && root->isObject();
    } catch (const std::exception&) {
        return false;
    }
}

// The records of SendAitAppInfo: members "ai0", "ai1", ... each holding a
// record document as text, as many as its count member ("num") says.
void decode_records(Decoded* decoded) {
    const Json::Value& members = decoded->members;
    const char* const count = hac_message(HAC_MSG_SEND_AIT_APP_INFO)->members[0].name;
    for (int i = 0; i < 2048; ++i) {
        const std::string name = HAC_RECORD_MEMBER_STEM + std::to_string(i);
        if (!members.isMember(name)) {
            if (members.isMember(count) && members[count].isInt() && i < members[count].asInt()) continue;
            break;
        }
        const Json::Value& text = members[name];
        Json::Value document;
        VetuAITAppInfo app;
        if (!text.isString() || !parse_object(text.asString(), &document) || aitappinfo_unpacket(document, &app) != 0) {
            decoded->problem = "record " + name + " does not decode";
            continue;
        }
        Record record = ait_app_record(app);
        record.title = "app " + std::to_string(i);
        decoded->apps.push_back(record);
        decoded->members.removeMember(name);
    }
}

}  // namespace

Fragment parse_fragment(const char* bytes, size_t size) {
    Fragment fragment;
    fragment.size = size;
    fragment.whole_header = size >= kFragmentHeaderBytes;
    memcpy(&fragment.mtype, bytes, sizeof(long));
    fragment.kind = header_word(bytes, size, 0);
    fragment.total_len = header_word(bytes, size, 1);
    fragment.seq = header_word(bytes, size, 2);
    fragment.last = header_word(bytes, size, 3);
    fragment.one = header_word(bytes, size, 4);
    fragment.token = header_word(bytes, size, 5);
    fragment.chunk_len = header_word(bytes, size, 6);
    if (fragment.whole_header && fragment.chunk_len > 0) {
        const size_t present = size - kFragmentHeaderBytes;
        const size_t carried = (size_t)fragment.chunk_len < present ? (size_t)fragment.chunk_len : present;
        fragment.chunk.assign(bytes + sizeof(long) + kFragmentHeaderBytes, carried);
    }
    return fragment;
}

void add_fragment_fields(const Fragment& fragment, Record* record) {
    record->add("mtype", (Json::Int64)fragment.mtype).add("size", (Json::UInt64)fragment.size);
    if (!fragment.whole_header) {
        record->add("problem", "shorter than the header of a HAC fragment");
        return;
    }
    record->add("kind_word", fragment.kind).add("total_len", fragment.total_len).add("seq", fragment.seq);
    record->add("last", fragment.last).add("one", fragment.one).add("token", token_text(fragment.token));
    record->add("chunk_len", fragment.chunk_len);
}

JoinResult join_fragment(Join* join, const Fragment& fragment) {
    if (!fragment.whole_header) return JOIN_STRAY;
    if (fragment.seq == 1) {
        *join = Join();
        join->active = true;
        join->mtype = fragment.mtype;
        join->kind = fragment.kind;
        join->total_len = fragment.total_len;
        join->token = fragment.token;
        join->next_seq = 1;
    } else if (!join->active) {
        return JOIN_STRAY;
    }
    if (fragment.seq != join->next_seq || fragment.token != join->token || fragment.kind != join->kind ||
        fragment.total_len != join->total_len || (size_t)fragment.chunk_len != fragment.chunk.size())
        join->spoiled = true;
    join->next_seq = fragment.seq + 1;
    join->fragments.push_back(fragment);
    // A forged length must not make the tool hold more than any payload.
    if (join->bytes.size() + fragment.chunk.size() <= 4 * (size_t)IPC_MAX_PAYLOAD) join->bytes += fragment.chunk;
    if (!fragment.last) return JOIN_MORE;
    join->active = false;
    return JOIN_DONE;
}

bool join_whole(const Join& join) { return !join.spoiled && (size_t)join.total_len == join.bytes.size(); }

const char* ipc_kind_name(int kind) {
    switch (kind) {
    case IPC_KIND_STOP: return "stop";
    case IPC_KIND_MESSAGE: return "message";
    case IPC_KIND_REQUEST: return "request";
    case IPC_KIND_REPLY: return "reply";
    case IPC_KIND_NO_REPLY: return "no-reply";
    default: return "unknown";
    }
}

std::string token_text(int32_t token) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", (unsigned int)token);
    return text;
}

Decoded decode_payload(const std::string& bytes, int ipc_kind) {
    Decoded decoded;
    decoded.members = Json::Value(Json::objectValue);
    if (ipc_kind == IPC_KIND_STOP) {
        decoded.name = "(stop order)";
        return decoded;
    }
    // The peer reads up to the first NUL, as the library does.
    const std::string text = bytes.substr(0, bytes.find('\0'));
    if (ipc_kind == IPC_KIND_NO_REPLY) {
        decoded.name = "(no reply)";
        if (text != "a") decoded.text = shortened(text);
        return decoded;
    }
    Json::Value root;
    if (!parse_object(text, &root) || !root.isMember("t") || !root["t"].isIntegral()) {
        decoded.name = "(not a HAC message)";
        decoded.text = shortened(text);
        return decoded;
    }
    decoded.has_t = true;
    decoded.t = root["t"].asInt64();
    const HacMessage* message = hac_message((int)decoded.t);
    decoded.name = message ? message->name : "t=" + std::to_string(decoded.t);
    root.removeMember("t");
    decoded.members = root;
    if (decoded.t == HAC_MSG_SEND_AIT_APP_INFO) decode_records(&decoded);
    return decoded;
}

void add_decoded(const Decoded& decoded, Record* record) {
    if (decoded.has_t) record->add("t", decoded.t);
    if (!decoded.members.empty()) {
        Record members("", "", "members");
        members.flat = true;
        for (const std::string& name : decoded.members.getMemberNames()) members.add(name, decoded.members[name]);
        record->add_child("members", members);
    }
    if (!decoded.text.empty()) record->add("text", decoded.text);
    if (!decoded.problem.empty()) record->add("problem", decoded.problem);
    if (!decoded.apps.empty()) record->add_list("app", decoded.apps);
}

}  // namespace hac_tool
