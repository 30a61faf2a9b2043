// A test allocator interposed on malloc, calloc and realloc of the whole
// test executable: it forwards to the real allocator (the sanitizer's, in a
// sanitizer build, so leaks are still found) and, when armed, fails one
// chosen allocation with ENOMEM.
#ifndef HAC_FAILING_ALLOCATOR_H
#define HAC_FAILING_ALLOCATOR_H

namespace hac_test {

// Fails the nth allocation (1 = the next one) made by the calling thread.
void fail_nth_allocation_here(long nth);
// Fails the nth allocation made by any thread.
void fail_nth_allocation_anywhere(long nth);
// An exempt thread's allocations neither fail nor count.
void exempt_this_thread(bool exempt);
// Disarms; true when the armed failure happened.
bool disarm_allocation_failure();

}  // namespace hac_test

#endif
