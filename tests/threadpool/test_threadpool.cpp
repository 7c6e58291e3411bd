// Thread pool: submission order, the full list, synchronous submission,
// the adjusting step, destruction, worker names.
#include "pool_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

using lc_test::Gate;
using lc_test::counts;
using lc_test::wait_until;
using namespace std::chrono_literals;

static void noop(void *) {}

static void count_up(void *arg)
{
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

// Slots of the thread table that hold a handle.
static int used_slots(threadpool *pool)
{
    int n = 0;
    for (int i = 0; i < pool->max; i++)
        n += pool->threads[i] != 0;
    return n;
}

TEST(ThreadPool, CreateRejectsBadSizesAndNeverStartsBeyondTheTable)
{
    EXPECT_EQ(threadpool_create(-1, 2, 15), nullptr);
    EXPECT_EQ(threadpool_create(1, 0, 15), nullptr);
    EXPECT_EQ(threadpool_create(1, 2, 0), nullptr);

    threadpool *pool = threadpool_create(5, 2, 15);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->min, 2);
    EXPECT_EQ(pool->limit, 2);
    EXPECT_EQ(counts(pool).live, 2);
    EXPECT_EQ(used_slots(pool), 2);
    EXPECT_EQ(pool->shutdown, 0);
    EXPECT_EQ(threadpool_destroy(pool), 0);
}

TEST(ThreadPool, BadArgumentsAreRefusedAndChangeNothing)
{
    threadpool *pool = threadpool_create(1, 2, 15);
    ASSERT_NE(pool, nullptr);
    std::atomic<int> ran{0};
    EXPECT_EQ(threadpool_add_task(pool, nullptr, &ran), -1);
    EXPECT_EQ(threadpool_add_task_sync(pool, nullptr, &ran), -1);
    EXPECT_EQ(threadpool_add_task(nullptr, count_up, &ran), -1);
    EXPECT_EQ(threadpool_add_task_sync(nullptr, count_up, &ran), -1);
    EXPECT_EQ(threadpool_task_size_lock(nullptr), -1);
    EXPECT_EQ(threadpool_adjust_limit(nullptr, 1), -1);
    EXPECT_EQ(threadpool_adjust_limit(pool, 3), -1);  // above max
    EXPECT_EQ(threadpool_adjust_limit(pool, -1), -1);
    EXPECT_EQ(threadpool_task_free(nullptr), -1);
    EXPECT_EQ(threadpool_destroy(nullptr), -1);
    threadpool_adjust(nullptr);
    EXPECT_EQ(threadpool_task_size_lock(pool), 0);
    EXPECT_EQ(counts(pool).limit, 1);
    EXPECT_EQ(counts(pool).min, 1);
    EXPECT_EQ(threadpool_destroy(pool), 0);
    EXPECT_EQ(ran.load(), 0);
}

TEST(ThreadPool, TasksStartInSubmissionOrder)
{
    threadpool *pool = threadpool_create(1, 1, 15);
    ASSERT_NE(pool, nullptr);
    Gate gate;
    ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
    ASSERT_TRUE(gate.wait_inside(1));
    std::mutex m;
    std::vector<int> order;
    struct Item {
        std::mutex *m;
        std::vector<int> *order;
        int index;
    } items[12];
    for (int i = 0; i < 12; i++) {
        items[i] = {&m, &order, i};
        ASSERT_EQ(threadpool_add_task(pool, [](void *arg) {
                      Item *it = static_cast<Item *>(arg);
                      std::lock_guard<std::mutex> lock(*it->m);
                      it->order->push_back(it->index);
                  }, &items[i]), 0);
    }
    EXPECT_EQ(threadpool_task_size_lock(pool), 12);
    gate.release();
    ASSERT_EQ(threadpool_add_task_sync(pool, noop, nullptr), 0);  // one worker: all done
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(threadpool_destroy(pool), 0);
}

TEST(ThreadPool, SubmitterWaitsWhileTheListIsFull)
{
    lc_test::TraceCapture capture;
    threadpool *pool = threadpool_create(1, 1, 15);
    ASSERT_NE(pool, nullptr);
    Gate gate;
    std::atomic<int> ran{0};
    ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
    ASSERT_TRUE(gate.wait_inside(1));
    for (int i = 0; i < 15; i++)
        ASSERT_EQ(threadpool_add_task(pool, count_up, &ran), 0);
    EXPECT_EQ(threadpool_task_size_lock(pool), 15);

    auto sixteenth = std::async(std::launch::async, [&] { return threadpool_add_task(pool, count_up, &ran); });
    EXPECT_EQ(sixteenth.wait_for(150ms), std::future_status::timeout);
    EXPECT_TRUE(wait_until([&] { return capture.contains("]threadpool_task_size:15 shutdown:0\n"); }));
    EXPECT_EQ(threadpool_task_size_lock(pool), 15);

    gate.release();  // the worker takes the next task, which makes room
    EXPECT_EQ(sixteenth.get(), 0);
    ASSERT_EQ(threadpool_add_task_sync(pool, noop, nullptr), 0);
    EXPECT_EQ(ran.load(), 16);
    EXPECT_EQ(threadpool_destroy(pool), 0);
}

TEST(ThreadPool, SyncSubmissionReturnsOnlyAfterTheTaskRanOnAWorker)
{
    threadpool *pool = threadpool_create(2, 2, 15);
    ASSERT_NE(pool, nullptr);
    struct Probe {
        std::atomic<bool> done{false};
        std::thread::id ran_on;
    };
    auto slow = [](void *arg) {
        Probe *p = static_cast<Probe *>(arg);
        std::this_thread::sleep_for(50ms);
        p->ran_on = std::this_thread::get_id();
        p->done = true;
    };
    // Several submitters at once, each waiting for its own task.
    std::vector<std::thread> submitters;
    Probe probes[4];
    std::atomic<int> results{0};
    for (Probe &p : probes)
        submitters.emplace_back([&, pp = &p] {
            int rc = threadpool_add_task_sync(pool, slow, pp);
            if (rc == 0 && pp->done && pp->ran_on != std::this_thread::get_id())
                results++;
        });
    for (std::thread &t : submitters)
        t.join();
    EXPECT_EQ(results.load(), 4);

    Probe mine;
    EXPECT_EQ(threadpool_add_task_sync(pool, slow, &mine), 0);
    EXPECT_TRUE(mine.done);
    EXPECT_NE(mine.ran_on, std::this_thread::get_id());
    EXPECT_EQ(threadpool_destroy(pool), 0);
}

TEST(ThreadPool, WorkersAreNamedThreadpoolWorker)
{
    const int before = lc_test::threads_named("threadpool_worker");
    ASSERT_GE(before, 0);
    threadpool *pool = threadpool_create(3, 3, 15);
    ASSERT_NE(pool, nullptr);
    EXPECT_TRUE(wait_until([&] { return lc_test::threads_named("threadpool_worker") == before + 3; }));
    EXPECT_EQ(threadpool_destroy(pool), 0);
    EXPECT_EQ(lc_test::threads_named("threadpool_worker"), before);
}

TEST(ThreadPool, AdjustGrowsOnlyUpToTheLimitAndAtMostThreePerStep)
{
    Gate gate;
    threadpool *pool = threadpool_create(2, 4, 15);
    ASSERT_NE(pool, nullptr);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
    ASSERT_TRUE(gate.wait_inside(2));
    ASSERT_EQ(threadpool_task_size_lock(pool), 1);

    ASSERT_EQ(threadpool_adjust_limit(pool, 4), 0);
    threadpool_adjust(pool);  // one pending task: no growth
    EXPECT_EQ(counts(pool).live, 2);

    ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
    threadpool_adjust(pool);  // two pending, room for two
    EXPECT_EQ(counts(pool).live, 4);
    EXPECT_EQ(used_slots(pool), 4);
    EXPECT_TRUE(gate.wait_inside(4));
    EXPECT_EQ(threadpool_task_size_lock(pool), 0);

    // A pool whose limit was never raised does not grow.
    threadpool *fixed = threadpool_create(1, 8, 15);
    ASSERT_NE(fixed, nullptr);
    for (int i = 0; i < 7; i++)
        ASSERT_EQ(threadpool_add_task(fixed, Gate::hold, &gate), 0);
    threadpool_adjust(fixed);
    EXPECT_EQ(counts(fixed).live, 1);
    // Raised to 8 with six pending: three per step.
    ASSERT_EQ(threadpool_adjust_limit(fixed, 8), 0);
    threadpool_adjust(fixed);
    EXPECT_EQ(counts(fixed).live, 4);
    threadpool_adjust(fixed);
    EXPECT_EQ(counts(fixed).live, 7);

    gate.release();
    EXPECT_EQ(threadpool_destroy(pool), 0);
    EXPECT_EQ(threadpool_destroy(fixed), 0);
}

TEST(ThreadPool, AdjustSendsIdleWorkersAwayDownToMinAndReapsThem)
{
    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 7;
    threadpool *pool = threadpool_create(10, 10, 15);
    ASSERT_NE(pool, nullptr);
    ASSERT_EQ(counts(pool).live, 10);
    ASSERT_EQ(threadpool_adjust_limit(pool, 2), 0);  // lowers min as well
    EXPECT_EQ(counts(pool).min, 2);

    Gate gate;
    ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
    ASSERT_TRUE(gate.wait_inside(1));
    ASSERT_TRUE(wait_until([&] { return counts(pool).busy == 1; }));

    threadpool_adjust(pool);  // 10 live, 1 busy: three asked to leave
    EXPECT_TRUE(capture.contains("]admin cler --\n\n"));
    EXPECT_TRUE(wait_until([&] { return counts(pool).live == 7 && counts(pool).exit_count == 0; }));
    threadpool_adjust(pool);  // reaps the three, asks three more
    EXPECT_TRUE(wait_until([&] { return counts(pool).live == 4; })) << counts(pool).live << " " << counts(pool).exit_count << " " << counts(pool).busy;
    threadpool_adjust(pool);  // only two more may go
    EXPECT_TRUE(wait_until([&] { return counts(pool).live == 2; }));
    // At min nothing more leaves; the steps reap what has ended.
    EXPECT_TRUE(wait_until([&] {
        threadpool_adjust(pool);
        return used_slots(pool) == 2;
    }));
    EXPECT_EQ(counts(pool).live, 2);
    EXPECT_EQ(counts(pool).exit_count, 0);
    EXPECT_EQ(capture.count("is exiting(live:"), 8u);

    // Freed slots are reused when work piles up again.
    ASSERT_EQ(threadpool_adjust_limit(pool, 5), 0);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
    threadpool_adjust(pool);
    EXPECT_EQ(counts(pool).live, 5);
    EXPECT_EQ(used_slots(pool), 5);
    EXPECT_EQ(capture.count("]new thread 0x"), 3u);
    gate.release();
    EXPECT_EQ(threadpool_destroy(pool), 0);
}

TEST(ThreadPool, DestroyRunsNoPendingTaskAndFreesThemAll)
{
    threadpool *pool = threadpool_create(1, 1, 15);
    ASSERT_NE(pool, nullptr);
    Gate gate;
    std::atomic<int> ran{0};
    ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
    ASSERT_TRUE(gate.wait_inside(1));
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(threadpool_add_task(pool, count_up, &ran), 0);
    auto sync_submitter = std::async(std::launch::async, [&] { return threadpool_add_task_sync(pool, count_up, &ran); });
    ASSERT_TRUE(wait_until([&] { return threadpool_task_size_lock(pool) == 6; }));

    auto destroyer = std::async(std::launch::async, [&] { return threadpool_destroy(pool); });
    EXPECT_EQ(destroyer.wait_for(100ms), std::future_status::timeout);  // the busy task runs on
    gate.release();
    EXPECT_EQ(destroyer.get(), 0);
    EXPECT_EQ(sync_submitter.get(), 0);  // released although its task never ran
    EXPECT_EQ(ran.load(), 0);
}

TEST(ThreadPool, DestroyReleasesSubmittersWaitingOnAFullList)
{
    lc_test::TraceCapture capture;
    threadpool *pool = threadpool_create(1, 1, 2);
    ASSERT_NE(pool, nullptr);
    Gate gate;
    std::atomic<int> ran{0};
    ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
    ASSERT_TRUE(gate.wait_inside(1));
    ASSERT_EQ(threadpool_add_task(pool, count_up, &ran), 0);
    ASSERT_EQ(threadpool_add_task(pool, count_up, &ran), 0);
    std::vector<std::future<int>> waiting;
    for (int i = 0; i < 3; i++)
        waiting.push_back(std::async(std::launch::async, [&] { return threadpool_add_task(pool, count_up, &ran); }));
    ASSERT_TRUE(wait_until([&] { return capture.count("]threadpool_task_size:2 shutdown:0\n") >= 3; }));
    EXPECT_EQ(waiting[0].wait_for(50ms), std::future_status::timeout);

    auto destroyer = std::async(std::launch::async, [&] { return threadpool_destroy(pool); });
    for (std::future<int> &w : waiting)
        EXPECT_EQ(w.get(), -1);  // woken by the destruction, not by room
    gate.release();
    EXPECT_EQ(destroyer.get(), 0);
    EXPECT_EQ(ran.load(), 0);
}

TEST(ThreadPool, ManySubmittersWhileTheMainLoopAdjusts)
{
    threadpool *pool = threadpool_create(2, 4, 15);
    ASSERT_NE(pool, nullptr);
    ASSERT_EQ(threadpool_adjust_limit(pool, 4), 0);
    std::atomic<int> ran{0};
    std::atomic<bool> stop{false};
    std::thread adjuster([&] {
        while (!stop) {
            threadpool_adjust(pool);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::vector<std::thread> submitters;
    for (int t = 0; t < 4; t++)
        submitters.emplace_back([&] {
            for (int i = 0; i < 200; i++)
                EXPECT_EQ(threadpool_add_task(pool, count_up, &ran), 0);
        });
    for (std::thread &t : submitters)
        t.join();
    EXPECT_TRUE(wait_until([&] { return ran.load() == 800; }));
    stop = true;
    adjuster.join();
    EXPECT_GE(counts(pool).live, 2);
    EXPECT_EQ(threadpool_destroy(pool), 0);
}
