// Byte ring: counts and linear lengths around the wrap, peek, events,
// records that are not ready, and 64 MiB between two threads.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <random>
#include <string.h>
#include <thread>
#include <utility>
#include <vector>

static std::vector<std::pair<uint32_t, uint32_t>> events;

static void record_event(lwrb_t *, uint32_t kind, uint32_t count)
{
    events.emplace_back(kind, count);
}

TEST(Lwrb, CountsAndLinearLengthsAroundTheWrap)
{
    uint8_t mem[8];
    lwrb_t rb;
    ASSERT_EQ(lwrb_init(&rb, mem, sizeof mem), 1);
    EXPECT_EQ(lwrb_get_free(&rb), 7u);
    EXPECT_EQ(lwrb_get_full(&rb), 0u);
    EXPECT_EQ(lwrb_get_linear_block_write_length(&rb), 7u);
    EXPECT_EQ(lwrb_write(&rb, "0123456789", 10), 7u);
    EXPECT_EQ(lwrb_get_free(&rb), 0u);
    EXPECT_EQ(lwrb_write(&rb, "x", 1), 0u);

    char out[16] = {0};
    EXPECT_EQ(lwrb_read(&rb, out, 6), 6u);
    EXPECT_EQ(std::string(out, 6), "012345");
    EXPECT_EQ(lwrb_write(&rb, "abc", 3), 3u);  // crosses the end: 7, 0, 1
    EXPECT_EQ(rb.write_index, 2u);
    EXPECT_EQ(std::string((char *)mem, 2) + (char)mem[7], "bca");
    // Read index 6, write index 2.
    EXPECT_EQ(lwrb_get_full(&rb), 4u);
    EXPECT_EQ(lwrb_get_linear_block_read_length(&rb), 2u);
    EXPECT_EQ(lwrb_get_linear_block_write_length(&rb), 3u);
    EXPECT_EQ(lwrb_get_linear_block_read_address(&rb), mem + 6);
    EXPECT_EQ(lwrb_get_linear_block_write_address(&rb), mem + 2);

    EXPECT_EQ(lwrb_peek(&rb, 4, out, 8), 0u);
    memset(out, 0, sizeof out);
    EXPECT_EQ(lwrb_peek(&rb, 1, out, 8), 3u);
    EXPECT_EQ(std::string(out), "abc");
    EXPECT_EQ(lwrb_get_full(&rb), 4u) << "a peek consumes nothing";
    EXPECT_EQ(lwrb_read(&rb, out, 16), 4u);
    EXPECT_EQ(std::string(out, 4), "6abc");

    // Both indices at 5: three bytes to the end of the array.
    lwrb_reset(&rb);
    lwrb_advance(&rb, 5);
    lwrb_skip(&rb, 5);
    EXPECT_EQ(lwrb_get_linear_block_write_length(&rb), 3u);
    EXPECT_EQ(lwrb_get_linear_block_read_length(&rb), 0u);
    EXPECT_EQ(lwrb_get_free(&rb), 7u);
}

TEST(Lwrb, EventsReportEveryChange)
{
    uint8_t mem[8];
    lwrb_t rb;
    lwrb_init(&rb, mem, sizeof mem);
    lwrb_set_evt_fn(&rb, record_event);
    events.clear();
    lwrb_write(&rb, "abc", 3);
    lwrb_read(&rb, mem, 0);       // count 0: nothing, no event
    lwrb_write(&rb, nullptr, 2);  // no source: nothing, no event
    EXPECT_EQ(lwrb_skip(&rb, 100), 3u);
    EXPECT_EQ(lwrb_skip(&rb, 1), 0u);
    EXPECT_EQ(lwrb_advance(&rb, 9), 7u);
    EXPECT_EQ(lwrb_write(&rb, "x", 1), 0u);  // full: nothing, no event
    lwrb_reset(&rb);
    const std::vector<std::pair<uint32_t, uint32_t>> expect = {
        {LWRB_EVT_WRITE, 3}, {LWRB_EVT_READ, 3}, {LWRB_EVT_READ, 0},
        {LWRB_EVT_WRITE, 7}, {LWRB_EVT_RESET, 0}};
    EXPECT_EQ(events, expect);
    EXPECT_EQ(lwrb_get_full(&rb), 0u);
}

TEST(Lwrb, RecordsThatAreNotReadyDoNothing)
{
    uint8_t mem[8];
    char out[8];
    lwrb_t raw = {0, mem, sizeof mem, 0, 0, nullptr, 0};  // guards never stamped
    lwrb_t freed, broken;
    lwrb_init(&freed, mem, sizeof mem);
    lwrb_write(&freed, "abc", 3);
    lwrb_free(&freed);
    lwrb_init(&broken, mem, sizeof mem);
    broken.write_index = 8;  // overwritten by the caller
    for (lwrb_t *r : {&raw, &freed, &broken, (lwrb_t *)nullptr}) {
        EXPECT_EQ(lwrb_write(r, "abc", 3) + lwrb_read(r, out, 3) + lwrb_peek(r, 0, out, 3) +
                      lwrb_skip(r, 1) + lwrb_advance(r, 1) + lwrb_get_free(r) + lwrb_get_full(r) +
                      lwrb_get_linear_block_read_length(r) + lwrb_get_linear_block_write_length(r),
                  0u);
        EXPECT_TRUE(lwrb_get_linear_block_read_address(r) == nullptr &&
                    lwrb_get_linear_block_write_address(r) == nullptr);
    }
    EXPECT_EQ(lwrb_is_ready(&raw) + lwrb_is_ready(&freed) + lwrb_is_ready(nullptr), 0);
    EXPECT_EQ(freed.data, nullptr);
    lwrb_set_evt_fn(&raw, record_event);
    EXPECT_EQ(raw.evt_fn, nullptr);
    EXPECT_EQ(lwrb_init(&raw, nullptr, 8) + lwrb_init(&raw, mem, 0) + lwrb_init(nullptr, mem, 8), 0);
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
            if (rng() & 1) {
                for (uint32_t i = 0; i < n; i++)
                    chunk[i] = stream_byte(p + i);
                n = lwrb_write(&rb, chunk, n);
            } else {
                uint8_t *at = (uint8_t *)lwrb_get_linear_block_write_address(&rb);
                n = std::min(n, lwrb_get_linear_block_write_length(&rb));
                for (uint32_t i = 0; i < n; i++)
                    at[i] = stream_byte(p + i);
                n = lwrb_advance(&rb, n);
            }
            if (n == 0)
                std::this_thread::yield();
            p += n;
        }
    });
    std::mt19937 rng(2);
    uint8_t chunk[2048];
    uint64_t bad = 0;
    for (uint64_t p = 0; p < total;) {
        uint32_t n = 1 + rng() % sizeof chunk;
        const uint8_t *from = chunk;
        uint32_t how = rng() % 3;
        if (how == 0) {
            n = lwrb_read(&rb, chunk, n);
        } else if (how == 1) {
            n = lwrb_peek(&rb, 0, chunk, n);
        } else {
            from = (const uint8_t *)lwrb_get_linear_block_read_address(&rb);
            n = std::min(n, lwrb_get_linear_block_read_length(&rb));
        }
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
