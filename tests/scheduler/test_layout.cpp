// Layout of the scheduler's time values and entries: the processes that link
// the library share them, so sizes and field positions are fixed, as
// (32-bit ARM, 64-bit host).
#include "lc_test.h"

#include <gtest/gtest.h>

#define AT(ilp32, lp64) (UINTPTR_MAX == 0xffffffffu ? (ilp32) : (lp64))

static_assert(sizeof(Timeval) == 8 && alignof(Timeval) == 4 && sizeof(_EventTime) == 8, "");
static_assert(sizeof(DelayQueueEntry) == AT(36, 56) && sizeof(AlarmHandler) == AT(44, 72), "");
static_assert(sizeof(DelayQueue) == AT(44, 64) && sizeof(DelayQueueEntry::tokenCounter) == 4, "");

template <typename T, typename F> static ptrdiff_t offset(const T &object, const F &field)
{
    return reinterpret_cast<const char *>(&field) - reinterpret_cast<const char *>(&object);
}

// After the virtual table pointer: kind, next, prev, remaining, interval,
// token; then the subclass fields.
TEST(SchedulerLayout, FieldsSitWhereTheProcessesExpectThem)
{
    Timeval t(1, 2);
    AlarmHandler h([](void *) {}, nullptr, DelayInterval(3, 4));
    DelayQueue q;
    EXPECT_EQ((std::vector<ptrdiff_t>{offset(t, t.usecs()), offset(h, h.kind), offset(h, h.remaining()),
                                     offset(h, h.interval()), offset(q, q.lastSyncTime())}),
              (std::vector<ptrdiff_t>{4, AT(4, 8), AT(16, 32), AT(24, 40), AT(36, 52)}));
}
