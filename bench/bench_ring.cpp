// bench_ring.cpp - the byte ring between one producer thread and one
// consumer thread, in chunks of 64 B, 1 KiB and 4 KiB; beside the limit of
// any two-thread hand-over of the same bytes (two threads copying through a
// shared buffer in halves of 1 MiB, one synchronisation per half),
// boost::lockfree::spsc_queue<char> with its bulk push and pop, and memcpy
// of the same bytes on one thread.
#include "lib_common.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <new>
#include <thread>

#ifdef LC_HAVE_BOOST
#include <boost/lockfree/spsc_queue.hpp>
#endif

using lc_bench::Backoff;

namespace {

enum : uint32_t {
    kRingBytes = 64 * 1024,     // the ring's array (and the memcpy target)
    kTotal = 32 * 1024 * 1024,  // bytes moved per iteration
    kHalf = 1024 * 1024,        // one half of the limit's shared buffer
};

// Zeroed storage for `count` objects of T on cache-line boundaries, the
// last line not shared with anything else.
template <class T> class Aligned {
public:
    explicit Aligned(size_t count = 1)
        : p_(static_cast<T *>(aligned_alloc(kLine, (count * sizeof(T) + kLine - 1) / kLine * kLine)))
    {
        if (p_ == nullptr)
            throw std::bad_alloc();
        memset(static_cast<void *>(p_), 0, count * sizeof(T));
    }
    ~Aligned() { free(p_); }
    Aligned(const Aligned &) = delete;
    Aligned &operator=(const Aligned &) = delete;
    T *get() const { return p_; }

private:
    static constexpr size_t kLine = 64;
    T *p_;
};

// Source bytes, cycled through by the producer; 64 KiB stays in cache, as
// the ring's array does.
const uint8_t *source()
{
    static const Aligned<uint8_t> bytes(kRingBytes);
    static const bool filled = [] {
        for (size_t i = 0; i < kRingBytes; i++)
            bytes.get()[i] = static_cast<uint8_t>(i * 131 + 7);
        return true;
    }();
    (void)filled;
    return bytes.get();
}

// Moves kTotal bytes from the calling thread to a consumer thread in chunks:
// push(ptr, n) and pop(ptr, n) return the bytes they moved (maybe fewer
// than asked, or 0 when the ring is full or empty).
template <class Push, class Pop> void transfer(uint32_t chunk, Push push, Pop pop)
{
    std::thread consumer([&] {
        Aligned<uint8_t> dst(chunk);
        Backoff backoff;
        uint32_t got = 0;
        while (got < kTotal) {
            uint32_t want = kTotal - got < chunk ? kTotal - got : chunk;
            uint32_t n = pop(dst.get(), want);
            if (n == 0) {
                backoff.pause();
                continue;
            }
            backoff.reset();
            got += n;
        }
        benchmark::DoNotOptimize(dst.get());
    });
    const uint8_t *src = source();
    Backoff backoff;
    uint32_t sent = 0;
    while (sent < kTotal) {
        // Chunks never straddle the end of the source: its size is a
        // multiple of every chunk size.
        uint32_t offset = sent % kRingBytes;
        uint32_t left_in_chunk = chunk - offset % chunk;
        uint32_t n = push(src + offset, left_in_chunk);
        if (n == 0) {
            backoff.pause();
            continue;
        }
        backoff.reset();
        sent += n;
    }
    consumer.join();
}

// The limit of a two-thread hand-over: the producer copies the bytes into
// one half of a shared 2 MiB buffer while the consumer copies the other
// half out, and they swap halves with one flag each per MiB.  Both copies
// and the cache-line traffic between the cores remain; the synchronisation
// all but vanishes.  The producer reads the same cycled source as the
// rings' producers, and the consumer copies out into a destination of the
// ring's size, cycled, as the rings' consumers copy into their chunk.
class HalvesLimit {
public:
    HalvesLimit() : buffer_(2 * kHalf), dst_(kRingBytes) {}

    void run()
    {
        for (std::atomic<bool> &f : full_)
            f.store(false, std::memory_order_relaxed);
        std::thread consumer([this] {
            Backoff backoff;
            for (uint32_t k = 0; k < kTotal / kHalf; k++) {
                std::atomic<bool> &full = full_[k % 2];
                while (!full.load(std::memory_order_acquire))
                    backoff.pause();
                backoff.reset();
                const uint8_t *half = buffer_.get() + (k % 2) * kHalf;
                for (uint32_t off = 0; off < kHalf; off += kRingBytes)
                    memcpy(dst_.get(), half + off, kRingBytes);
                full.store(false, std::memory_order_release);
            }
            benchmark::DoNotOptimize(dst_.get());
        });
        const uint8_t *src = source();
        Backoff backoff;
        for (uint32_t k = 0; k < kTotal / kHalf; k++) {
            std::atomic<bool> &full = full_[k % 2];
            while (full.load(std::memory_order_acquire))
                backoff.pause();
            backoff.reset();
            uint8_t *half = buffer_.get() + (k % 2) * kHalf;
            for (uint32_t off = 0; off < kHalf; off += kRingBytes)
                memcpy(half + off, src, kRingBytes);
            full.store(true, std::memory_order_release);
        }
        consumer.join();
    }

private:
    Aligned<uint8_t> buffer_;
    Aligned<uint8_t> dst_;
    alignas(64) std::atomic<bool> full_[2];
};

// Each iteration moves kTotal bytes through the library's ring, through the
// halves of the limit, copies them once with memcpy on one thread, and
// moves them through spsc_queue<char>, in turn; the counters give ns per
// byte.
void BM_Ring(benchmark::State &state)
{
    const uint32_t chunk = static_cast<uint32_t>(state.range(0));
    lc_bench::Paired paired(state, kTotal);

    // The record and the array each on cache lines of their own, as a
    // caller moving bytes between cores would place them: a record that
    // straddled two lines, or shared one with other data, would add
    // transfers between the cores that are not the ring's.
    Aligned<lwrb_t> record;
    lwrb_t &rb = *record.get();
    Aligned<uint8_t> ring_array(kRingBytes);
    lwrb_init(&rb, ring_array.get(), kRingBytes);
    paired.add("library", [&] {
        lwrb_reset(&rb);
        transfer(
            chunk, [&](const uint8_t *p, uint32_t n) { return lwrb_write(&rb, p, n); },
            [&](uint8_t *p, uint32_t n) { return lwrb_read(&rb, p, n); });
    });

    HalvesLimit limit;
    paired.add("halves", [&] { limit.run(); });

    // The same bytes copied once, in the same chunks, into an array of the
    // ring's size.
    Aligned<uint8_t> copy_array(kRingBytes);
    paired.add("memcpy", [&] {
        const uint8_t *src = source();
        for (uint32_t done = 0; done < kTotal; done += chunk) {
            uint32_t offset = done % kRingBytes;
            memcpy(copy_array.get() + offset, src + offset, chunk);
            benchmark::ClobberMemory();
        }
    });

#ifdef LC_HAVE_BOOST
    // The ring's capacity, with the bulk push and pop.
    using Queue = boost::lockfree::spsc_queue<char, boost::lockfree::capacity<kRingBytes>>;
    std::unique_ptr<Queue> q(new Queue);
    paired.add("spsc", [&] {
        q->reset();
        transfer(
            chunk,
            [&](const uint8_t *p, uint32_t n) {
                return static_cast<uint32_t>(q->push(reinterpret_cast<const char *>(p), n));
            },
            [&](uint8_t *p, uint32_t n) { return static_cast<uint32_t>(q->pop(reinterpret_cast<char *>(p), n)); });
    });
#endif
    paired.run();
    benchmark::DoNotOptimize(copy_array.get());
}
BENCHMARK(BM_Ring)->Arg(64)->Arg(1024)->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
