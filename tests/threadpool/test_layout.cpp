// Layout of the pool and task records: field order everywhere, and the exact
// offsets the device's processes expect on 32-bit ARM.
#include "pool_gate.h"

#include <gtest/gtest.h>

#include <stddef.h>

#if UINTPTR_MAX == 0xffffffffu
#define LC_ILP32 1
#else
#define LC_ILP32 0
#endif

#define AT(ilp32, lp64) (LC_ILP32 ? (ilp32) : (lp64))

static_assert(offsetof(threadpool_task, function) == 0, "");
static_assert(offsetof(threadpool_task, arg) == AT(4, 8), "");
static_assert(offsetof(threadpool_task, sync) == AT(8, 16), "");
static_assert(offsetof(threadpool_task, done_fd) == AT(12, 20), "");
static_assert(offsetof(threadpool_task, ack_fd) == AT(16, 24), "");
static_assert(offsetof(threadpool_task, next) == AT(20, 32), "");
static_assert(offsetof(threadpool_task, prev) == AT(24, 40), "");
static_assert(sizeof(threadpool_task) == AT(28, 48), "");

// pthread_mutex_t is 24 bytes on the target (40 on x86-64), pthread_cond_t 48.
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

static void noop(void *) {}

// The pending list hangs from its sentinel: newest after it, oldest before.
TEST(ThreadPoolLayout, PendingTasksHangFromTheSentinelNewestFirst)
{
    threadpool *pool = threadpool_create(1, 1, 15);
    ASSERT_NE(pool, nullptr);
    threadpool_task *sentinel = pool->task_list;
    lc_test::Gate gate;
    ASSERT_EQ(threadpool_add_task(pool, lc_test::Gate::hold, &gate), 0);
    ASSERT_TRUE(gate.wait_inside(1));
    int first, second;
    ASSERT_EQ(threadpool_add_task(pool, noop, &first), 0);
    ASSERT_EQ(threadpool_add_task(pool, noop, &second), 0);

    pthread_mutex_lock(&pool->task_lock);
    threadpool_task *newest = sentinel->next;
    threadpool_task *oldest = sentinel->prev;
    EXPECT_EQ(newest->arg, &second);
    EXPECT_EQ(oldest->arg, &first);
    EXPECT_EQ(newest->next, oldest);
    EXPECT_EQ(oldest->prev, newest);
    EXPECT_EQ(oldest->next, sentinel);
    EXPECT_EQ(newest->function, &noop);
    EXPECT_EQ(newest->sync, 0);
    pthread_mutex_unlock(&pool->task_lock);

    gate.release();
    EXPECT_EQ(threadpool_destroy(pool), 0);
}
