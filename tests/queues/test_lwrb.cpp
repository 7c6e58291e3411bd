// Byte ring: counts, linear lengths and events around the wrap, and 64 MiB
// between two threads.  Random sequences against a model: fuzz/fuzz_lwrb.cpp.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <utility>

static std::vector<std::pair<uint32_t, uint32_t>> events;

TEST(Lwrb, CountsLinearLengthsAndEventsAroundTheWrap)
{
    uint8_t mem[8];
    lwrb_t rb;
    ASSERT_EQ(lwrb_init(&rb, mem, sizeof mem), 1);
    lwrb_set_evt_fn(&rb, [](lwrb_t *, uint32_t kind, uint32_t count) { events.emplace_back(kind, count); });
    EXPECT_EQ(lwrb_get_linear_block_write_length(&rb), 7u);
    EXPECT_EQ(lwrb_write(&rb, "0123456789", 10), 7u);  // one byte stays empty
    EXPECT_EQ(lwrb_get_free(&rb) + lwrb_write(&rb, "x", 1), 0u);
    char out[16] = {0};
    EXPECT_EQ(lwrb_read(&rb, out, 6), 6u);
    EXPECT_EQ(lwrb_write(&rb, "abc", 3), 3u);  // crosses the end: 7, 0, 1
    EXPECT_EQ(std::string((char *)mem, 2) + (char)mem[7], "bca");
    // Read index 6, write index 2.
    EXPECT_EQ(lwrb_get_full(&rb), 4u);
    EXPECT_EQ(lwrb_get_linear_block_read_length(&rb), 2u);
    EXPECT_EQ(lwrb_get_linear_block_write_length(&rb), 3u);
    EXPECT_EQ(lwrb_get_linear_block_read_address(&rb), mem + 6);
    EXPECT_EQ(lwrb_get_linear_block_write_address(&rb), mem + 2);
    EXPECT_EQ(lwrb_peek(&rb, 1, out, 8), 3u);
    EXPECT_EQ(std::string(out, 3), "abc");
    EXPECT_EQ(lwrb_read(&rb, out, 16), 4u) << "a peek consumes nothing";
    EXPECT_EQ(std::string(out, 4), "6abc");

    // Both indices at 5: three bytes to the end of the array.
    lwrb_reset(&rb);
    EXPECT_EQ(lwrb_advance(&rb, 5), 5u);
    EXPECT_EQ(lwrb_skip(&rb, 9), 5u);
    EXPECT_EQ(lwrb_get_linear_block_write_length(&rb), 3u);
    EXPECT_EQ(lwrb_get_linear_block_read_length(&rb) + lwrb_get_full(&rb), 0u);
    const std::vector<std::pair<uint32_t, uint32_t>> expect = {
        {LWRB_EVT_WRITE, 7}, {LWRB_EVT_READ, 6}, {LWRB_EVT_WRITE, 3}, {LWRB_EVT_READ, 4},
        {LWRB_EVT_RESET, 0}, {LWRB_EVT_WRITE, 5}, {LWRB_EVT_READ, 5}};
    EXPECT_EQ(events, expect) << "none for a write to a full ring, nor for a peek";

    rb.write_index = 8;  // overwritten by the caller: refused, not followed
    EXPECT_EQ(lwrb_write(&rb, "abc", 3) + lwrb_get_full(&rb) + lwrb_get_linear_block_read_length(&rb), 0u);
    EXPECT_EQ(lwrb_get_linear_block_write_address(&rb), nullptr);
}

// The byte at stream position p: a hash, so that a lost, repeated or
// shifted stretch shows.
static uint8_t stream_byte(uint64_t p)
{
    return (uint8_t)((p * 0x9E3779B97F4A7C15ull) >> 56);
}

TEST(Lwrb, ProducerAndConsumerMove64MiBIntact)
{
    const uint64_t total = 64ull << 20;
    static uint8_t mem[4093];  // odd size: the wrap falls everywhere
    lwrb_t rb;
    ASSERT_EQ(lwrb_init(&rb, mem, sizeof mem), 1);
    // Each side alternates between copying and zero-copy access.
    std::thread producer([&] {
        std::mt19937 rng(1);
        uint8_t chunk[2048];
        for (uint64_t p = 0; p < total;) {
            uint32_t n = (uint32_t)std::min<uint64_t>(1 + rng() % sizeof chunk, total - p);
            const bool direct = rng() & 1;
            uint8_t *at = direct ? (uint8_t *)lwrb_get_linear_block_write_address(&rb) : chunk;
            n = direct ? std::min(n, lwrb_get_linear_block_write_length(&rb)) : n;
            for (uint32_t i = 0; i < n; i++)
                at[i] = stream_byte(p + i);
            n = direct ? lwrb_advance(&rb, n) : lwrb_write(&rb, chunk, n);
            if (n == 0)
                std::this_thread::yield();
            p += n;
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
            bad += from[i] != stream_byte(p + i);
        if (how != 0 && n > 0)  // peeked or read in place: consume now
            bad += lwrb_skip(&rb, n) != n;
        if (n == 0)
            std::this_thread::yield();
        p += n;
    }
    producer.join();
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(lwrb_get_full(&rb), 0u);
}
