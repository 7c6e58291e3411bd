// Thread pool: submission order, the full list, synchronous submission,
// the adjusting step, destruction, worker names.
#include "pool_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <sys/syscall.h>
#include <unistd.h>

using lc_test::Gate;
using lc_test::counts;
using lc_test::wait_until;
using namespace std::chrono_literals;

static void noop(void *) {}

static void count_up(void *arg)
{
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

static int used_slots(threadpool *pool)
{
    int n = 0;
    for (int i = 0; i < pool->max; i++)
        n += pool->threads[i] != 0;
    return n;
}

TEST(ThreadPool, BadSizesAndArgumentsAreRefused)
{
    EXPECT_EQ(threadpool_create(-1, 2, 15), nullptr);
    EXPECT_EQ(threadpool_create(1, 0, 15), nullptr);
    EXPECT_EQ(threadpool_create(1, 2, 0), nullptr);
    threadpool *pool = threadpool_create(5, 2, 15);  // min above max: clamped
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(counts(pool).min, 2);
    EXPECT_EQ(counts(pool).live, 2);
    EXPECT_EQ(used_slots(pool), 2);

    std::atomic<int> ran{0};
    EXPECT_EQ(threadpool_add_task(pool, nullptr, &ran), -1);
    EXPECT_EQ(threadpool_add_task_sync(pool, nullptr, &ran), -1);
    EXPECT_EQ(threadpool_add_task(nullptr, count_up, &ran), -1);
    EXPECT_EQ(threadpool_task_size_lock(nullptr), -1);
    EXPECT_EQ(threadpool_adjust_limit(nullptr, 1), -1);
    EXPECT_EQ(threadpool_adjust_limit(pool, 3), -1);  // above max
    EXPECT_EQ(threadpool_adjust_limit(pool, -1), -1);
    EXPECT_EQ(threadpool_task_free(nullptr), -1);
    EXPECT_EQ(threadpool_destroy(nullptr), -1);
    threadpool_adjust(nullptr);
    EXPECT_EQ(counts(pool).limit, 2);
    EXPECT_EQ(threadpool_task_size_lock(pool), 0);
    EXPECT_EQ(threadpool_destroy(pool), 0);
    EXPECT_EQ(ran.load(), 0);
}

static std::vector<intptr_t> started;  // written by the one worker only

static void note_start(void *arg)
{
    started.push_back(reinterpret_cast<intptr_t>(arg));
}

TEST(ThreadPool, TasksStartInOrderAndTheSixteenthWaitsForRoom)
{
    lc_test::TraceCapture capture;
    started.clear();
    threadpool *pool = threadpool_create(1, 1, 15);
    ASSERT_NE(pool, nullptr);
    Gate gate;
    ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
    ASSERT_TRUE(gate.wait_inside(1));
    for (intptr_t i = 0; i < 15; i++)
        ASSERT_EQ(threadpool_add_task(pool, note_start, reinterpret_cast<void *>(i)), 0);
    auto sixteenth = std::async(std::launch::async, [&] {
        return threadpool_add_task(pool, note_start, reinterpret_cast<void *>(15));
    });
    EXPECT_TRUE(wait_until([&] { return capture.contains("]threadpool_task_size:15 shutdown:0\n"); }));
    EXPECT_EQ(sixteenth.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(threadpool_task_size_lock(pool), 15);

    gate.release();  // the worker takes the next task: room for one
    EXPECT_EQ(sixteenth.get(), 0);
    ASSERT_EQ(threadpool_add_task_sync(pool, noop, nullptr), 0);  // one worker: all done
    std::vector<intptr_t> expected;
    for (intptr_t i = 0; i < 16; i++)
        expected.push_back(i);
    EXPECT_EQ(started, expected);
    EXPECT_EQ(threadpool_destroy(pool), 0);
}

TEST(ThreadPool, SyncSubmissionReturnsOnlyAfterTheTaskRanOnAWorker)
{
    threadpool *pool = threadpool_create(2, 2, 15);
    ASSERT_NE(pool, nullptr);
    struct Probe {
        bool done = false;
        std::thread::id ran_on;
    } probes[4];
    auto slow = [](void *arg) {
        std::this_thread::sleep_for(30ms);
        static_cast<Probe *>(arg)->ran_on = std::this_thread::get_id();
        static_cast<Probe *>(arg)->done = true;
    };
    std::vector<std::thread> submitters;  // several at once
    for (Probe &p : probes)
        submitters.emplace_back([&, probe = &p] {
            EXPECT_EQ(threadpool_add_task_sync(pool, slow, probe), 0);
            EXPECT_TRUE(probe->done);
            EXPECT_NE(probe->ran_on, std::this_thread::get_id());
        });
    for (std::thread &t : submitters)
        t.join();
    EXPECT_EQ(threadpool_destroy(pool), 0);
}

TEST(ThreadPool, WorkersAreNamedThreadpoolWorker)
{
    struct Seen {
        Gate gate;
        std::atomic<int> n{0};
        pid_t tids[3];
    } seen;
    threadpool *pool = threadpool_create(3, 3, 15);
    ASSERT_NE(pool, nullptr);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(threadpool_add_task(pool, [](void *arg) {
                      Seen *s = static_cast<Seen *>(arg);
                      s->tids[s->n++] = static_cast<pid_t>(syscall(SYS_gettid));
                      Gate::hold(&s->gate);
                  }, &seen), 0);
    ASSERT_TRUE(seen.gate.wait_inside(3));
    for (pid_t tid : seen.tids) {
        std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
        std::string name;
        std::getline(comm, name);
        EXPECT_EQ(name, "threadpool_work");  // the kernel keeps 15 characters
    }
    seen.gate.release();
    EXPECT_EQ(threadpool_destroy(pool), 0);
}

TEST(ThreadPool, AdjustGrowsOnlyUpToTheLimitAndAtMostThreePerStep)
{
    Gate gate;
    threadpool *pool = threadpool_create(2, 4, 15);
    ASSERT_NE(pool, nullptr);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
    ASSERT_TRUE(gate.wait_inside(2));
    ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
    threadpool_adjust(pool);  // two pending, but the limit is still min
    EXPECT_EQ(counts(pool).live, 2);
    ASSERT_EQ(threadpool_adjust_limit(pool, 4), 0);
    threadpool_adjust(pool);
    EXPECT_EQ(counts(pool).live, 4);
    EXPECT_TRUE(gate.wait_inside(4));

    threadpool *wide = threadpool_create(1, 8, 15);
    ASSERT_NE(wide, nullptr);
    ASSERT_EQ(threadpool_adjust_limit(wide, 8), 0);
    ASSERT_EQ(threadpool_add_task(wide, Gate::hold, &gate), 0);
    ASSERT_TRUE(gate.wait_inside(5));
    ASSERT_EQ(threadpool_add_task(wide, Gate::hold, &gate), 0);
    threadpool_adjust(wide);  // one pending: no growth
    EXPECT_EQ(counts(wide).live, 1);
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(threadpool_add_task(wide, Gate::hold, &gate), 0);
    threadpool_adjust(wide);
    EXPECT_EQ(counts(wide).live, 4);
    threadpool_adjust(wide);
    EXPECT_EQ(counts(wide).live, 7);

    gate.release();
    EXPECT_EQ(threadpool_destroy(pool), 0);
    EXPECT_EQ(threadpool_destroy(wide), 0);
}

TEST(ThreadPool, AdjustSendsIdleWorkersAwayDownToMinAndReusesTheirSlots)
{
    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 7;
    threadpool *pool = threadpool_create(10, 10, 15);
    ASSERT_NE(pool, nullptr);
    ASSERT_EQ(threadpool_adjust_limit(pool, 2), 0);  // lowers min as well
    EXPECT_EQ(counts(pool).min, 2);
    Gate gate;
    ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
    ASSERT_TRUE(wait_until([&] { return counts(pool).busy == 1; }));

    // 10 live, 1 busy: three leave per step, and never below min.
    for (int32_t expect : {7, 4, 2}) {
        threadpool_adjust(pool);
        EXPECT_TRUE(wait_until([&] { return counts(pool).live == expect; })) << expect;
    }
    EXPECT_TRUE(wait_until([&] {  // the steps reap what has ended
        threadpool_adjust(pool);
        return used_slots(pool) == 2;
    }));
    EXPECT_EQ(counts(pool).live, 2);
    EXPECT_EQ(counts(pool).exit_count, 0);
    EXPECT_EQ(capture.count("is exiting(live:"), 8u);
    EXPECT_EQ(capture.count("]admin cler --\n\n"), 3u);

    ASSERT_EQ(threadpool_adjust_limit(pool, 5), 0);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
    threadpool_adjust(pool);
    EXPECT_EQ(counts(pool).live, 5);
    EXPECT_EQ(used_slots(pool), 5);
    gate.release();
    EXPECT_EQ(threadpool_destroy(pool), 0);
}

TEST(ThreadPool, DestroyRunsNothingPendingAndReleasesEveryWaiter)
{
    lc_test::TraceCapture capture;
    threadpool *pool = threadpool_create(1, 1, 2);
    ASSERT_NE(pool, nullptr);
    Gate gate;
    std::atomic<int> ran{0};
    ASSERT_EQ(threadpool_add_task(pool, Gate::hold, &gate), 0);
    ASSERT_TRUE(gate.wait_inside(1));
    ASSERT_EQ(threadpool_add_task(pool, count_up, &ran), 0);
    auto sync = std::async(std::launch::async, [&] { return threadpool_add_task_sync(pool, count_up, &ran); });
    ASSERT_TRUE(wait_until([&] { return threadpool_task_size_lock(pool) == 2; }));
    std::vector<std::future<int>> full;  // the list holds 2: these wait
    for (int i = 0; i < 3; i++)
        full.push_back(std::async(std::launch::async, [&] { return threadpool_add_task(pool, count_up, &ran); }));
    ASSERT_TRUE(wait_until([&] { return capture.count("]threadpool_task_size:2 shutdown:0\n") >= 3; }));

    auto destroyer = std::async(std::launch::async, [&] { return threadpool_destroy(pool); });
    for (std::future<int> &f : full)
        EXPECT_EQ(f.get(), -1);  // woken by the destruction, not by room
    EXPECT_EQ(destroyer.wait_for(50ms), std::future_status::timeout);  // the busy task runs on
    gate.release();
    EXPECT_EQ(destroyer.get(), 0);
    EXPECT_EQ(sync.get(), 0);  // released although its task never ran
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
        for (; !stop; std::this_thread::sleep_for(1ms))
            threadpool_adjust(pool);
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
    EXPECT_EQ(threadpool_destroy(pool), 0);
}
