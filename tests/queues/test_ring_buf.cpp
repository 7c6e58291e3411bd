// Element ring: full against empty over several laps (each index wraps with its lap flag), rings without storage.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <string.h>

TEST(RingBuf, FullAndEmptyStayApartOverManyLapsAndWithoutStorage)
{
    ring_buf_t rb;
    ASSERT_EQ(ring_buf_init(&rb, 4, 3), 1);
    uint8_t next_in = 0, next_out = 0, e[8] = {0};
    // Fill to the top and take two, lap after lap: both indices wrap with their lap flags set and cleared.
    for (int lap = 0; lap < 5; lap++) {
        int stored = 0;
        for (; !ring_buf_is_full(&rb) && stored < 5; stored++, next_in++) {  // bounded: a broken wrap never fills
            const uint8_t in[3] = {next_in, (uint8_t)~next_in, next_in};
            ASSERT_EQ(ring_buf_write(&rb, in), 1);
        }
        EXPECT_EQ(stored, lap == 0 ? 4 : 2);
        EXPECT_EQ(ring_buf_write(&rb, e), 0) << "a full ring stores nothing";
        for (int i = 0; i < 2; i++, next_out++) {
            const uint8_t out[3] = {next_out, (uint8_t)~next_out, next_out};
            ASSERT_EQ(ring_buf_read(&rb, e), 1);
            EXPECT_EQ(memcmp(e, out, 3), 0) << int(next_out);
        }
    }
    EXPECT_EQ(ring_buf_write(&rb, "abc") + ring_buf_write(&rb, "abc"), 2);
    EXPECT_TRUE(ring_buf_is_full(&rb));
    ring_buf_clear(&rb);  // a full ring: the lap flags must agree again
    EXPECT_TRUE(ring_buf_is_empty(&rb));
    EXPECT_FALSE(ring_buf_is_full(&rb));
    EXPECT_EQ(ring_buf_read(&rb, e), 0);
    for (uint32_t *index : {&rb.read_index, &rb.write_index}) {  // a slot beyond the ring: refused, not followed
        ring_buf_clear(&rb);
        *index = 4;
        EXPECT_EQ(ring_buf_write(&rb, e) + ring_buf_read(&rb, e), 0);
    }
    ring_buf_incr(&rb, nullptr);
    ring_buf_free(&rb);

    const uint32_t args[][2] = {{4, 8}, {0, 4}, {4, 0}, {0x80000000u, 1}};  // freed, then refused
    for (const auto &a : args) {
        EXPECT_EQ(ring_buf_init(&rb, a[0], a[1]), a[0] == 4 && a[1] == 8) << a[0] << "x" << a[1];
        ring_buf_free(&rb);
        EXPECT_EQ(ring_buf_write(&rb, e) + ring_buf_read(&rb, e), 0);
        EXPECT_TRUE(ring_buf_is_empty(&rb) && ring_buf_is_full(&rb));
    }
    EXPECT_EQ(ring_buf_init(nullptr, 4, 4) + ring_buf_write(nullptr, e) + ring_buf_read(nullptr, e), 0);
    ring_buf_free(nullptr);
    ring_buf_clear(nullptr);
    ring_buf_t none = {};
    uint32_t index = 5;  // a ring without slots, or a null ring or index: the index is left alone
    ring_buf_incr(&none, &index), ring_buf_incr(nullptr, &index);
    EXPECT_EQ(index, 5u);
}
