// bench_support.h - small pieces shared by the benchmarks: a back-off for
// threads that wait on each other, a count-down latch, percentiles, and the
// monotonic clock.
#ifndef LC_BENCH_SUPPORT_H
#define LC_BENCH_SUPPORT_H

#include "lib_common.h"

#include <benchmark/benchmark.h>

#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace lc_bench {

// A waiting thread spins briefly, then gives its core away: the machine has
// two cores shared with other work, and a spinner that never yields can
// keep the very thread it waits for off the CPU.
class Backoff {
public:
    void pause()
    {
        if (++spins_ < 64) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
            asm volatile("yield");
#endif
        } else {
            sched_yield();
        }
    }
    void reset()
    {
        spins_ = 0;
    }

private:
    int spins_ = 0;
};

// Counts tasks down; wait() sleeps until the last one has run, so the
// measuring thread takes no core away from the workers.
class Latch {
public:
    void reset(long count)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        left_.store(count, std::memory_order_relaxed);
        done_ = count <= 0;
    }
    void count_down()
    {
        if (left_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
            cv_.notify_all();
        }
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return done_; });
    }

private:
    std::atomic<long> left_{0};
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = true;
};

// The q-quantile (0..1) of the samples, nearest rank; sorts them.
inline double quantile(std::vector<double> &samples, double q)
{
    if (samples.empty())
        return 0.0;
    std::sort(samples.begin(), samples.end());
    size_t rank = static_cast<size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(rank, samples.size() - 1)];
}

// The monotonic clock in nanoseconds.
inline int64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Sleeps until the absolute monotonic time `deadline` (ns) and returns how
// late the thread woke, in nanoseconds.
inline int64_t sleep_until(int64_t deadline)
{
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(deadline / 1000000000);
    ts.tv_nsec = static_cast<long>(deadline % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
    }
    return now_ns() - deadline;
}

// A distribution of times (ns) as the counters of a row that runs once: its
// median and 99th percentile in microseconds, and the count.  Sorts them.
inline void report_us(benchmark::State &state, std::vector<double> &samples_ns)
{
    state.counters["median_us"] = quantile(samples_ns, 0.5) / 1000.0;
    state.counters["p99_us"] = quantile(samples_ns, 0.99) / 1000.0;
    state.counters["samples"] = static_cast<double>(samples_ns.size());
}

// Sets the library's trace level ("lib") for a scope.  The benchmarks run
// at the shipped default unless a row says otherwise: rows named *Quiet
// lower it to 5 to show what the level-6 traces on full queues cost.
class LibLevel {
public:
    explicit LibLevel(int level) : saved_(dbgout_profile.lib_level) { dbgout_profile.lib_level = level; }
    ~LibLevel() { dbgout_profile.lib_level = saved_; }
    LibLevel(const LibLevel &) = delete;
    LibLevel &operator=(const LibLevel &) = delete;

private:
    int saved_;
};

// Items moved per iteration, for the report's per-item times.
inline void set_batch(benchmark::State &state, double items)
{
    state.counters["batch"] = items;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * items));
}

// What a batch counts beside its time, summed over the iterations; the
// report gives each per 1,000 items.  refused: writes that found the queue
// full; waits: times a consumer found nothing to take; faults: page faults
// of the process while the batch ran.
struct Tally {
    double refused = 0;
    double waits = 0;
    double faults = 0;
};

// Runs competing implementations of one workload side by side: every
// iteration runs one batch of each, in an order that rotates from one
// iteration to the next, and times each batch on its own.  The load of the
// shared machine then weighs on all of them alike, and the ratios stay
// meaningful even when the absolute figures wander.  After the loop each
// implementation's time per item (ns) is in the counter "<name>_ns", and
// for a batch added with add_counted its tallies per 1,000 items in
// "<name>_refused_k", "<name>_waits_k" and "<name>_faults_k"; "load1" is
// the 1-minute load average as the repetition began.
// For profiling one of them alone, LC_BENCH_ONLY=<name> skips the others.
class Paired {
public:
    Paired(benchmark::State &state, double items_per_batch) : state_(state), items_(items_per_batch) {}

    void add(const char *name, std::function<void()> batch)
    {
        auto uncounted = [batch](Tally &) { batch(); };
        add_alt(name, uncounted, false);
    }

    void add_counted(const char *name, std::function<void(Tally &)> batch) { add_alt(name, std::move(batch), true); }

    void run()
    {
        double load[1] = {0.0};
        if (getloadavg(load, 1) == 1)
            state_.counters["load1"] = load[0];
        size_t first = 0;
        for (auto _ : state_) {
            for (size_t k = 0; k < alts_.size(); k++) {
                Alt &alt = alts_[(first + k) % alts_.size()];
                auto start = std::chrono::steady_clock::now();
                alt.batch(alt.tally);
                auto end = std::chrono::steady_clock::now();
                alt.ns += std::chrono::duration<double, std::nano>(end - start).count();
            }
            first++;
        }
        const double items = static_cast<double>(state_.iterations()) * items_;
        for (const Alt &alt : alts_) {
            state_.counters[alt.name + "_ns"] = items > 0 ? alt.ns / items : 0.0;
            if (!alt.counted || items <= 0)
                continue;
            state_.counters[alt.name + "_refused_k"] = 1000.0 * alt.tally.refused / items;
            state_.counters[alt.name + "_waits_k"] = 1000.0 * alt.tally.waits / items;
            state_.counters[alt.name + "_faults_k"] = 1000.0 * alt.tally.faults / items;
        }
    }

private:
    struct Alt {
        std::string name;
        std::function<void(Tally &)> batch;
        bool counted;
        double ns;
        Tally tally;
    };

    void add_alt(const char *name, std::function<void(Tally &)> batch, bool counted)
    {
        const char *only = getenv("LC_BENCH_ONLY");
        if (only == nullptr || *only == '\0' || strcmp(only, name) == 0)
            alts_.push_back({name, std::move(batch), counted, 0.0, Tally()});
    }

    benchmark::State &state_;
    double items_;
    std::vector<Alt> alts_;
};

// Adds the library's batch twice: at the shipped trace level ("library")
// and with level-6 traces off ("library_quiet").
inline void add_library(Paired &paired, const std::function<void()> &batch)
{
    paired.add("library", batch);
    paired.add("library_quiet", [batch] {
        LibLevel quiet(5);
        batch();
    });
}

// The same for a batch that tallies.
inline void add_library_counted(Paired &paired, const std::function<void(Tally &)> &batch)
{
    paired.add_counted("library", batch);
    paired.add_counted("library_quiet", [batch](Tally &tally) {
        LibLevel quiet(5);
        batch(tally);
    });
}

}  // namespace lc_bench

#endif  // LC_BENCH_SUPPORT_H
