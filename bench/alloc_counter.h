// Counting allocator of the benchmarks. Linked into a benchmark executable,
// it interposes malloc, calloc and realloc (operator new and strdup end up in
// malloc), counts every call per thread and for the whole process, and on
// request attributes each allocation of a thread to the code that caused it.
#ifndef HAC_BENCH_ALLOC_COUNTER_H
#define HAC_BENCH_ALLOC_COUNTER_H

#include <cstdint>
#include <cstdio>

namespace hac_bench {

// Allocations made so far by the calling thread, and by the whole process.
uint64_t thread_allocations();
uint64_t process_allocations();

// Who caused an allocation: the innermost frame outside the C and C++
// runtime libraries decides.
enum AllocOrigin { ORIGIN_LIBRARY = 0, ORIGIN_JSONCPP = 1, ORIGIN_OTHER = 2, ORIGIN_COUNT = 3 };

// Attribution walks the stack of every allocation, so it is switched on per
// thread and only in passes that are not timed.
void set_thread_attribution(bool on);
void clear_attribution();
uint64_t attributed(AllocOrigin origin);

// One line per call site: label, origin, the offset in libhbbtv_hac.so of
// the innermost library frame on the stack (a return address, for addr2line)
// and how many allocations per message came through it. A jsoncpp allocation is thus
// charged to the library call that went into jsoncpp. Offset 0: no library
// frame on the stack.
void write_attribution(FILE* out, const char* label, int messages);

// Loads the unwinder up front so that the first attributed allocation does
// not count the unwinder's own set-up.
void prepare_attribution();

}  // namespace hac_bench

#endif
