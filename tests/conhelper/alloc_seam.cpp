// alloc_seam.cpp - makes reallocs fail on demand.  A link-time seam: the
// test binary's realloc comes first in symbol lookup, so the library's calls
// land here too.
#include <atomic>
#include <dlfcn.h>
#include <stddef.h>

static std::atomic<int> failures_left{0};

namespace lc_test {
// The next `count` calls of realloc in the process return null.
void fail_next_reallocs(int count)
{
    failures_left.store(count);
}
}  // namespace lc_test

extern "C" void *realloc(void *p, size_t n)
{
    using realloc_fn = void *(*)(void *, size_t);
    static realloc_fn next = reinterpret_cast<realloc_fn>(dlsym(RTLD_NEXT, "realloc"));
    int left = failures_left.load();
    while (left > 0) {
        if (failures_left.compare_exchange_weak(left, left - 1))
            return nullptr;
    }
    return next(p, n);
}
