// Stream queue: one entry always free, the held range across the wrap,
// slot addresses and bad input.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

TEST(StreamQ, PushPopAndTheHeldRangeAcrossTheWrap)
{
    streamq_t *q = streamq_alloc(16, 4, 8);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(streamq_pop(q), -1);
    for (int i = 1; i <= 3; i++) {
        void *data = nullptr;
        ASSERT_EQ(streamq_query(q, streamq_w(q), &data, nullptr), 0);
        memset(data, i, 16);
        EXPECT_EQ(streamq_push(q), i);
    }
    EXPECT_EQ(streamq_push(q), -1) << "one entry stays free";
    EXPECT_EQ(streamq_w(q), 3);
    EXPECT_EQ(streamq_used_buf(q), 3);
    for (int i = 1; i <= 3; i++) {
        uint8_t *data = nullptr;
        ASSERT_EQ(streamq_query(q, streamq_r(q), (void **)&data, nullptr), 0);
        EXPECT_EQ(data[15], i);
        EXPECT_EQ(streamq_pop(q), i);
    }
    // Read 3, write 1: entries 3 and 0 are held.
    EXPECT_EQ(streamq_push(q), 0);
    EXPECT_EQ(streamq_push(q), 1);
    EXPECT_EQ(streamq_used_buf(q), 2);
    const int expect[] = {1, 0, 0, 1};
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(streamq_inused(q, i), expect[i]) << i;
    EXPECT_EQ(streamq_inused(q, 4) + streamq_inused(q, -1), 0);
    EXPECT_EQ(streamq_next(q, 3), 0);
    EXPECT_EQ(streamq_next(q, 4), -1);
    EXPECT_EQ(streamq_pop(q), 0);
    EXPECT_EQ(streamq_pop(q), 1);
    EXPECT_EQ(streamq_pop(q), -1);
    streamq_free(q);
}

TEST(StreamQ, SlotAddressesSizesAndBadInput)
{
    lc_test::TraceCapture cap;
    streamq_t *q = streamq_alloc(10, 3, 6);
    ASSERT_NE(q, nullptr);
    void *data = nullptr, *info = nullptr;
    ASSERT_EQ(streamq_query(q, 2, &data, &info), 0);
    uint8_t *base = (uint8_t *)q + sizeof(streamq_t);
    EXPECT_EQ(info, base + 2 * 6);
    EXPECT_EQ(data, base + 3 * 6 + 2 * 10);
    memset(data, 0xFF, 10);  // the last slot lies inside the block (ASan checks)
    void *untouched = &cap;
    EXPECT_EQ(streamq_query(q, 3, &untouched, &untouched), -1);
    EXPECT_EQ(streamq_query(q, -1, &untouched, nullptr), -1);
    EXPECT_EQ(untouched, (void *)&cap);
    streamq_free(q);

    q = streamq_alloc(4, 2, 0);
    ASSERT_NE(q, nullptr);
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(streamq_query(q, i, nullptr, &info), 0);
        EXPECT_EQ(info, q->data);
    }
    streamq_free(q);

    EXPECT_EQ(streamq_alloc(0, 4, 0), nullptr);
    EXPECT_EQ(streamq_alloc(4, 0, 0), nullptr);
    EXPECT_EQ(streamq_alloc(0x7FFFFFFF, 0x7FFFFFFF, 0xFFFFFFFFu), nullptr);
    EXPECT_TRUE(cap.contains("]alloc memory failed for stream_queue\n\n"));
    for (int32_t r : {streamq_r(nullptr), streamq_w(nullptr), streamq_used_buf(nullptr),
                      streamq_inused(nullptr, 0), streamq_next(nullptr, 0), streamq_push(nullptr),
                      streamq_pop(nullptr), streamq_query(nullptr, 0, &data, &info)})
        EXPECT_EQ(r, -1);
    streamq_free(nullptr);
}
