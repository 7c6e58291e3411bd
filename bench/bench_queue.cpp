// bench_queue.cpp - the frame queue with 1 KiB frames from a producer to a
// consumer, and the block queue with two writers and two readers; beside
// the minimal std::mutex + std::deque<std::vector<char>> queue.  Each batch
// also counts the writes that found its queue full, the waits of its
// consumers and the page faults of the process, which tell a comparison
// that holds from run to run from one that the load decided.
#include "lib_common.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using lc_bench::Backoff;
using lc_bench::Tally;

namespace {

enum {
    kFrameBytes = 1024,
    kCapacity = 512,  // entries of every record, and the bound of the baseline
    kFrames = 50000,  // frames (or blocks) moved per iteration
    kBatch = 32,      // frames after which the frame queue signals its consumer
};

const char *payload()
{
    static char bytes[kFrameBytes];
    for (int i = 0; i < kFrameBytes; i++)
        bytes[i] = static_cast<char>(i);
    return bytes;
}

// Times the calling thread has gone to sleep (on a mutex, a condition, a
// sleep call): its voluntary context switches.  Yielding does not count.
long sleeps_of_this_thread()
{
    struct rusage ru;
    getrusage(RUSAGE_THREAD, &ru);
    return ru.ru_nvcsw;
}

// Page faults of the process so far: a heap that the allocator gives back
// to the system and takes again shows here.
long page_faults()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_minflt + ru.ru_majflt;
}

// The queue a developer writes in a few lines: bounded, copying each frame
// into a vector; the reader takes the vector.
class MinimalQueue {
public:
    bool push(const char *data, size_t size)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (frames_.size() >= kCapacity)
            return false;
        frames_.emplace_back(data, data + size);
        ready_.notify_one();
        return true;
    }
    bool try_pop(std::vector<char> &out)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (frames_.empty())
            return false;
        out = std::move(frames_.front());
        frames_.pop_front();
        return true;
    }
    std::vector<char> pop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !frames_.empty(); });
        std::vector<char> out = std::move(frames_.front());
        frames_.pop_front();
        return out;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::vector<char>> frames_;
};

// A producer that finds the queue full gives its consumers time, as a
// device's producer does (it meets a full queue only when a consumer falls
// behind): it yields at the first two refusals, then sleeps 1 us, 2 us,
// 4 us ... up to 64 us at the next ones, with the timer slack of its thread
// at 1 us so that the sleeps are that long.  Each refused write is one
// "Data Full!" trace at the shipped level; a producer retrying every few
// hundred nanoseconds would measure how fast the harness can fill the
// system log, not the queue.
class FullBackoff {
public:
    FullBackoff() { prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0); }
    void pause()
    {
        total_++;
        if (++refused_ <= 2) {
            sched_yield();
        } else {
            const int shift = refused_ - 3 < 6 ? refused_ - 3 : 6;
            struct timespec t = {0, 1000L << shift};
            nanosleep(&t, nullptr);
        }
    }
    void reset() { refused_ = 0; }
    long total() const { return total_; }

private:
    int refused_ = 0;
    long total_ = 0;
};

// Calls write() until it takes the frame, backing off while the queue is
// full; returns the writes refused.
template <class Write> long write_all(int count, Write write)
{
    FullBackoff backoff;
    for (int i = 0; i < count;) {
        if (write()) {
            i++;
            backoff.reset();
        } else {
            backoff.pause();
        }
    }
    return backoff.total();
}

// A consumer thread that runs take() `count` times and counts its sleeps.
template <class Take> std::thread consumer_of(int count, Take take, long *sleeps)
{
    return std::thread([count, take, sleeps] {
        const long before = sleeps_of_this_thread();
        for (int i = 0; i < count; i++)
            take();
        *sleeps = sleeps_of_this_thread() - before;
    });
}

// The caller's side of a frame queue: two records, one mutex, one
// condition on the monotonic clock.
struct FrameQueue {
    std::unique_ptr<frame_queue_t> front{new frame_queue_t};
    std::unique_ptr<frame_queue_t> back{new frame_queue_t};
    pthread_mutex_t mutex;
    pthread_cond_t cond;

    FrameQueue()
    {
        queue_create2(front.get(), kCapacity);
        queue_create2(back.get(), kCapacity);
        pthread_mutex_init(&mutex, nullptr);
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&cond, &attr);
        pthread_condattr_destroy(&attr);
    }
    ~FrameQueue()
    {
        queue_clear2(front.get());
        queue_clear2(back.get());
        pthread_cond_destroy(&cond);
        pthread_mutex_destroy(&mutex);
        pthread_mutex_destroy(&front->lock);
        pthread_mutex_destroy(&back->lock);
    }
};

// Moves kFrames frames from the calling thread to a consumer thread.  The
// consumer takes frames in batches of 32: a last batch of fillers lets it
// reach the final frames, and what it leaves is cleared.
void frame_queue_run(FrameQueue &fq, const char *data, Tally &tally)
{
    const long faults = page_faults();
    long sleeps = 0;
    std::thread consumer = consumer_of(
        kFrames,
        [&fq] {
            uint32_t size = 0;
            void *frame = queue_read2(&fq.mutex, &fq.cond, fq.front.get(), fq.back.get(), &size, nullptr);
            benchmark::DoNotOptimize(frame);
            free(frame);
        },
        &sleeps);
    auto write = [&] {
        return queue_write2(&fq.mutex, &fq.cond, fq.back.get(), data, kFrameBytes, FRAME_TYPE_VIDEO) == LC_QUEUE_OK;
    };
    tally.refused += write_all(kFrames, write);
    tally.refused += write_all(kBatch, write);
    consumer.join();
    queue_clear2(fq.front.get());
    queue_clear2(fq.back.get());
    tally.waits += sleeps;
    tally.faults += page_faults() - faults;
}

// The frame queue at the shipped trace level (a full back record traces
// each refused write at level 6), with level-6 traces off, and the minimal
// queue, in turn.  A consumer's waits are its sleeps: on the condition, or
// on the mutex.
void BM_FrameQueue(benchmark::State &state)
{
    const char *data = payload();
    FrameQueue fq;
    MinimalQueue minimal;
    lc_bench::Paired paired(state, kFrames);
    lc_bench::add_library_counted(paired, [&](Tally &tally) { frame_queue_run(fq, data, tally); });
    paired.add_counted("minimal", [&](Tally &tally) {
        const long faults = page_faults();
        long sleeps = 0;
        std::thread consumer = consumer_of(
            kFrames,
            [&minimal] {
                std::vector<char> frame = minimal.pop();
                benchmark::DoNotOptimize(frame.data());
            },
            &sleeps);
        tally.refused += write_all(kFrames, [&] { return minimal.push(data, kFrameBytes); });
        consumer.join();
        tally.waits += sleeps;
        tally.faults += page_faults() - faults;
    });
    paired.run();
}
BENCHMARK(BM_FrameQueue)->UseRealTime()->Unit(benchmark::kMillisecond);

// Two writers and two readers share the kFrames blocks of an iteration; the
// readers never wait inside the queue, they back off while it is empty: a
// consumer's waits are its reads that found the queue empty.
template <class Write, class Read> void two_by_two(Write write, Read read, Tally &tally)
{
    const long faults = page_faults();
    std::atomic<int> taken{0};
    std::atomic<long> refused{0}, empty{0};
    std::vector<std::thread> threads;
    for (int r = 0; r < 2; r++)
        threads.emplace_back([&] {
            Backoff backoff;
            long misses = 0;
            while (taken.load(std::memory_order_relaxed) < kFrames) {
                if (read()) {
                    taken.fetch_add(1, std::memory_order_relaxed);
                    backoff.reset();
                } else {
                    misses++;
                    backoff.pause();
                }
            }
            empty += misses;
        });
    for (int w = 0; w < 2; w++)
        threads.emplace_back([&] { refused += write_all(kFrames / 2, write); });
    for (std::thread &t : threads)
        t.join();
    tally.refused += refused.load();
    tally.waits += empty.load();
    tally.faults += page_faults() - faults;
}

// The block queue at the shipped trace level (a full queue traces each
// refused write at level 6), with level-6 traces off, and the minimal
// queue, in turn.
void BM_BlockQueue(benchmark::State &state)
{
    const char *data = payload();
    std::unique_ptr<block_queue_t> q(new block_queue_t);
    queue_create3(q.get(), kCapacity);
    auto write = [&] { return queue_write3(q.get(), data, kFrameBytes, 0, 0) == LC_QUEUE_OK; };
    auto read = [&] {
        uint32_t size;
        void *block = queue_read3(q.get(), &size, nullptr, nullptr);
        free(block);
        return block != nullptr;
    };
    MinimalQueue minimal;
    lc_bench::Paired paired(state, kFrames);
    lc_bench::add_library_counted(paired, [&](Tally &tally) { two_by_two(write, read, tally); });
    paired.add_counted("minimal", [&](Tally &tally) {
        two_by_two([&] { return minimal.push(data, kFrameBytes); },
                   [&] {
                       std::vector<char> block;
                       return minimal.try_pop(block);
                   },
                   tally);
    });
    paired.run();
    queue_clear3(q.get());
    pthread_mutex_destroy(&q->lock);
}
BENCHMARK(BM_BlockQueue)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
