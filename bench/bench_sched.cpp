// bench_sched.cpp - timing of the task scheduler: how soon add_task(0, 0)
// starts its function on a worker, and how late a 10 ms fixed-period task
// runs over 5 s; beside a thread sleeping on clock_nanosleep to the same
// deadlines.  Each row measures a distribution, so it runs once and reports
// its median and 99th percentile (in microseconds) as counters.
#include "lib_common.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <time.h>

#include <atomic>
#include <vector>

namespace {

enum {
    kStartSamples = 200,   // add_task(0, 0) calls
    kStartLeadUs = 1000,   // how far ahead the sleeping thread's deadline lies
    kPeriodUs = 10000,     // the fixed period
    kPeriodSamples = 500,  // 5 s of periods
};

using lc_bench::now_ns;
using lc_bench::report_us;
using lc_bench::sleep_until;

// Baseline of the start latency: a sleeping thread woken at a deadline set
// 1 ms ahead; how late it runs after its deadline.
void BM_SleepStartLateness(benchmark::State &state)
{
    std::vector<double> late;
    for (auto _ : state) {
        for (int i = 0; i < kStartSamples; i++)
            late.push_back(static_cast<double>(sleep_until(now_ns() + kStartLeadUs * 1000)));
    }
    report_us(state, late);
}
BENCHMARK(BM_SleepStartLateness)->Iterations(1)->Repetitions(1)->UseRealTime();

// Baseline of the fixed-period lateness: every deadline lies one period
// after the moment the thread woke for the previous one, as a fixed-period
// task is re-armed one interval after it was handled.
void BM_SleepPeriodLateness(benchmark::State &state)
{
    std::vector<double> late;
    for (auto _ : state) {
        int64_t woke = now_ns();
        for (int i = 0; i < kPeriodSamples; i++) {
            int64_t deadline = woke + kPeriodUs * 1000;
            late.push_back(static_cast<double>(sleep_until(deadline)));
            woke = deadline + static_cast<int64_t>(late.back());
        }
    }
    report_us(state, late);
}
BENCHMARK(BM_SleepPeriodLateness)->Iterations(1)->Repetitions(1)->UseRealTime();

/*
 * ---- Library rows: add_task(0, 0) start latency and 10 ms fixed-period
 * lateness.
 */

// The scheduler hands every expiry to gpool, which must exist first.
class Scheduler {
public:
    Scheduler()
    {
        owns_pool_ = gpool == nullptr;
        if (owns_pool_)
            gpool = threadpool_create(2, 4, 15);
        ok_ = gpool != nullptr && task_process_init() == 0;
    }
    ~Scheduler()
    {
        if (ok_)
            task_process_exit();
        if (owns_pool_ && gpool != nullptr) {
            threadpool_destroy(gpool);
            gpool = nullptr;
        }
    }
    bool ok() const { return ok_; }

private:
    bool owns_pool_ = false;
    bool ok_ = false;
};

struct StartProbe {
    int64_t started = 0;
    lc_bench::Latch ran;
};

void mark_start(void *arg)
{
    StartProbe *probe = static_cast<StartProbe *>(arg);
    probe->started = now_ns();
    probe->ran.count_down();
}

// From the add_task(0, 0) call to the first instruction of the function on
// a pool worker.
void BM_SchedAddTaskStart(benchmark::State &state)
{
    Scheduler sched;
    if (!sched.ok()) {
        state.SkipWithError("scheduler did not start");
        return;
    }
    std::vector<double> late;
    StartProbe probe;
    for (auto _ : state) {
        for (int i = 0; i < kStartSamples; i++) {
            probe.ran.reset(1);
            int64_t called = now_ns();
            if (add_task(mark_start, &probe, 0, 0) < 0) {
                state.SkipWithError("add_task failed");
                return;
            }
            probe.ran.wait();
            late.push_back(static_cast<double>(probe.started - called));
            sleep_until(now_ns() + kStartLeadUs * 1000);  // let the scheduler settle
        }
    }
    report_us(state, late);
}
BENCHMARK(BM_SchedAddTaskStart)->Iterations(1)->Repetitions(1)->UseRealTime();

// Start times of the runs.  Static: a run handed to the pool just before
// the task was removed may still arrive.
struct PeriodProbe {
    int64_t starts[kPeriodSamples + 1];
    std::atomic<int> count{0};
    lc_bench::Latch done;
};

void mark_period(void *arg)
{
    PeriodProbe *probe = static_cast<PeriodProbe *>(arg);
    int slot = probe->count.fetch_add(1);
    if (slot <= kPeriodSamples) {
        probe->starts[slot] = now_ns();
        if (slot == kPeriodSamples)
            probe->done.count_down();
    }
}

// Lateness of each run of a 10 ms fixed-period task: the time between two
// starts beyond one period.  The next expiry is armed one interval after
// the previous one was handled, which precedes its start by the hand-over
// to the pool, so this slightly understates the lateness against the armed
// deadline.
void BM_SchedFixPeriodLateness(benchmark::State &state)
{
    Scheduler sched;
    if (!sched.ok()) {
        state.SkipWithError("scheduler did not start");
        return;
    }
    std::vector<double> late;
    static PeriodProbe probe_storage;
    PeriodProbe *probe = &probe_storage;
    for (auto _ : state) {
        probe->count = 0;
        probe->done.reset(1);
        int token = add_fixperiod_task(mark_period, probe, 0, kPeriodUs);
        if (token < 0) {
            state.SkipWithError("add_fixperiod_task failed");
            break;
        }
        probe->done.wait();
        remove_task(&token);
        for (int i = 1; i <= kPeriodSamples; i++)
            late.push_back(static_cast<double>(probe->starts[i] - probe->starts[i - 1] - kPeriodUs * 1000));
    }
    report_us(state, late);
}
BENCHMARK(BM_SchedFixPeriodLateness)->Iterations(1)->Repetitions(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
