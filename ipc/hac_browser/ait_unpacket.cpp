// The record decoder: a parsed record document back into a VetuAITAppInfo.
#include <new>
#include <utility>

#include "envelope.h"
#include "hac_catalogue.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"
#include "vetu_log.h"

static_assert(VETU_AIT_MAX_DECODED_ENTRIES == IPC_MAX_PAYLOAD / 8,
              "the decode bound follows from the message limit and the 8 bytes an entry's member takes at least");

namespace {

// The decoder logs under a module of its own, so its line is switched on and
// off apart from the client's; like the client it names its source path.
const char kLogModule[] = "hac_server";
const char kSourcePath[] = "ipc/hac_browser/ait_unpacket";

// How many entries a count member asks for, within the bound that keeps a
// forged count from allocating without end.
int bounded_count(int count) {
    return count > VETU_AIT_MAX_DECODED_ENTRIES ? VETU_AIT_MAX_DECODED_ENTRIES : count;
}

void read_transport_protocols(HacReader& in, int count, std::vector<TranProtocol>& out) {
    if (count > 0) out.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count && in.ok; ++i) {
        TranProtocol tp;
        for (const HacEntryInt& f : kHacTransportInts) tp.*f.field = in.integer(hac_indexed_member(f.stem, i).text);
        for (const HacEntryString& f : kHacTransportStrings) tp.*f.field = in.text(hac_indexed_member(f.stem, i).text);
        out.push_back(std::move(tp));
    }
}

void read_boundaries(HacReader& in, int count, std::vector<std::string>& out) {
    if (count > 0) out.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count && in.ok; ++i)
        out.push_back(in.text(hac_indexed_member(HAC_RECORD_BOUNDARY_STEM, i).text));
}

unsigned char low_byte(int value) { return static_cast<unsigned char>(value & 0xFF); }

// Fills a record with empty vectors from the document; false when a member
// has a kind jsoncpp refuses to convert.
bool read_record(const Json::Value& doc, VetuAITAppInfo& rec) {
    HacReader in(doc);
    for (const HacRecordInt& f : kHacRecordInts) rec.*f.field = in.integer(f.name);
    for (const HacRecordString& f : kHacRecordStrings) rec.*f.field = in.text(f.name);
    rec.trprn = bounded_count(in.integer(HAC_RECORD_TRANSPORT_COUNT));
    read_transport_protocols(in, rec.trprn, rec.tranprotocols);
    rec.isb = in.integer(HAC_RECORD_SERVICE_BOUND) != 0;
    rec.bn = bounded_count(in.integer(HAC_RECORD_BOUNDARY_COUNT));
    read_boundaries(in, rec.bn, rec.bd);
    for (int i = 0; i < 3; ++i) rec.iso[i] = low_byte(in.integer(hac_indexed_member(HAC_RECORD_ISO_STEM, i).text));
    return in.ok;
}

// Puts what the caller's vectors held in front of the decoded entries. Only
// the reservations allocate, and they come first, so a failure leaves the
// caller's record as it was.
void keep_in_front(VetuAITAppInfo& info, VetuAITAppInfo& decoded) {
    info.tranprotocols.reserve(info.tranprotocols.size() + decoded.tranprotocols.size());
    info.bd.reserve(info.bd.size() + decoded.bd.size());
    for (TranProtocol& tp : decoded.tranprotocols) info.tranprotocols.push_back(std::move(tp));
    for (std::string& b : decoded.bd) info.bd.push_back(std::move(b));
    decoded.tranprotocols = std::move(info.tranprotocols);
    decoded.bd = std::move(info.bd);
}

// Moves a fully decoded record into the caller's. The dispatcher hands in
// empty vectors, which need no merging.
void commit_record(VetuAITAppInfo& decoded, VetuAITAppInfo& info) {
    if (!info.tranprotocols.empty() || !info.bd.empty()) keep_in_front(info, decoded);
    info = std::move(decoded);
}

}  // namespace

int aitappinfo_unpacket(Json::Value root, VetuAITAppInfo* info) {
    if (info == nullptr) {
        vetu_log_print(LOG_TYPE_ERROR, kLogModule, kSourcePath, "aitappinfo_unpacket", __LINE__, nullptr, nullptr);
        return VETU_ERR_REFUSED;
    }
    // A null root is a document without members; anything else that is not
    // an object cannot be a record.
    if (!root.isObject() && !root.isNull()) return VETU_ERR_FAILED;
    try {
        VetuAITAppInfo decoded;
        if (!read_record(root, decoded)) return VETU_ERR_FAILED;
        commit_record(decoded, *info);
        return 0;
    } catch (const std::bad_alloc&) {
        return VETU_ERR_NO_MEMORY;
    } catch (...) {
        return VETU_ERR_FAILED;
    }
}
