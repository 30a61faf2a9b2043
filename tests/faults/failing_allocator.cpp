#include "failing_allocator.h"

#include <dlfcn.h>
#include <errno.h>

#include <atomic>
#include <cstddef>
#include <cstring>

namespace {

using MallocFn = void* (*)(size_t);
using CallocFn = void* (*)(size_t, size_t);
using ReallocFn = void* (*)(void*, size_t);
using FreeFn = void (*)(void*);

MallocFn real_malloc;
CallocFn real_calloc;
ReallocFn real_realloc;
FreeFn real_free;

// dlsym allocates while the real functions are still unknown.
alignas(16) char bootstrap[8192];
size_t bootstrap_used;
std::atomic<bool> resolving{false};

thread_local long t_countdown;  // > 0: this thread fails its countdown-th allocation
thread_local bool t_exempt;
std::atomic<long> g_countdown{0};  // > 0: any thread not exempt
std::atomic<bool> g_failed{false};

void resolve() {
    if (real_free != nullptr) return;
    resolving = true;
    real_malloc = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
    real_calloc = reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc"));
    real_realloc = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
    real_free = reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free"));
    resolving = false;
}

void* from_bootstrap(size_t n) {
    n = (n + 15) & ~static_cast<size_t>(15);
    if (bootstrap_used + n > sizeof bootstrap) return nullptr;
    void* p = bootstrap + bootstrap_used;
    bootstrap_used += n;
    return p;
}

bool in_bootstrap(void* p) {
    return static_cast<char*>(p) >= bootstrap && static_cast<char*>(p) < bootstrap + sizeof bootstrap;
}

bool this_one_fails() {
    if (t_countdown > 0) {
        if (--t_countdown == 0) {
            g_failed = true;
            return true;
        }
        return false;
    }
    if (t_exempt || g_countdown.load(std::memory_order_relaxed) <= 0) return false;
    if (g_countdown.fetch_sub(1) == 1) {
        g_failed = true;
        return true;
    }
    return false;
}

}  // namespace

extern "C" void* malloc(size_t n) {
    if (resolving) return from_bootstrap(n);
    resolve();
    if (this_one_fails()) {
        errno = ENOMEM;
        return nullptr;
    }
    return real_malloc(n);
}

extern "C" void* calloc(size_t count, size_t size) {
    if (resolving) {
        void* p = from_bootstrap(count * size);
        if (p != nullptr) memset(p, 0, count * size);
        return p;
    }
    resolve();
    if (this_one_fails()) {
        errno = ENOMEM;
        return nullptr;
    }
    return real_calloc(count, size);
}

extern "C" void* realloc(void* p, size_t n) {
    resolve();
    if (this_one_fails()) {
        errno = ENOMEM;
        return nullptr;
    }
    return real_realloc(p, n);
}

extern "C" void free(void* p) {
    if (p == nullptr || in_bootstrap(p)) return;
    resolve();
    real_free(p);
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
