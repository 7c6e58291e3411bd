// Byte ring: 64 MiB between two threads, an index out of range.  Counts, linear lengths, events and guard words against
// a model: fuzz/fuzz_lwrb.cpp.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

// Each side alternates between copying and zero-copy access; the bytes are a hash of their stream position, so that a
// lost, repeated or shifted stretch shows.
TEST(Lwrb, ProducerAndConsumerMove64MiBIntact)
{
    const uint64_t total = 64ull << 20;
    auto byte_at = [](uint64_t p) { return (uint8_t)((p * 0x9E3779B97F4A7C15ull) >> 56); };
    static uint8_t mem[4093];  // odd size: the wrap falls everywhere
    lwrb_t rb;
    ASSERT_EQ(lwrb_init(&rb, mem, sizeof mem), 1);
    std::thread producer([&] {
        std::mt19937 rng(1);
        uint8_t chunk[2048];
        for (uint64_t p = 0; p < total;) {
            uint32_t n = (uint32_t)std::min<uint64_t>(1 + rng() % sizeof chunk, total - p);
            const bool direct = rng() & 1;
            uint8_t *at = direct ? (uint8_t *)lwrb_get_linear_block_write_address(&rb) : chunk;
            n = direct ? std::min(n, lwrb_get_linear_block_write_length(&rb)) : n;
            for (uint32_t i = 0; i < n; i++)
                at[i] = byte_at(p + i);
            n = direct ? lwrb_advance(&rb, n) : lwrb_write(&rb, chunk, n);
            p += n;
            if (n == 0)
                std::this_thread::yield();
        }
    });
    std::mt19937 rng(2);
    uint8_t chunk[2048];
    uint64_t bad = 0;
    for (uint64_t p = 0; p < total;) {
        const uint32_t want = 1 + rng() % sizeof chunk, how = rng() % 3;
        const uint8_t *from = how == 2 ? (const uint8_t *)lwrb_get_linear_block_read_address(&rb) : chunk;
        const uint32_t n = how == 0   ? lwrb_read(&rb, chunk, want)
                           : how == 1 ? lwrb_peek(&rb, 0, chunk, want)
                                      : std::min(want, lwrb_get_linear_block_read_length(&rb));
        for (uint32_t i = 0; i < n; i++)
            bad += from[i] != byte_at(p + i);
        bad += how != 0 && n > 0 && lwrb_skip(&rb, n) != n;  // peeked or read in place: consume now
        p += n;
        if (n == 0)
            std::this_thread::yield();
    }
    producer.join();
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(lwrb_get_full(&rb), 0u);
    rb.write_index = sizeof mem;  // overwritten by the caller: refused, not followed
    EXPECT_EQ(lwrb_write(&rb, "abc", 3) + lwrb_get_full(&rb) + lwrb_get_linear_block_read_length(&rb), 0u);
    EXPECT_EQ(lwrb_get_linear_block_write_address(&rb), nullptr);
}
