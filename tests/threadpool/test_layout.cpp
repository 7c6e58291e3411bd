// Layout of the pool and task records: field order everywhere, and the exact
// offsets the device's processes expect on 32-bit ARM.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <stddef.h>

#if UINTPTR_MAX == 0xffffffffu
#define AT(ilp32, lp64) (ilp32)
#else
#define AT(ilp32, lp64) (lp64)
#endif

static_assert(offsetof(threadpool_task, function) == 0, "");
static_assert(offsetof(threadpool_task, arg) == AT(4, 8), "");
static_assert(offsetof(threadpool_task, sync) == AT(8, 16), "");
static_assert(offsetof(threadpool_task, done_fd) == AT(12, 20), "");
static_assert(offsetof(threadpool_task, ack_fd) == AT(16, 24), "");
static_assert(offsetof(threadpool_task, next) == AT(20, 32), "");
static_assert(offsetof(threadpool_task, prev) == AT(24, 40), "");
static_assert(sizeof(threadpool_task) == AT(28, 48), "");

static_assert(offsetof(threadpool, shutdown) == 0, "");
static_assert(offsetof(threadpool, threads) == AT(4, 8), "");
static_assert(offsetof(threadpool, min) == AT(8, 16), "");
static_assert(offsetof(threadpool, max) == AT(12, 20), "");
static_assert(offsetof(threadpool, limit) == AT(16, 24), "");
static_assert(offsetof(threadpool, exit_count) == AT(20, 28), "");
static_assert(offsetof(threadpool, live) == AT(24, 32), "");
static_assert(offsetof(threadpool, count_lock) == AT(28, 40), "");
static_assert(offsetof(threadpool, busy) == AT(52, 80), "");
static_assert(offsetof(threadpool, not_full) == AT(56, 88), "");
static_assert(offsetof(threadpool, task_ready) == AT(104, 136), "");
static_assert(offsetof(threadpool, task_lock) == AT(152, 184), "");
static_assert(offsetof(threadpool, task_list) == AT(176, 224), "");
static_assert(offsetof(threadpool, queue_max) == AT(180, 232), "");
static_assert(sizeof(threadpool) == AT(184, 240), "");

TEST(ThreadPoolLayout, TargetIsWhatTheBuildClaims)
{
#if defined(__arm__)
    EXPECT_EQ(sizeof(pthread_mutex_t), 24u);
    EXPECT_EQ(sizeof(pthread_cond_t), 48u);
#endif
    EXPECT_EQ(sizeof(pthread_t), sizeof(void *));
}
