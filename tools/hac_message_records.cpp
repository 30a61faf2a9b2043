#include "hac_message_records.h"

#include "vetu_hac.h"

namespace hac_tool {

namespace {
Record tranprotocol_record(const TranProtocol& protocol) {
    Record record("", "", "");
    record.add("pi", protocol.pi).add("bu", protocol.bu).add("ip", protocol.ip).add("pp", protocol.pp);
    return record;
}
}  // namespace

Record ait_app_record(const VetuAITAppInfo& app) {
    Record record("", "", "");
    record.block = true;
    record.add("appid", app.appid).add("orgid", app.orgid).add("visib", app.visib).add("prior", app.prior);
    record.add("ctrco", app.ctrco).add("ipflag", app.ipflag).add("trprn", app.trprn);
    record.add("isb", app.isb).add("bn", app.bn);
    Json::Value boundaries(Json::arrayValue);
    for (const std::string& boundary : app.bd) boundaries.append(boundary);
    record.add("bd", boundaries).add("lang", app.lang);
    Json::Value iso(Json::arrayValue);
    for (unsigned char byte : app.iso) iso.append((int)byte);
    record.add("iso", iso).add("name", app.name).add("iconloc", app.iconloc).add("iconflag", app.iconflag);
    record.add("appuse", app.appuse).add("serid", app.serid).add("aitver", app.aitver);
    record.add("apptype", app.apptype).add("profile", app.profile).add("profileversion", app.profileversion);
    std::vector<Record> protocols;
    for (const TranProtocol& protocol : app.tranprotocols) protocols.push_back(tranprotocol_record(protocol));
    record.add_list("tranprotocol", protocols);
    return record;
}

}  // namespace hac_tool
