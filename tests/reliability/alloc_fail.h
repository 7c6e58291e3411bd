// alloc_fail.h - makes one allocation of the calling thread fail.
//
// The test binary links a static copy of the library with the allocator
// wrapped at link time (malloc, calloc, realloc, strdup and the nothrow
// operator new), so the library's own calls pass through the seam.  Only
// the arming thread counts: pool workers and the scheduler thread keep
// allocating normally, which keeps a walk over failure points repeatable.
#ifndef LC_TEST_ALLOC_FAIL_H
#define LC_TEST_ALLOC_FAIL_H

namespace lc_test {

// The nth allocation (1: the next one) made by this thread fails.
void alloc_fail_arm(int nth);
// Disarms; true when an allocation was failed since the arm.
bool alloc_fail_disarm();

// Runs call with the nth allocation failing: true when one did.
template <class F> bool failing_nth(int nth, F call)
{
    alloc_fail_arm(nth);
    call();
    return alloc_fail_disarm();
}

}  // namespace lc_test

#endif  // LC_TEST_ALLOC_FAIL_H
