// bench_pool.cpp - empty tasks through a pool of 2 workers and a task list
// of 15, from one and from two submitting threads, and the synchronous
// round trip; beside the minimal std::mutex pool, GThreadPool and
// boost::asio::thread_pool, both as they are and behind a counting
// semaphore of 15 (the same bound as the library's list).  Then tasks that
// do work (busy loops of about 20 us and 1 ms) with 2 and with 4 workers,
// timed until the last one has run.
#include "lib_common.h"

#include "baseline_pool.h"
#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <semaphore.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#ifdef LC_HAVE_GLIB
#include <glib.h>
#endif
#ifdef LC_HAVE_BOOST
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#endif

using lc_bench::Latch;

namespace {

enum { kWorkers = 2, kQueueMax = 15, kTasks = 20000 };

// The task: nothing but telling the latch it has run.
void count_task(void *arg)
{
    static_cast<Latch *>(arg)->count_down();
}

void empty_task(void *) {}

// A counting semaphore of kQueueMax in front of a peer's submission: the
// submitter takes a count before it pushes, and the task gives it back as
// it starts, so that at most kQueueMax tasks wait, as in the library's list.
class Bound {
public:
    explicit Bound(unsigned count) { sem_init(&sem_, 0, count); }
    ~Bound() { sem_destroy(&sem_); }
    Bound(const Bound &) = delete;
    Bound &operator=(const Bound &) = delete;
    void enter()
    {
        while (sem_wait(&sem_) != 0) {
        }
    }
    void leave() { sem_post(&sem_); }

private:
    sem_t sem_;
};

// What a bounded peer's task carries.
struct BoundedArg {
    Bound *bound;
    Latch *latch;
};

void bounded_count_task(void *arg)
{
    BoundedArg *a = static_cast<BoundedArg *>(arg);
    a->bound->leave();
    a->latch->count_down();
}

// Runs `tasks` calls of submit() on `submitters` threads (the calling one
// alone when 1), then waits until every task has run.
template <class Submit> void submit_and_wait(int submitters, Latch &latch, Submit submit)
{
    latch.reset(kTasks);
    if (submitters == 1) {
        for (int i = 0; i < kTasks; i++)
            submit();
    } else {
        std::vector<std::thread> threads;
        for (int t = 0; t < submitters; t++)
            threads.emplace_back([&, t] {
                for (int i = t; i < kTasks; i += submitters)
                    submit();
            });
        for (std::thread &th : threads)
            th.join();
    }
    latch.wait();
}

// Each iteration sends kTasks empty tasks through every pool in turn: the
// library's at the shipped trace level (6: a submitter that finds the list
// full traces each wait), the library's with level-6 traces off, the
// minimal pool, GThreadPool (2 exclusive threads) and asio's pool (2
// threads) as they are, with unbounded queues, and both again behind a
// semaphore of 15.
void BM_PoolThroughput(benchmark::State &state)
{
    const int submitters = static_cast<int>(state.range(0));
    Latch latch;
    lc_bench::Paired paired(state, kTasks);

    threadpool *pool = threadpool_create(kWorkers, kWorkers, kQueueMax);
    if (pool == nullptr) {
        state.SkipWithError("threadpool_create failed");
        return;
    }
    lc_bench::add_library(
        paired, [&] { submit_and_wait(submitters, latch, [&] { threadpool_add_task(pool, count_task, &latch); }); });

    BaselinePool minimal(kWorkers, kQueueMax);
    paired.add("minimal", [&] { submit_and_wait(submitters, latch, [&] { minimal.submit(count_task, &latch); }); });

    Bound bound(kQueueMax);
    BoundedArg bounded{&bound, &latch};
#ifdef LC_HAVE_GLIB
    GThreadPool *gpool_peer =
        g_thread_pool_new([](gpointer data, gpointer) { count_task(data); }, nullptr, kWorkers, TRUE, nullptr);
    GThreadPool *gpool_bounded =
        g_thread_pool_new([](gpointer data, gpointer) { bounded_count_task(data); }, nullptr, kWorkers, TRUE, nullptr);
    if (gpool_peer != nullptr)
        paired.add("gthreadpool", [&] {
            submit_and_wait(submitters, latch, [&] { g_thread_pool_push(gpool_peer, &latch, nullptr); });
        });
    if (gpool_bounded != nullptr)
        paired.add("gthreadpool15", [&] {
            submit_and_wait(submitters, latch, [&] {
                bound.enter();
                g_thread_pool_push(gpool_bounded, &bounded, nullptr);
            });
        });
#endif
#ifdef LC_HAVE_BOOST
    boost::asio::thread_pool asio_pool(kWorkers);
    paired.add("asio", [&] {
        submit_and_wait(submitters, latch, [&] { boost::asio::post(asio_pool, [&latch] { latch.count_down(); }); });
    });
    boost::asio::thread_pool asio_bounded(kWorkers);
    paired.add("asio15", [&] {
        submit_and_wait(submitters, latch, [&] {
            bound.enter();
            boost::asio::post(asio_bounded, [&bounded] { bounded_count_task(&bounded); });
        });
    });
#endif

    paired.run();

#ifdef LC_HAVE_BOOST
    asio_pool.join();
    asio_bounded.join();
#endif
#ifdef LC_HAVE_GLIB
    if (gpool_peer != nullptr)
        g_thread_pool_free(gpool_peer, FALSE, TRUE);
    if (gpool_bounded != nullptr)
        g_thread_pool_free(gpool_bounded, FALSE, TRUE);
#endif
    threadpool_destroy(pool);
}
BENCHMARK(BM_PoolThroughput)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

enum { kRoundTrips = 200 };

// Synchronous submission (returns once a worker has run the task), beside
// the same round trip through the minimal pool with a std::promise.
void BM_PoolSync(benchmark::State &state)
{
    threadpool *pool = threadpool_create(kWorkers, kWorkers, kQueueMax);
    if (pool == nullptr) {
        state.SkipWithError("threadpool_create failed");
        return;
    }
    BaselinePool minimal(kWorkers, kQueueMax);
    lc_bench::Paired paired(state, kRoundTrips);
    paired.add("library", [&] {
        for (int i = 0; i < kRoundTrips; i++)
            threadpool_add_task_sync(pool, empty_task, nullptr);
    });
    paired.add("minimal", [&] {
        for (int i = 0; i < kRoundTrips; i++) {
            std::promise<void> done;
            std::future<void> ran = done.get_future();
            minimal.submit([](void *p) { static_cast<std::promise<void> *>(p)->set_value(); }, &done);
            ran.wait();
        }
    });
    paired.run();
    threadpool_destroy(pool);
}
BENCHMARK(BM_PoolSync)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- Tasks that do work

// A busy loop of a fixed number of steps (a chain of multiplications that
// the compiler cannot shorten).  A fixed count, not a deadline: a task that
// loses its core takes longer, as real work would.
void spin(uint64_t steps)
{
    uint64_t x = steps | 1;
    for (uint64_t i = 0; i < steps; i++)
        x = x * 6364136223846793005ull + 1442695040888963407ull;
    benchmark::DoNotOptimize(x);
}

// Steps of spin() in a microsecond on this machine: the best of a few timed
// runs, so that load at start-up does not shorten the tasks.
uint64_t steps_per_us()
{
    static const uint64_t steps = [] {
        const uint64_t probe = 2000000;
        double best_ns = 1e30;
        for (int i = 0; i < 7; i++) {
            auto start = std::chrono::steady_clock::now();
            spin(probe);
            auto end = std::chrono::steady_clock::now();
            double ns = std::chrono::duration<double, std::nano>(end - start).count();
            best_ns = ns < best_ns ? ns : best_ns;
        }
        return static_cast<uint64_t>(static_cast<double>(probe) * 1000.0 / best_ns);
    }();
    return steps;
}

struct WorkArg {
    uint64_t steps;
    Latch *latch;
};

void work_task(void *arg)
{
    WorkArg *w = static_cast<WorkArg *>(arg);
    spin(w->steps);
    w->latch->count_down();
}

// N tasks of about `work_us` each, from one submitter, through pools of
// `workers` threads: the library's (list of 15) at the shipped level and
// with level-6 traces off, the minimal pool (list of 15), GThreadPool and
// asio's pool (unbounded).  Timed until the last task has run; the figure
// per task is the batch's time over N.  N keeps each batch near 40 ms of
// work on two cores.
void BM_PoolWork(benchmark::State &state)
{
    const int work_us = static_cast<int>(state.range(0));
    const int workers = static_cast<int>(state.range(1));
    const int tasks = work_us >= 1000 ? 80 : 4000;
    Latch latch;
    WorkArg arg{static_cast<uint64_t>(work_us) * steps_per_us(), &latch};
    lc_bench::Paired paired(state, tasks);

    // Every batch: reset the latch, submit, wait for the last task.
    auto batch = [&](auto submit) {
        latch.reset(tasks);
        for (int i = 0; i < tasks; i++)
            submit();
        latch.wait();
    };

    threadpool *pool = threadpool_create(workers, workers, kQueueMax);
    if (pool == nullptr) {
        state.SkipWithError("threadpool_create failed");
        return;
    }
    lc_bench::add_library(paired, [&] { batch([&] { threadpool_add_task(pool, work_task, &arg); }); });
    BaselinePool minimal(workers, kQueueMax);
    paired.add("minimal", [&] { batch([&] { minimal.submit(work_task, &arg); }); });
#ifdef LC_HAVE_GLIB
    GThreadPool *gpool_peer =
        g_thread_pool_new([](gpointer data, gpointer) { work_task(data); }, nullptr, workers, TRUE, nullptr);
    if (gpool_peer != nullptr)
        paired.add("gthreadpool", [&] { batch([&] { g_thread_pool_push(gpool_peer, &arg, nullptr); }); });
#endif
#ifdef LC_HAVE_BOOST
    boost::asio::thread_pool asio_pool(static_cast<size_t>(workers));
    paired.add("asio", [&] { batch([&] { boost::asio::post(asio_pool, [&arg] { work_task(&arg); }); }); });
#endif
    paired.run();
    state.counters["work_us"] = work_us;
    state.counters["tasks"] = tasks;
#ifdef LC_HAVE_BOOST
    asio_pool.join();
#endif
#ifdef LC_HAVE_GLIB
    if (gpool_peer != nullptr)
        g_thread_pool_free(gpool_peer, FALSE, TRUE);
#endif
    threadpool_destroy(pool);
}
BENCHMARK(BM_PoolWork)
    ->Args({20, 2})
    ->Args({20, 4})
    ->Args({1000, 2})
    ->Args({1000, 4})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
