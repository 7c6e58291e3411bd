// Layout of the scheduler's value classes and entries: the processes that
// link the library share them, so sizes and field positions are fixed.
#include "lc_test.h"

#include <gtest/gtest.h>

#if UINTPTR_MAX == 0xffffffffu
#define LC_ILP32 1
#else
#define LC_ILP32 0
#endif

#define AT(ilp32, lp64) (LC_ILP32 ? (ilp32) : (lp64))

static_assert(sizeof(Timeval) == 8 && alignof(Timeval) == 4, "");
static_assert(sizeof(DelayInterval) == 8 && sizeof(_EventTime) == 8, "");
static_assert(sizeof(DelayQueueEntry) == AT(36, 56), "");
static_assert(sizeof(AlarmHandler) == AT(44, 72), "");
static_assert(sizeof(DelayQueue) == AT(44, 64), "");
static_assert(sizeof(DelayQueueEntry::tokenCounter) == 4, "");

template <typename T, typename F>
static ptrdiff_t offset(const T &object, const F &field)
{
    return reinterpret_cast<const char *>(&field) - reinterpret_cast<const char *>(&object);
}

static void noop(void *) {}

TEST(SchedulerLayout, FieldsSitWhereTheProcessesExpectThem)
{
    Timeval t(1, 2);
    EXPECT_EQ(offset(t, t.secs()), 0);
    EXPECT_EQ(offset(t, t.usecs()), 4);

    // After the virtual table pointer: kind, next, prev, remaining,
    // interval, token; then the subclass fields.
    AlarmHandler h(noop, nullptr, DelayInterval(3, 4));
    EXPECT_EQ(offset(h, h.kind), AT(4, 8));
    EXPECT_EQ(offset(h, h.remaining()), AT(16, 32));
    EXPECT_EQ(offset(h, h.interval()), AT(24, 40));
    DelayQueue q;
    EXPECT_EQ(offset(q, q.lastSyncTime()), AT(36, 52));
}
