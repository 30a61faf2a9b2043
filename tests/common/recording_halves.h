// The halves every test, the peer process, the soak, the fuzz targets and the
// benchmarks play: a browser whose table reports every member call and
// answers queries with values derived from the request, and an application
// manager whose callbacks report every event.
//
// A report is one JSON object: "m" the catalogue's name of what ran, its
// arguments under the catalogue's member names and, for a query, "in" with
// the out-values the member was handed. Nothing is reported until a sink is
// set, so that a benchmark pays only for the answers.
#ifndef HAC_TEST_RECORDING_HALVES_H
#define HAC_TEST_RECORDING_HALVES_H

#include <json/json.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "vetu_hac.h"

namespace hac_test {

using ReportSink = std::function<void(const Json::Value&)>;
// Where the reports of both halves go; an empty sink reports nothing.
void set_report_sink(ReportSink sink);
// Reports one line of the test's own (a peer's "ready", ...).
void report(const Json::Value& line);

// ---- the browser ----

// The answers a browser of a generation gives: a browser started again is
// told apart by them.
int derived_error_code(int appid, int orgid, int generation);
int derived_teletext(int enabled);
VetuAppIdentifier derived_application(const std::string& url, int src);
// GetVersion answers {generation, 2, 3}; IsAppRunning answers 1.

// Orgids that ask the browser for more than its answer.
const int kNotifyBackOrg = 777;  // StopApp: the member sends the application's state back
const int kSlowMemberOrg = 999;  // GetAppErrorCode: the member answers a third of a second late

VetuHacServerCallback recording_browser(int generation = 1);

// The notifications a browser sends on its own: application states of this
// orgid, numbered from 1 in the appid.
const int kNumberedOrg = 4242;

// ---- the application manager ----

// An application state of this value makes the callback call a query and a
// command itself (reported as "FromCallback").
const int kCallFromCallback = 1000;

// Registers the four callbacks; each reports its event, with "ud" telling
// whether the user pointer came back unchanged.
void register_recording_manager();

// ---- reports kept in this process ----

class ReportLog {
public:
    ReportLog();  // becomes the sink
    ~ReportLog();

    std::vector<Json::Value> all();
    // The next report not yet taken; null when none comes in time.
    Json::Value next(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    // Whether a report with these members came in time.
    bool saw(const Json::Value& members, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

private:
    std::mutex mutex_;
    std::vector<Json::Value> reports_;
    size_t taken_ = 0;
};

// Whether line holds every member of members with the same value (as
// written: the reader makes an int of 5 and a uint of 4000000000).
bool has_members(const Json::Value& line, const Json::Value& members);

// The compact one-line text of a JSON value.
std::string one_line(const Json::Value& value);
Json::Value parse_json(const std::string& text);
// A value as a reader of its text sees it, for comparing with what was read.
Json::Value as_read(const Json::Value& value);
std::string hex(const std::string& bytes);

}  // namespace hac_test

#endif
