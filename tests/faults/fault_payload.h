// Payloads that carry their own sequence number and can be checked byte for
// byte by whoever receives them: "<seq>|<len>|" then a pattern of the seq.
#ifndef HAC_FAULT_PAYLOAD_H
#define HAC_FAULT_PAYLOAD_H

#include <cstdio>
#include <cstdlib>
#include <string>

namespace hac_test {

inline std::string numbered_payload(long seq, size_t len) {
    std::string s = std::to_string(seq) + "|" + std::to_string(len) + "|";
    for (size_t i = s.size(); i < len; ++i) s.push_back(static_cast<char>('a' + (seq + static_cast<long>(i)) % 26));
    return s;
}

// The sequence number of an intact payload, -1 for a damaged one.
inline long check_numbered_payload(const std::string& s) {
    char* end = nullptr;
    const long seq = std::strtol(s.c_str(), &end, 10);
    if (end == s.c_str() || *end != '|') return -1;
    const unsigned long len = std::strtoul(end + 1, &end, 10);
    if (*end != '|' || len != s.size()) return -1;
    return s == numbered_payload(seq, len) ? seq : -1;
}

// Query answers that depend on the request and on which browser answered.
inline int derived_error_code(int appid, int orgid, int generation) { return appid * 7 + orgid + generation * 1000000; }

}  // namespace hac_test

#endif
