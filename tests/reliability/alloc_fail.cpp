// alloc_fail.cpp - the wrapped allocator behind alloc_fail.h.  The linker
// sends every reference to malloc and its kin to __wrap_<name> and makes
// __real_<name> the original.
#include "alloc_fail.h"

#include <new>
#include <stddef.h>

// Per thread, so that other threads' allocations never move the count.
static thread_local int fail_at = 0; // 0: disarmed
static thread_local int seen = 0;
static thread_local bool failed = false;

namespace lc_test {

void alloc_fail_arm(int nth)
{
    seen = 0;
    failed = false;
    fail_at = nth;
}

bool alloc_fail_disarm()
{
    fail_at = 0;
    return failed;
}

}  // namespace lc_test

// True for the armed allocation, which then fails.
static bool fail_this_one()
{
    if (fail_at == 0 || ++seen != fail_at)
        return false;
    failed = true;
    return true;
}

extern "C" {

void *__real_malloc(size_t n);
void *__real_calloc(size_t count, size_t n);
void *__real_realloc(void *p, size_t n);
char *__real_strdup(const char *s);

void *__wrap_malloc(size_t n)
{
    return fail_this_one() ? nullptr : __real_malloc(n);
}

void *__wrap_calloc(size_t count, size_t n)
{
    return fail_this_one() ? nullptr : __real_calloc(count, n);
}

void *__wrap_realloc(void *p, size_t n)
{
    return fail_this_one() ? nullptr : __real_realloc(p, n);
}

char *__wrap_strdup(const char *s)
{
    return fail_this_one() ? nullptr : __real_strdup(s);
}

// operator new(size_t, const std::nothrow_t &): size_t is unsigned long on
// 64-bit targets and unsigned int on 32-bit ARM, which changes the name.
#if defined(__LP64__)
void *__real__ZnwmRKSt9nothrow_t(size_t n, const std::nothrow_t &tag) noexcept;
void *__wrap__ZnwmRKSt9nothrow_t(size_t n, const std::nothrow_t &tag) noexcept
{
    return fail_this_one() ? nullptr : __real__ZnwmRKSt9nothrow_t(n, tag);
}
#else
void *__real__ZnwjRKSt9nothrow_t(size_t n, const std::nothrow_t &tag) noexcept;
void *__wrap__ZnwjRKSt9nothrow_t(size_t n, const std::nothrow_t &tag) noexcept
{
    return fail_this_one() ? nullptr : __real__ZnwjRKSt9nothrow_t(n, tag);
}
#endif

}  // extern "C"
