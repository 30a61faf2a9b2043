// The record encoder: one VetuAITAppInfo to the text of its record document.
#include <algorithm>

#include "envelope.h"
#include "vetu_hac.h"

namespace {

// The number of entries to write: the caller's count, but never more than
// the vector holds (see aitappinfo_packet in vetu_hac.h).
template <typename T>
int entries_to_write(int count, const std::vector<T>& entries) {
    if (count <= 0) return count;
    return static_cast<int>(std::min<size_t>(static_cast<size_t>(count), entries.size()));
}

void add_transport_protocols(const VetuAITAppInfo& info, int count, Json::Value& doc) {
    for (int i = 0; i < count; ++i) {
        const TranProtocol& tp = info.tranprotocols[static_cast<size_t>(i)];
        doc[hac_indexed_member("pi", i)] = Json::Value(tp.pi);
        doc[hac_indexed_member("bu", i)] = Json::Value(tp.bu);
        doc[hac_indexed_member("ip", i)] = Json::Value(tp.ip);
        doc[hac_indexed_member("pp", i)] = Json::Value(tp.pp);
    }
}

void add_boundaries(const VetuAITAppInfo& info, int count, Json::Value& doc) {
    for (int i = 0; i < count; ++i) doc[hac_indexed_member("bd", i)] = Json::Value(info.bd[static_cast<size_t>(i)]);
}

Json::Value build_record_document(const VetuAITAppInfo& info) {
    const int trprn = entries_to_write(info.trprn, info.tranprotocols);
    const int bn = entries_to_write(info.bn, info.bd);

    Json::Value doc = hac_new_message(1);
    doc["appid"] = Json::Value(info.appid);
    doc["orgid"] = Json::Value(info.orgid);
    doc["visib"] = Json::Value(info.visib);
    doc["prior"] = Json::Value(info.prior);
    doc["ctrco"] = Json::Value(info.ctrco);
    doc["ipflag"] = Json::Value(info.ipflag);
    doc["trprn"] = Json::Value(trprn);
    add_transport_protocols(info, trprn, doc);
    doc["isb"] = Json::Value(info.isb ? 1 : 0);
    doc["bn"] = Json::Value(bn);
    add_boundaries(info, bn, doc);
    doc["lang"] = Json::Value(info.lang);
    doc["iso0"] = Json::Value(static_cast<int>(info.iso[0]));
    doc["iso1"] = Json::Value(static_cast<int>(info.iso[1]));
    doc["iso2"] = Json::Value(static_cast<int>(info.iso[2]));
    doc["name"] = Json::Value(info.name);
    doc["iconloc"] = Json::Value(info.iconloc);
    doc["iconflag"] = Json::Value(info.iconflag);
    doc["appuse"] = Json::Value(info.appuse);
    doc["serid"] = Json::Value(info.serid);
    doc["aitver"] = Json::Value(info.aitver);
    doc["apptype"] = Json::Value(info.apptype);
    doc["profile"] = Json::Value(info.profile);
    doc["profileversion"] = Json::Value(info.profileversion);
    return doc;
}

}  // namespace

int aitappinfo_packet(const VetuAITAppInfo* info, std::string& out) {
    if (info == nullptr) return VETU_ERR_REFUSED;
    try {
        const std::string* text = hac_write_thread_text(build_record_document(*info));
        if (text == nullptr) return VETU_ERR_NO_MEMORY;
        out.assign(*text);
        return 0;
    } catch (...) {
        // Only allocation can fail while the document is built.
        return VETU_ERR_NO_MEMORY;
    }
}
