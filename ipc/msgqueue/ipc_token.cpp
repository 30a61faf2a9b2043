/*
 * Payload tokens. A token names one payload on the wire (see
 * IpcFragment::token): an answer carries its request's token, so a client
 * takes only the answer to its own request, also when an earlier request of
 * this or another process is answered late. Tokens are a counter from a
 * random start, scrambled by a bijection of 32-bit words: a process never
 * repeats one within 2^32 payloads, and two processes meet the same token
 * about once in 2^32 tries.
 */
#include <pthread.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include "transport.h"

namespace {

pthread_once_t g_seed_once = PTHREAD_ONCE_INIT;
uint32_t g_counter;

uint32_t random_seed() {
    uint32_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof seed)) return seed;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(now.tv_nsec) ^ (static_cast<uint32_t>(getpid()) << 16);
}

/* A forked child would otherwise name its payloads as its parent does. */
void reseed_in_child() { __atomic_store_n(&g_counter, random_seed(), __ATOMIC_RELAXED); }

void seed() {
    __atomic_store_n(&g_counter, random_seed(), __ATOMIC_RELAXED);
    pthread_atfork(nullptr, nullptr, reseed_in_child);
}

/* A bijection of 32-bit words (an integer hash's finaliser): consecutive
 * counts give tokens that look unrelated. */
uint32_t scramble(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

}  // namespace

int32_t ipc_new_token(void) {
    pthread_once(&g_seed_once, seed);
    for (;;) {
        const uint32_t token = scramble(__atomic_fetch_add(&g_counter, 1, __ATOMIC_RELAXED));
        if (token != 0) return static_cast<int32_t>(token);
    }
}
