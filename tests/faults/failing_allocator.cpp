#include "failing_allocator.h"

#include <dlfcn.h>
#include <errno.h>

#include <atomic>
#include <cstddef>

namespace {

void* (*real_malloc)(size_t);
void* (*real_calloc)(size_t, size_t);
void* (*real_realloc)(void*, size_t);
void (*real_free)(void*);

// dlsym allocates while the real functions are still being looked up: from
// here, zeroed as static storage is, and never given back.
alignas(16) char bootstrap[8192];
size_t bootstrap_used;
bool resolving;

thread_local long t_countdown;  // > 0: this thread fails its countdown-th allocation
thread_local bool t_exempt;
std::atomic<long> g_countdown{0};  // > 0: any thread not exempt
std::atomic<bool> g_failed{false};

template <typename Fn>
void look_up(Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// False while the real functions are being looked up.
bool resolved() {
    if (real_free != nullptr) return true;
    if (resolving) return false;
    resolving = true;
    look_up(real_malloc, "malloc");
    look_up(real_calloc, "calloc");
    look_up(real_realloc, "realloc");
    look_up(real_free, "free");
    resolving = false;
    return true;
}

void* from_bootstrap(size_t n) {
    n = (n + 15) & ~static_cast<size_t>(15);
    if (bootstrap_used + n > sizeof bootstrap) return nullptr;
    bootstrap_used += n;
    return bootstrap + bootstrap_used - n;
}

// Whether this allocation is the one to fail; sets errno as malloc does.
bool this_one_fails() {
    if (t_exempt) return false;
    const bool fails = t_countdown > 0 ? --t_countdown == 0 : g_countdown.load() > 0 && g_countdown.fetch_sub(1) == 1;
    if (fails) {
        g_failed = true;
        errno = ENOMEM;
    }
    return fails;
}

}  // namespace

extern "C" void* malloc(size_t n) {
    if (!resolved()) return from_bootstrap(n);
    return this_one_fails() ? nullptr : real_malloc(n);
}

extern "C" void* calloc(size_t count, size_t size) {
    if (!resolved()) return from_bootstrap(count * size);
    return this_one_fails() ? nullptr : real_calloc(count, size);
}

extern "C" void* realloc(void* p, size_t n) { return resolved() && !this_one_fails() ? real_realloc(p, n) : nullptr; }

extern "C" void free(void* p) {
    if (p == nullptr || (p >= bootstrap && p < bootstrap + sizeof bootstrap)) return;
    if (resolved()) real_free(p);
}

namespace hac_test {

void fail_nth_allocation_here(long nth) {
    g_failed = false;
    t_countdown = nth;
}

void fail_nth_allocation_anywhere(long nth) {
    g_failed = false;
    g_countdown = nth;
}

void exempt_this_thread(bool exempt) { t_exempt = exempt; }

bool disarm_allocation_failure() {
    t_countdown = 0;
    g_countdown = 0;
    return g_failed.exchange(false);
}

}  // namespace hac_test
