// HAC fragments and messages as they lie on a queue, decoded for the tool's
// output: what hac monitor sees a process send and receive, what
// hac queues --peek finds waiting, the answer hac send gets.
#ifndef HAC_WIRE_H
#define HAC_WIRE_H

#include <stddef.h>
#include <stdint.h>

#include <json/json.h>

#include <string>
#include <vector>

#include "hac_output.h"

namespace hac_tool {

// The seven int32 header words after mtype.
const size_t kFragmentHeaderBytes = 28;
// Bytes after mtype of every HAC fragment (chunk size 1024 + 32).
const size_t kHacFragmentSize = 1056;

// One queue message: mtype (a long of this machine), then size bytes.
struct Fragment {
    bool whole_header;  // the bytes held all seven header words
    long mtype;
    int32_t kind, total_len, seq, last, one, token, chunk_len;
    size_t size;        // bytes after mtype
    std::string chunk;  // the carried bytes, as many of chunk_len as are there
};
// bytes holds sizeof(long) + size bytes, as msgsnd takes them and msgrcv
// gives them.
Fragment parse_fragment(const char* bytes, size_t size);
// The header words and sizes as fields (for --raw).
void add_fragment_fields(const Fragment& fragment, Record* record);

// The fragments of one payload as one sender or receiver passes them, in
// order. A first fragment (seq 1) begins a payload; a fragment that does
// not follow on (another token, kind or length, a number skipped) spoils it.
struct Join {
    bool active = false;
    bool spoiled = false;
    long mtype = 0;
    int32_t kind = 0, total_len = 0, token = 0, next_seq = 0;
    std::string bytes;
    std::vector<Fragment> fragments;
};
enum JoinResult {
    JOIN_MORE,    // taken; the payload goes on
    JOIN_DONE,    // the last fragment: the payload is in the join
    JOIN_STRAY    // not part of any payload begun here (its start was not seen)
};
JoinResult join_fragment(Join* join, const Fragment& fragment);
// A done join holds a whole payload: every fragment in order and the length
// its first fragment announced.
bool join_whole(const Join& join);

const char* ipc_kind_name(int kind);   // "stop", "message", "request", "reply", "no-reply"
std::string token_text(int32_t token); // "0x1a2b3c4d"

// A payload read as the peer would: text up to its first NUL, a HAC
// message object with "t"; the records of SendAitAppInfo decoded as the
// browser's decoder does.
struct Decoded {
    std::string name;        // message name, "(stop order)", "(no reply)", "(not a HAC message)"
    bool has_t = false;
    Json::Int64 t = 0;
    Json::Value members;     // every member but "t" and the records
    std::vector<Record> apps;
    std::string text;        // the text, shortened, when it is no HAC message
    std::string problem;     // why a record or the text could not be read
};
Decoded decode_payload(const std::string& bytes, int ipc_kind);
// Adds "t", the members (on the line in the human form, an object "members"
// in JSON), the records as "app", and text/problem where there are any.
void add_decoded(const Decoded& decoded, Record* record);

}  // namespace hac_tool

#endif
