// What the transport peer process does with a payload, shared by the peer
// and the tests that check its output.
#ifndef TRANSPORT_PEER_PROTOCOL_H
#define TRANSPORT_PEER_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

namespace transport_peer {

const long kMtype = 7;
const size_t kChunk = 1024;

// FNV-1a over the bytes: the peer prints it for every payload it gets.
inline uint32_t digest(const char* data, size_t len) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < len; ++i) h = (h ^ static_cast<unsigned char>(data[i])) * 16777619u;
    return h;
}

// The peer's answer to a request: every byte plus one, same length.
inline char answer_byte(char c) { return static_cast<char>(c + 1); }

}  // namespace transport_peer

#endif
