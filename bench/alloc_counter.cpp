#include "alloc_counter.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* block, size_t size);

namespace {

std::atomic<uint64_t> g_process_allocations{0};
// Thread-locals of the executable itself live in static TLS: touching them
// never allocates, which an allocator hook relies on.
__thread uint64_t t_allocations;
__thread bool t_attributing;
__thread bool t_in_hook;

struct Site {
    int origin;
    uintptr_t offset;
    uint64_t count;
};

constexpr int kMaxSites = 256;
constexpr int kMaxFrames = 32;
pthread_mutex_t g_sites_mutex = PTHREAD_MUTEX_INITIALIZER;
Site g_sites[kMaxSites];
int g_site_count;
uint64_t g_origin_counts[hac_bench::ORIGIN_COUNT];

enum Module { MODULE_RUNTIME, MODULE_LIBRARY, MODULE_JSONCPP, MODULE_OTHER };

Module module_of(void* address, uintptr_t* offset) {
    Dl_info info;
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return MODULE_OTHER;
    const char* name = info.dli_fname;
    if (strstr(name, "libhbbtv_hac") != nullptr) {
        *offset = reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(info.dli_fbase);
        return MODULE_LIBRARY;
    }
    if (strstr(name, "libjsoncpp") != nullptr) return MODULE_JSONCPP;
    static const char* const runtimes[] = {"libstdc++", "libc.so", "libgcc_s", "ld-linux", "libm.so"};
    for (const char* runtime : runtimes) {
        if (strstr(name, runtime) != nullptr) return MODULE_RUNTIME;
    }
    return MODULE_OTHER;
}

void add_site(int origin, uintptr_t offset) {
    pthread_mutex_lock(&g_sites_mutex);
    g_origin_counts[origin]++;
    int i = 0;
    while (i < g_site_count && (g_sites[i].origin != origin || g_sites[i].offset != offset)) i++;
    if (i == g_site_count && g_site_count < kMaxSites) g_sites[g_site_count++] = Site{origin, offset, 0};
    if (i < g_site_count) g_sites[i].count++;
    pthread_mutex_unlock(&g_sites_mutex);
}

// Walks outward from the caller of the allocator: the first frame outside
// the runtime libraries names the origin; the first library frame names the
// call site.
void attribute(void* caller) {
    void* frames[kMaxFrames];
    const int n = backtrace(frames, kMaxFrames);
    int start = 0;
    while (start < n && frames[start] != caller) start++;
    if (start == n) start = 1;
    int origin = -1;
    uintptr_t site = 0;
    for (int i = start; i < n && site == 0; i++) {
        uintptr_t offset = 0;
        const Module module = module_of(frames[i], &offset);
        if (origin < 0 && module != MODULE_RUNTIME) {
            origin = module == MODULE_LIBRARY   ? hac_bench::ORIGIN_LIBRARY
                     : module == MODULE_JSONCPP ? hac_bench::ORIGIN_JSONCPP
                                                : hac_bench::ORIGIN_OTHER;
        }
        if (module == MODULE_LIBRARY) site = offset;
    }
    add_site(origin < 0 ? hac_bench::ORIGIN_OTHER : origin, site);
}

void count_allocation(void* caller) {
    t_allocations++;
    g_process_allocations.fetch_add(1, std::memory_order_relaxed);
    if (t_attributing && !t_in_hook) {
        t_in_hook = true;
        attribute(caller);
        t_in_hook = false;
    }
}

}  // namespace

extern "C" void* malloc(size_t size) {
    count_allocation(__builtin_return_address(0));
    return __libc_malloc(size);
}

extern "C" void* calloc(size_t count, size_t size) {
    count_allocation(__builtin_return_address(0));
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* block, size_t size) {
    count_allocation(__builtin_return_address(0));
    return __libc_realloc(block, size);
}

namespace hac_bench {

uint64_t thread_allocations() { return t_allocations; }

uint64_t process_allocations() { return g_process_allocations.load(std::memory_order_relaxed); }

void set_thread_attribution(bool on) { t_attributing = on; }

void clear_attribution() {
    pthread_mutex_lock(&g_sites_mutex);
    g_site_count = 0;
    for (uint64_t& count : g_origin_counts) count = 0;
    pthread_mutex_unlock(&g_sites_mutex);
}

uint64_t attributed(AllocOrigin origin) {
    pthread_mutex_lock(&g_sites_mutex);
    const uint64_t count = g_origin_counts[origin];
    pthread_mutex_unlock(&g_sites_mutex);
    return count;
}

void write_attribution(FILE* out, const char* label, int messages) {
    static const char* const names[] = {"library", "jsoncpp", "other"};
    pthread_mutex_lock(&g_sites_mutex);
    for (int i = 0; i < g_site_count; i++) {
        fprintf(out, "%s %s 0x%lx %.2f\n", label, names[g_sites[i].origin], static_cast<unsigned long>(g_sites[i].offset),
                static_cast<double>(g_sites[i].count) / messages);
    }
    pthread_mutex_unlock(&g_sites_mutex);
}

void prepare_attribution() {
    void* frames[4];
    backtrace(frames, 4);
    uintptr_t offset = 0;
    module_of(frames[0], &offset);
}

}  // namespace hac_bench
