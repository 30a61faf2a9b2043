#include "hac_message_records.h"

#include <ctype.h>

#include "hac_catalogue.h"

namespace hac_tool {

namespace {

// "DvbAitStatus" as "dvb_ait_status".
std::string lower_case_words(const char* name) {
    std::string words;
    for (const char* c = name; *c != '\0'; ++c) {
        if (isupper((unsigned char)*c) && c != name) words += '_';
        words += (char)tolower((unsigned char)*c);
    }
    return words;
}

// The int fields from first to last in the catalogue's order.
void add_int_fields(const VetuAITAppInfo& app, int VetuAITAppInfo::*first, int VetuAITAppInfo::*last,
                    Record* record) {
    bool inside = false;
    for (const HacRecordInt& entry : kHacRecordInts) {
        inside = inside || entry.field == first;
        if (inside) record->add(entry.name, app.*entry.field);
        if (entry.field == last) return;
    }
}

void add_field(const TranProtocol& protocol, int TranProtocol::*field, Record* record) {
    for (const HacEntryInt& entry : kHacTransportInts)
        if (entry.field == field) record->add(entry.stem, protocol.*field);
}

void add_field(const TranProtocol& protocol, std::string TranProtocol::*field, Record* record) {
    for (const HacEntryString& entry : kHacTransportStrings)
        if (entry.field == field) record->add(entry.stem, protocol.*field);
}

Record transport_record(const TranProtocol& protocol) {
    Record record("", "", "");
    add_field(protocol, &TranProtocol::pi, &record);
    add_field(protocol, &TranProtocol::bu, &record);
    add_field(protocol, &TranProtocol::ip, &record);
    add_field(protocol, &TranProtocol::pp, &record);
    return record;
}

}  // namespace

Record& add_members(Record* record, unsigned int type, const std::vector<Json::Value>& values) {
    const HacMessage& message = *hac_message(type);
    size_t next = 0;
    for (int i = 0; i < message.count && next < values.size(); ++i)
        if (message.members[i].read) record->add(message.members[i].name, values[next++]);
    return *record;
}

std::string request_title(unsigned int type) { return std::string("request ") + hac_message(type)->name; }

Record request_record(unsigned int type, const std::vector<Json::Value>& arguments) {
    Record record("request", hac_message(type)->name, request_title(type));
    record.add("t", (int)type);
    return add_members(&record, type, arguments);
}

std::string event_title(unsigned int type) { return "event " + lower_case_words(hac_message(type)->name); }

Record event_record(unsigned int type, const std::vector<Json::Value>& values) {
    Record record("event", lower_case_words(hac_message(type)->name), event_title(type));
    return add_members(&record, type, values);
}

Record ait_app_record(const VetuAITAppInfo& app) {
    Record record("", "", "");
    record.block = true;
    add_int_fields(app, &VetuAITAppInfo::appid, &VetuAITAppInfo::ipflag, &record);
    record.add(HAC_RECORD_TRANSPORT_COUNT, app.trprn).add(HAC_RECORD_SERVICE_BOUND, app.isb);
    Json::Value boundaries(Json::arrayValue);
    for (const std::string& boundary : app.bd) boundaries.append(boundary);
    record.add(HAC_RECORD_BOUNDARY_COUNT, app.bn).add(HAC_RECORD_BOUNDARY_STEM, boundaries);
    add_int_fields(app, &VetuAITAppInfo::lang, &VetuAITAppInfo::lang, &record);
    Json::Value iso(Json::arrayValue);
    for (unsigned char byte : app.iso) iso.append((int)byte);
    record.add(HAC_RECORD_ISO_STEM, iso);
    for (const HacRecordString& entry : kHacRecordStrings) record.add(entry.name, app.*entry.field);
    add_int_fields(app, &VetuAITAppInfo::iconflag, &VetuAITAppInfo::profileversion, &record);
    std::vector<Record> protocols;
    for (const TranProtocol& protocol : app.tranprotocols) protocols.push_back(transport_record(protocol));
    record.add_list("tranprotocol", protocols);
    return record;
}

}  // namespace hac_tool
