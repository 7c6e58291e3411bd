// bench_ring.cpp - the byte ring between one producer thread and one
// consumer thread, in chunks of 64 B, 1 KiB and 4 KiB; beside memcpy of the
// same bytes on one thread and boost::lockfree::spsc_queue<char> with its
// bulk push and pop.
#include "lib_common.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <string.h>

#include <memory>
#include <thread>
#include <vector>

#ifdef LC_HAVE_BOOST
#include <boost/lockfree/spsc_queue.hpp>
#endif

using lc_bench::Backoff;

namespace {

enum : uint32_t {
    kRingBytes = 64 * 1024,          // the ring's array (and the memcpy target)
    kTotal = 32 * 1024 * 1024,       // bytes moved per iteration
};

// Source bytes, cycled through by the producer; 64 KiB stays in cache, as
// the ring's array does.
const std::vector<uint8_t> &source()
{
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> b(kRingBytes);
        for (size_t i = 0; i < b.size(); i++)
            b[i] = static_cast<uint8_t>(i * 131 + 7);
        return b;
    }();
    return bytes;
}

// Moves kTotal bytes from the calling thread to a consumer thread in chunks:
// push(ptr, n) and pop(ptr, n) return the bytes they moved (maybe fewer
// than asked, or 0 when the ring is full or empty).
template <class Push, class Pop>
void transfer(uint32_t chunk, Push push, Pop pop)
{
    std::thread consumer([&] {
        std::vector<uint8_t> dst(chunk);
        Backoff backoff;
        uint32_t got = 0;
        while (got < kTotal) {
            uint32_t want = kTotal - got < chunk ? kTotal - got : chunk;
            uint32_t n = pop(dst.data(), want);
            if (n == 0) {
                backoff.pause();
                continue;
            }
            backoff.reset();
            got += n;
        }
        benchmark::DoNotOptimize(dst.data());
    });
    const uint8_t *src = source().data();
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

// Each iteration moves kTotal bytes through the library's ring, copies them
// once with memcpy on one thread, and moves them through spsc_queue<char>,
// in turn; the counters give ns per byte.
void BM_Ring(benchmark::State &state)
{
    const uint32_t chunk = static_cast<uint32_t>(state.range(0));
    lc_bench::Paired paired(state, kTotal);

    std::unique_ptr<uint8_t[]> ring_array(new uint8_t[kRingBytes]);
    lwrb_t rb;
    lwrb_init(&rb, ring_array.get(), kRingBytes);
    paired.add("library", [&] {
        lwrb_reset(&rb);
        transfer(
            chunk, [&](const uint8_t *p, uint32_t n) { return lwrb_write(&rb, p, n); },
            [&](uint8_t *p, uint32_t n) { return lwrb_read(&rb, p, n); });
    });

    // The same bytes copied once, in the same chunks, into an array of the
    // ring's size.
    std::unique_ptr<uint8_t[]> copy_array(new uint8_t[kRingBytes]);
    paired.add("memcpy", [&] {
        const uint8_t *src = source().data();
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
            [&](uint8_t *p, uint32_t n) {
                return static_cast<uint32_t>(q->pop(reinterpret_cast<char *>(p), n));
            });
    });
#endif
    paired.run();
    benchmark::DoNotOptimize(copy_array.get());
}
BENCHMARK(BM_Ring)->Arg(64)->Arg(1024)->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
