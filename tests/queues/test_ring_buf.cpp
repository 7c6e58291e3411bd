// Element ring: full against empty over several laps, rings without storage.
#include "lc_test.h"

#include <gtest/gtest.h>

TEST(RingBuf, FullAndEmptyStayApartOverManyLapsAndWithoutStorage)
{
    ring_buf_t rb;
    ASSERT_EQ(ring_buf_init(&rb, 4, 3), 1);
    uint8_t next_in = 0, next_out = 0, e[8] = {0};
    // Fill to the top and take two, lap after lap: both indices wrap with
    // their lap flags set and cleared.
    for (int lap = 0; lap < 5; lap++) {
        int stored = 0;
        for (; !ring_buf_is_full(&rb); stored++, next_in++) {
            const uint8_t in[3] = {next_in, (uint8_t)~next_in, next_in};
            ASSERT_EQ(ring_buf_write(&rb, in), 1);
        }
        EXPECT_EQ(stored, lap == 0 ? 4 : 2);
        EXPECT_EQ(ring_buf_write(&rb, e), 0) << "a full ring stores nothing";
        for (int i = 0; i < 2; i++, next_out++) {
            ASSERT_EQ(ring_buf_read(&rb, e), 1);
            EXPECT_EQ(e[0], next_out);
            EXPECT_EQ(e[1], (uint8_t)~next_out);
            EXPECT_EQ(e[2], next_out);
        }
    }
    EXPECT_EQ(ring_buf_write(&rb, "abc"), 1);
    EXPECT_EQ(ring_buf_write(&rb, "abc"), 1);
    EXPECT_TRUE(ring_buf_is_full(&rb));
    ring_buf_clear(&rb);  // a full ring: the lap flags must agree again
    EXPECT_TRUE(ring_buf_is_empty(&rb));
    EXPECT_FALSE(ring_buf_is_full(&rb));
    EXPECT_EQ(ring_buf_read(&rb, e), 0);
    rb.write_index = 7;  // a slot beyond count: refused, not followed
    EXPECT_EQ(ring_buf_write(&rb, e), 0);
    EXPECT_EQ(ring_buf_read(&rb, e), 0);
    ring_buf_free(&rb);

    const uint32_t args[][2] = {{4, 8}, {0, 4}, {4, 0}, {0x80000000u, 1}};  // freed, then refused
    for (const auto &a : args) {
        const bool good = a[0] == 4 && a[1] == 8;
        EXPECT_EQ(ring_buf_init(&rb, a[0], a[1]), good ? 1 : 0) << a[0] << "x" << a[1];
        ring_buf_free(&rb);
        EXPECT_EQ(ring_buf_write(&rb, e), 0);
        EXPECT_EQ(ring_buf_read(&rb, e), 0);
        EXPECT_TRUE(ring_buf_is_empty(&rb));
        EXPECT_TRUE(ring_buf_is_full(&rb));
    }
    EXPECT_EQ(ring_buf_init(nullptr, 4, 4), 0);
    EXPECT_EQ(ring_buf_write(nullptr, e), 0);
    EXPECT_EQ(ring_buf_read(nullptr, e), 0);
    ring_buf_free(nullptr);
    ring_buf_clear(nullptr);
}

// An index steps to the next slot and wraps to slot 0 with its lap flag flipped; a ring without slots, or a null
// ring or index, leaves it alone.
TEST(RingBuf, IndexStepsWrapWithTheLapFlag)
{
    ring_buf_t rb;
    ASSERT_EQ(ring_buf_init(&rb, 3, 1), 1);
    uint32_t index = 1;
    ring_buf_incr(&rb, &index);
    EXPECT_EQ(index, 2u);
    ring_buf_incr(&rb, &index);
    EXPECT_EQ(index, RING_BUF_LAP);
    ring_buf_incr(&rb, &index);
    EXPECT_EQ(index, RING_BUF_LAP | 1u);
    index = RING_BUF_LAP | 2u;
    ring_buf_incr(&rb, &index);
    EXPECT_EQ(index, 0u);
    ring_buf_incr(&rb, nullptr);
    ring_buf_incr(nullptr, &index);
    EXPECT_EQ(index, 0u);
    ring_buf_free(&rb);
    ring_buf_t empty = {};
    index = 5;
    ring_buf_incr(&empty, &index);
    EXPECT_EQ(index, 5u);
}
