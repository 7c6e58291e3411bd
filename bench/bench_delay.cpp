// bench_delay.cpp - addEntry and removeEntry on a delay queue that already
// holds 10, 100, 1,000 or 10,000 entries.  Both walk the delta list, so the
// cost per call should grow linearly with the entries queued, no worse.
#include "lib_common.h"
#include "delay_queue.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <vector>

namespace {

enum { kOps = 32 };  // calls timed together, between two clock reads

using Clock = std::chrono::steady_clock;

// A delay far enough out that nothing falls due while the benchmark runs,
// spread over a range that grows with the queue so that new entries land
// at random places in it.
DelayInterval random_delay(std::mt19937 &rng, int64_t queued)
{
    int32_t span = static_cast<int32_t>(queued * 10 + 10);
    return DelayInterval(3600 + static_cast<int32_t>(rng() % static_cast<uint32_t>(span)),
                         static_cast<int32_t>(rng() % 1000000u));
}

// A queue holding `n` entries at random delays; the queue destroys them.
DelayQueue *filled_queue(std::mt19937 &rng, int64_t n)
{
    DelayQueue *q = new DelayQueue;
    for (int64_t i = 0; i < n; i++)
        q->addEntry(new DelayQueueEntry(random_delay(rng, n)));
    return q;
}

// Times kOps addEntry calls per iteration; the entries are made before and
// taken out again after the timed part.
void BM_DelayAddEntry(benchmark::State &state)
{
    std::mt19937 rng(1);
    const int64_t n = state.range(0);
    DelayQueue *q = filled_queue(rng, n);
    DelayQueueEntry *fresh[kOps];
    for (auto _ : state) {
        for (DelayQueueEntry *&e : fresh)
            e = new DelayQueueEntry(random_delay(rng, n));
        Clock::time_point start = Clock::now();
        for (DelayQueueEntry *e : fresh)
            q->addEntry(e);
        Clock::time_point end = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        for (DelayQueueEntry *e : fresh)
            delete e;  // leaves the queue first
    }
    delete q;
    state.counters["batch"] = kOps;
}
BENCHMARK(BM_DelayAddEntry)->RangeMultiplier(10)->Range(10, 10000)->UseManualTime();

// Times kOps removeEntry(token) calls per iteration: each looks its entry
// up in the list and unlinks it.  The entries are added before the timed
// part and destroyed after it.
void BM_DelayRemoveEntry(benchmark::State &state)
{
    std::mt19937 rng(2);
    const int64_t n = state.range(0);
    DelayQueue *q = filled_queue(rng, n);
    int32_t tokens[kOps];
    DelayQueueEntry *removed[kOps];
    for (auto _ : state) {
        for (int32_t &t : tokens) {
            DelayQueueEntry *e = new DelayQueueEntry(random_delay(rng, n));
            t = e->token();
            q->addEntry(e);
        }
        Clock::time_point start = Clock::now();
        for (int i = 0; i < kOps; i++)
            removed[i] = q->removeEntry(tokens[i]);
        Clock::time_point end = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        for (DelayQueueEntry *e : removed)
            delete e;
    }
    delete q;
    state.counters["batch"] = kOps;
}
BENCHMARK(BM_DelayRemoveEntry)->RangeMultiplier(10)->Range(10, 10000)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
