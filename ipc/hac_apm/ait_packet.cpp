// The record encoder: one VetuAITAppInfo to the text of its record document.
#include <algorithm>
#include <string>
#include <string_view>

#include "envelope.h"
#include "hac_catalogue.h"
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
        for (const HacEntryInt& f : kHacTransportInts)
            doc[hac_indexed_member(f.stem, i).text] = Json::Value(tp.*f.field);
        for (const HacEntryString& f : kHacTransportStrings)
            doc[hac_indexed_member(f.stem, i).text] = Json::Value(tp.*f.field);
    }
}

void add_boundaries(const VetuAITAppInfo& info, int count, Json::Value& doc) {
    for (int i = 0; i < count; ++i)
        doc[hac_indexed_member(HAC_RECORD_BOUNDARY_STEM, i).text] = Json::Value(info.bd[static_cast<size_t>(i)]);
}

// The writer orders the members of the text by itself: the order they are
// added in carries no meaning.
Json::Value build_record_document(const VetuAITAppInfo& info) {
    const int trprn = entries_to_write(info.trprn, info.tranprotocols);
    const int bn = entries_to_write(info.bn, info.bd);

    Json::Value doc = hac_new_message(1);
    for (const HacRecordInt& f : kHacRecordInts) doc[f.name] = Json::Value(info.*f.field);
    for (const HacRecordString& f : kHacRecordStrings) doc[f.name] = Json::Value(info.*f.field);
    doc[HAC_RECORD_TRANSPORT_COUNT] = Json::Value(trprn);
    add_transport_protocols(info, trprn, doc);
    doc[HAC_RECORD_SERVICE_BOUND] = Json::Value(info.isb ? 1 : 0);
    doc[HAC_RECORD_BOUNDARY_COUNT] = Json::Value(bn);
    add_boundaries(info, bn, doc);
    for (int i = 0; i < 3; ++i)
        doc[hac_indexed_member(HAC_RECORD_ISO_STEM, i).text] = Json::Value(static_cast<int>(info.iso[i]));
    return doc;
}

}  // namespace

std::string_view hac_write_record_text(const VetuAITAppInfo& info) {
    try {
        return hac_write_thread_text(build_record_document(info));
    } catch (...) {
        // Only allocation can fail while the document is built.
        return {};
    }
}

int aitappinfo_packet(const VetuAITAppInfo* info, std::string& out) {
    if (info == nullptr) return VETU_ERR_REFUSED;
    const std::string_view text = hac_write_record_text(*info);
    if (text.empty()) return VETU_ERR_NO_MEMORY;
    try {
        out.assign(text.data(), text.size());
        return 0;
    } catch (...) {
        return VETU_ERR_NO_MEMORY;
    }
}
