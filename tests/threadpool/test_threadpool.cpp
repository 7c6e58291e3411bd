// Thread pool: bad input; order, the full list, synchronous submission and destruction; the adjusting step.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sys/syscall.h>

using namespace lc_test;
using namespace std::chrono_literals;
using Ints = std::vector<int>;

static const lc_task_fn count_up = [](void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(1); };

// A counter of the pool, read under the lock that guards it.
static int32_t read(threadpool *pool, int32_t threadpool::*field)
{
    pthread_mutex_lock(&pool->count_lock);
    const int32_t value = pool->*field;
    return pthread_mutex_unlock(&pool->count_lock), value;
}

static int used_slots(threadpool *pool)
{
    return pool->max - static_cast<int>(std::count(pool->threads, pool->threads + pool->max, pthread_t(0)));
}

TEST(ThreadPool, BadSizesAndArgumentsAreRefused)
{
    EXPECT_EQ((std::vector<threadpool *>{threadpool_create(-1, 2, 15), threadpool_create(1, 0, 15),
                                         threadpool_create(1, 2, 0)}),
              std::vector<threadpool *>(3, nullptr));
    threadpool *pool = threadpool_create(5, 2, 15);  // min above max: lowered, no slot overrun
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ((Ints{read(pool, &threadpool::min), read(pool, &threadpool::live), used_slots(pool)}), (Ints{2, 2, 2}));
    std::atomic<int> ran{0};
    threadpool_adjust(nullptr);
    EXPECT_EQ((Ints{threadpool_add_task(pool, nullptr, &ran), threadpool_add_task_sync(pool, nullptr, &ran),
                    threadpool_add_task(nullptr, count_up, &ran), threadpool_task_size_lock(nullptr),
                    threadpool_adjust_limit(nullptr, 1), threadpool_adjust_limit(pool, 3),
                    threadpool_adjust_limit(pool, -1), threadpool_task_free(nullptr), threadpool_destroy(nullptr)}),
              Ints(9, -1));
    EXPECT_EQ(read(pool, &threadpool::limit), 2);
    EXPECT_EQ((Ints{threadpool_destroy(pool), ran}), (Ints{0, 0}));
}

static std::vector<intptr_t> started;  // written by the one worker only

// One worker held: tasks start in order; submitters wait while the list is full, for room or the destruction.
TEST(ThreadPool, FullListOrderSyncSubmissionAndDestroy)
{
    TraceCapture capture;
    threadpool *pool = threadpool_create(1, 1, 15);
    ASSERT_NE(pool, nullptr);
    Gate first, second;
    const lc_task_fn note = [](void *arg) { started.push_back(reinterpret_cast<intptr_t>(arg)); };
    std::vector<std::future<int>> waiting;
    auto fill = [&](Gate &gate, intptr_t n) {  // n behind the held worker, then three submitters wait for room
        ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
        ASSERT_TRUE(wait_until([&] { return threadpool_task_size_lock(pool) == 0; }, 20s));
        for (intptr_t i = 0; i < n; i++)
            ASSERT_EQ(threadpool_add_task(pool, note, reinterpret_cast<void *>(i)), 0);
        ASSERT_TRUE(wait_until([&] { return threadpool_task_size_lock(pool) == 15; }));
        capture.clear(), waiting.clear();
        for (intptr_t i = 15; i < 18; i++)
            waiting.push_back(
                std::async(std::launch::async, [=] { return threadpool_add_task(pool, note, (void *)i); }));
        ASSERT_TRUE(wait_until([&] { return capture.count("]threadpool_task_size:15 shutdown:0\n") == 3; }));
    };
    fill(first, 15);
    first.release();
    for (std::future<int> &f : waiting)
        EXPECT_EQ(f.get(), 0);

    auto comm = [](void *name) {
        std::ifstream in("/proc/self/task/" + std::to_string(syscall(SYS_gettid)) + "/comm");
        std::getline(in, *static_cast<std::string *>(name));
    };
    std::string names[2];  // two at once: each returns once its own task ran, on a worker
    auto other = std::async(std::launch::async, [&] { return threadpool_add_task_sync(pool, comm, &names[1]); });
    EXPECT_EQ(threadpool_add_task_sync(pool, comm, &names[0]), 0);
    EXPECT_EQ(other.get(), 0);
    EXPECT_EQ(names[0] + "," + names[1], "threadpool_work,threadpool_work");
    std::sort(started.begin() + std::min<size_t>(15, started.size()), started.end());  // the waiting three in any order
    EXPECT_EQ(started, (std::vector<intptr_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}));

    auto sync = std::async(std::launch::async, [&] {  // the one that fills the list after the 14
        EXPECT_TRUE(wait_until([&] { return threadpool_task_size_lock(pool) == 14; }, 20s));
        return threadpool_add_task_sync(pool, note, nullptr);
    });
    fill(second, 14);
    auto destroyer = std::async(std::launch::async, [&] { return threadpool_destroy(pool); });
    for (std::future<int> &f : waiting)
        EXPECT_EQ(f.get(), -1);                                        // woken by the destruction, not by room
    EXPECT_EQ(destroyer.wait_for(50ms), std::future_status::timeout);  // the busy task runs on
    second.release();
    EXPECT_EQ(destroyer.get(), 0);
    EXPECT_EQ((Ints{sync.get(), int(started.size())}), (Ints{0, 18}));  // the synchronous one released, nothing run
}

// Each task added wakes an idle worker of its own: four tasks end only once all four run at the same time.
TEST(ThreadPool, EveryAddedTaskWakesAWorker)
{
    threadpool *pool = threadpool_create(4, 4, 15);
    ASSERT_NE(pool, nullptr);
    static std::atomic<int> arrived;
    auto meet = [](void *) {
        arrived++;
        wait_until([] { return arrived >= 4; }, 5s);
    };
    for (int round = 0; round < 50 && !HasFailure(); round++) {
        arrived = 0;
        for (int i = 0; i < 4; i++)
            ASSERT_EQ(threadpool_add_task(pool, meet, nullptr), 0);
        EXPECT_TRUE(wait_until([] { return arrived == 4; }, 4s)) << "round " << round;
        ASSERT_TRUE(wait_until([&] { return read(pool, &threadpool::busy) == 0; }, 30s));
    }
    EXPECT_EQ(threadpool_destroy(pool), 0);
}

// Growth with two tasks pending, up to the limit, three per step; shrinking three per step, not below min.
TEST(ThreadPool, AdjustGrowsAndShrinksByItsRules)
{
    Gate one, rest;
    threadpool *pool = threadpool_create(3, 8, 15);
    ASSERT_NE(pool, nullptr);
    auto submit = [&](Gate &gate, int n) {
        while (n-- > 0)
            ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
    };
    auto step = [&](int32_t live) {
        threadpool_adjust(pool);
        EXPECT_TRUE(wait_until([&] { return read(pool, &threadpool::live) == live; })) << live;
    };
    auto busy = [&](int32_t n) { return wait_until([&] { return read(pool, &threadpool::busy) == n; }, 20s); };
    submit(one, 1), submit(rest, 3);
    ASSERT_TRUE(busy(3));
    ASSERT_EQ(threadpool_adjust_limit(pool, 8), 0);
    step(3);                                         // one pending
    ASSERT_EQ(threadpool_adjust_limit(pool, 2), 0);  // lowers min as well: shrinking stops at 2
    submit(rest, 5);
    step(3);  // above the limit
    ASSERT_EQ(threadpool_adjust_limit(pool, 7), 0);
    step(6);
    ASSERT_TRUE(busy(6));
    step(7);

    rest.release();
    ASSERT_TRUE(wait_until([&] { return threadpool_task_size_lock(pool) == 0; }));  // nothing is added meanwhile
    ASSERT_TRUE(busy(1));
    step(4), step(2);
    EXPECT_TRUE(wait_until([&] {
        threadpool_adjust(pool);
        return used_slots(pool) == 2;
    }));
    EXPECT_EQ((Ints{read(pool, &threadpool::live), read(pool, &threadpool::exit_count)}), (Ints{2, 0}));
    submit(one, 3);  // one slot never used: the others must be reused
    step(5);
    EXPECT_EQ(used_slots(pool), 5);
    one.release();
    EXPECT_EQ(threadpool_destroy(pool), 0);
}
