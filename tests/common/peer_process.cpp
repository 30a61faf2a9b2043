#include <signal.h>

#include <cstdio>

#include "recording_halves.h"
#include "test_support.h"

namespace hac_test {

PeerProcess::PeerProcess(const std::vector<std::string>& args)
    : path_(temp_path("peer")), peer_(HAC_TEST_PEER_PATH, args, path_) {}

PeerProcess::~PeerProcess() { std::remove(path_.c_str()); }

// Only lines that have their newline: the peer may be writing the next. A
// log line of the peer ends in a colour reset after its newline, so a report
// may follow that reset on the same line.
std::vector<std::string> PeerProcess::complete_lines() const {
    static const std::string reset = "\033[0m";
    const std::string text = read_file(path_);
    std::vector<std::string> lines = split_lines(text.substr(0, text.rfind('\n') + 1));
    for (std::string& line : lines)
        if (line.compare(0, reset.size(), reset) == 0) line.erase(0, reset.size());
    return lines;
}

std::vector<Json::Value> PeerProcess::reports() const {
    std::vector<Json::Value> out;
    for (const std::string& line : complete_lines())
        if (!line.empty() && line[0] == '{') out.push_back(parse_json(line));
    return out;
}

std::vector<std::string> PeerProcess::other_lines() const {
    std::vector<std::string> out;
    for (const std::string& line : complete_lines())
        if (!line.empty() && line[0] != '{') out.push_back(line);
    return out;
}

Json::Value PeerProcess::next(std::chrono::milliseconds timeout) {
    std::vector<Json::Value> seen;
    if (!wait_until([&] { return (seen = reports()).size() > taken_; }, timeout)) return Json::Value();
    return seen[taken_++];
}

bool PeerProcess::ready() { return next()["m"] == "ready"; }

size_t PeerProcess::count(const Json::Value& members) const {
    size_t n = 0;
    for (const Json::Value& line : reports()) n += has_members(line, members);
    return n;
}

bool PeerProcess::saw(const Json::Value& members, std::chrono::milliseconds timeout) const {
    return wait_until([&] { return count(members) > 0; }, timeout);
}

bool PeerProcess::stop_all_threads() {
    peer_.kill_now(SIGSTOP);
    return wait_until([&] { return process_stopped(peer_.pid()); });
}

void PeerProcess::kill_and_reap() {
    peer_.kill_now(SIGKILL);
    peer_.wait();
}

int PeerProcess::terminate() {
    peer_.kill_now(SIGTERM);
    return peer_.wait();
}

}  // namespace hac_test
