// The HAC server's request dispatcher on a request text, with the recording
// browser of the tests: its reports build every argument a member gets, and
// a query's out-values must reach the member as zeros. A reply, when there
// is one, must be a whole HAC message answering the request's type.
#include <json/json.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "envelope.h"
#include "hac_catalogue.h"
#include "halves.h"
#include "recording_halves.h"
#include "vetu_hac.h"
#include "vetu_ipc.h"

namespace {

void check_report(const Json::Value& line) {
    for (const Json::Value& handed : line["in"])
        if (handed != 0) abort();
}

// The type of the request, when the request is an object with an int "t".
bool request_type(const char* text, int* type) {
    Json::Value root;
    if (!hac_parse_text(text, &root)) return false;
    HacReader reader(root);
    *type = reader.integer("t");
    return reader.ok;
}

void check_reply(const char* request, const IpcData* reply) {
    if (reply->data == nullptr || reply->len <= 0 || reply->len > IPC_MAX_PAYLOAD) abort();
    if (strlen(reply->data) != static_cast<size_t>(reply->len)) abort();
    int asked = 0;
    if (!request_type(request, &asked)) abort();  // no reply for what does not parse
    Json::Value root;
    if (!hac_parse_text(reply->data, &root)) abort();
    HacReader reader(root);
    if (reader.integer("t") != asked + 1 || !reader.ok) abort();
    const HacMessage* query = hac_message(asked);
    if (query == nullptr || query->mode != HAC_QUERY) abort();  // only queries are answered
    // The two queries without arguments get the recording browser's fixed answers.
    if (asked == HAC_MSG_GET_VERSION &&
        (reader.integer("major") != 1 || reader.integer("minor") != 2 || reader.integer("number") != 3))
        abort();
    if (asked == HAC_MSG_IS_APP_RUNNING && reader.integer("isrunning") != 1) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    hac_test::set_report_sink(check_report);
    Vetu_HAC_Server_RegisterCallback(hac_test::recording_browser(), nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > IPC_MAX_PAYLOAD) return 0;
    // The receive thread hands over the payload with a closing NUL.
    std::vector<char> block(size + 1, '\0');
    memcpy(block.data(), data, size);
    IpcData payload{static_cast<int32_t>(size), block.data()};
    // A reply is lent: the text is the thread's, nothing to free.
    const IpcData* reply = server_ipc_callback(&payload, nullptr);
    if (reply != nullptr) check_reply(block.data(), reply);
    return 0;
}
