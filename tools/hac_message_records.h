// HAC messages and AIT application records as the hac tool prints them,
// under the names of the message catalogue (hac_catalogue.h): a request as
// the browser receives it, a notification as the manager receives it, the
// values of a reply, an AIT record field by field.
#ifndef HAC_MESSAGE_RECORDS_H
#define HAC_MESSAGE_RECORDS_H

#include <json/json.h>

#include <string>
#include <vector>

#include "hac_output.h"

struct VetuAITAppInfo;

namespace hac_tool {

// Adds the values under the names of the members that the receiver of the
// message reads, in the catalogue's order: the arguments a browser member
// receives, the values a reply carries, those a notification callback gets.
// Fewer values than such members name the first ones only.
Record& add_members(Record* record, unsigned int type, const std::vector<Json::Value>& values);

// "request StopApp": a request as hac browser prints it.
std::string request_title(unsigned int type);
// "request StopApp: t=103 appid=1 orgid=2" with the arguments of the
// browser member that receives it.
Record request_record(unsigned int type, const std::vector<Json::Value>& arguments);

// "event app_state": a notification as hac manager prints it, named after
// the catalogue's name in lower case words ("AppState").
std::string event_title(unsigned int type);
Record event_record(unsigned int type, const std::vector<Json::Value>& values);

// Every field of the record, one a line, in the order VetuAITAppInfo
// declares them, the transport-protocol entries as a list.
Record ait_app_record(const VetuAITAppInfo& app);

}  // namespace hac_tool

#endif
