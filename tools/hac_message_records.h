// AIT application records as the hac tool prints them: hac browser, the
// decoded payloads of hac monitor, hac queues --peek and hac send.
#ifndef HAC_MESSAGE_RECORDS_H
#define HAC_MESSAGE_RECORDS_H

#include "hac_output.h"

struct VetuAITAppInfo;

namespace hac_tool {

// Every field of the record, one a line, in the order VetuAITAppInfo
// declares them, the transport-protocol entries as a list.
Record ait_app_record(const VetuAITAppInfo& app);

}  // namespace hac_tool

#endif
