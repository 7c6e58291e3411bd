// bench_pool.cpp - empty tasks through a pool of 2 workers and a task list
// of 15, from one and from two submitting threads, and the synchronous
// round trip; beside the minimal std::mutex pool, GThreadPool and
// boost::asio::thread_pool.
#include "lib_common.h"

#include "baseline_pool.h"
#include "bench_support.h"

#include <benchmark/benchmark.h>

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

// Runs `tasks` calls of submit() on `submitters` threads (the calling one
// alone when 1), then waits until every task has run.
template <class Submit>
void submit_and_wait(int submitters, Latch &latch, Submit submit)
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
// threads).  Neither peer bounds its queue.
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
    lc_bench::add_library(paired, [&] {
        submit_and_wait(submitters, latch, [&] { threadpool_add_task(pool, count_task, &latch); });
    });

    BaselinePool minimal(kWorkers, kQueueMax);
    paired.add("minimal", [&] {
        submit_and_wait(submitters, latch, [&] { minimal.submit(count_task, &latch); });
    });

#ifdef LC_HAVE_GLIB
    GThreadPool *gpool_peer = g_thread_pool_new(
        [](gpointer data, gpointer) { count_task(data); }, nullptr, kWorkers, TRUE, nullptr);
    if (gpool_peer != nullptr)
        paired.add("gthreadpool", [&] {
            submit_and_wait(submitters, latch,
                            [&] { g_thread_pool_push(gpool_peer, &latch, nullptr); });
        });
#endif
#ifdef LC_HAVE_BOOST
    boost::asio::thread_pool asio_pool(kWorkers);
    paired.add("asio", [&] {
        submit_and_wait(submitters, latch,
                        [&] { boost::asio::post(asio_pool, [&latch] { latch.count_down(); }); });
    });
#endif

    paired.run();

#ifdef LC_HAVE_BOOST
    asio_pool.join();
#endif
#ifdef LC_HAVE_GLIB
    if (gpool_peer != nullptr)
        g_thread_pool_free(gpool_peer, FALSE, TRUE);
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
            minimal.submit([](void *p) { static_cast<std::promise<void> *>(p)->set_value(); },
                           &done);
            ran.wait();
        }
    });
    paired.run();
    threadpool_destroy(pool);
}
BENCHMARK(BM_PoolSync)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
