// The record decoder on a record document text. Whatever the text holds
// (a root of any kind, members of any kind, huge counts), the decoder must
// not throw, must stay within a small allocation budget (run with
// -malloc_limit_mb) and, when the record it returns keeps the record's
// invariants, encoding and decoding it again must give the same record.
#include <json/json.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "envelope.h"
#include "hac_catalogue.h"
#include "vetu_hac.h"

namespace {

const size_t kRoundTripEntries = 600;

bool counts_match(const VetuAITAppInfo& r) {
    const size_t trprn = r.trprn > 0 ? static_cast<size_t>(r.trprn) : 0;
    const size_t bn = r.bn > 0 ? static_cast<size_t>(r.bn) : 0;
    return r.tranprotocols.size() == trprn && r.bd.size() == bn;
}

// Every field, the catalogue's plain ones from its tables.
bool same_record(const VetuAITAppInfo& a, const VetuAITAppInfo& b) {
    for (const HacRecordInt& m : kHacRecordInts)
        if (a.*m.field != b.*m.field) return false;
    for (const HacRecordString& m : kHacRecordStrings)
        if (a.*m.field != b.*m.field) return false;
    if (a.trprn != b.trprn || a.isb != b.isb || a.bn != b.bn || a.bd != b.bd || memcmp(a.iso, b.iso, 3) != 0 ||
        a.tranprotocols.size() != b.tranprotocols.size())
        return false;
    for (size_t i = 0; i < a.tranprotocols.size(); ++i) {
        for (const HacEntryInt& m : kHacTransportInts)
            if (a.tranprotocols[i].*m.field != b.tranprotocols[i].*m.field) return false;
        for (const HacEntryString& m : kHacTransportStrings)
            if (a.tranprotocols[i].*m.field != b.tranprotocols[i].*m.field) return false;
    }
    return true;
}

bool parse_any_root(const std::string& text, Json::Value* root) {
    try {
        Json::Reader reader;
        return reader.parse(text, *root, true);
    } catch (...) {
        return false;  // the reader's own refusal, not the decoder's
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Json::Value root;
    if (!parse_any_root(text.c_str(), &root)) return 0;

    VetuAITAppInfo decoded{};
    if (aitappinfo_unpacket(root, &decoded) != 0) return 0;
    if (!counts_match(decoded)) return 0;
    // Forged counts decode into many empty entries; re-encoding those costs
    // far more than the check is worth, and no real document is that big.
    if (decoded.tranprotocols.size() + decoded.bd.size() > kRoundTripEntries) return 0;

    std::string encoded;
    if (aitappinfo_packet(&decoded, encoded) != 0) abort();
    Json::Value again;
    if (!hac_parse_text(encoded.c_str(), &again)) abort();
    VetuAITAppInfo round{};
    if (aitappinfo_unpacket(again, &round) != 0) abort();
    if (!same_record(decoded, round)) abort();
    return 0;
}
