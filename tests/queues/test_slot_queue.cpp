// Slot queue: full against empty across the wrap, slot contents, bounds.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <memory>
#include <string.h>

static slot_queue_info info_of(uint32_t n)
{
    return slot_queue_info{{n, n + 1, ~n, 0xA5A5A5A5u}};
}

static uint32_t write_byte(slot_queue_t *q, uint8_t b, uint16_t len = 1)
{
    uint8_t data[600];
    memset(data, b, sizeof data);
    return queue_write(q, data, len, b, info_of(b));
}

TEST(SlotQueue, FullAgainstEmptyAcrossTheWrap)
{
    lc_test::TraceCapture cap;
    auto q = std::make_unique<slot_queue_t>();
    ASSERT_EQ(queue_create(q.get(), 32, 31), 255u);
    uint8_t buf[512];
    EXPECT_EQ(queue_length(q.get()), 0u);
    EXPECT_EQ(queue_read(q.get(), buf), 0xFFFFFFFFu);

    // Move both positions to slot 30 first, so the stored slots wrap.
    for (int i = 0; i < 30; i++) {
        ASSERT_EQ(write_byte(q.get(), 0), 255u);
        ASSERT_EQ(queue_read(q.get(), buf), (uint32_t)i);
    }
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(write_byte(q.get(), (uint8_t)(i + 1)), 255u);
    EXPECT_EQ(queue_length(q.get()), 4u);  // slots 30, 31, 0, 1
    for (int i = 4; i < 31; i++)
        ASSERT_EQ(write_byte(q.get(), (uint8_t)(i + 1)), 255u);
    EXPECT_EQ(queue_length(q.get()), 31u);
    EXPECT_FALSE(cap.contains("Data Full!"));
    EXPECT_EQ(write_byte(q.get(), 99), 65535u);
    EXPECT_EQ(cap.count("]Data Full!\n\n"), 1u);
    EXPECT_EQ(cap.texts()[0].rfind("[lib queue_write +", 0), 0u);

    for (int i = 0; i < 31; i++) {
        uint32_t index = queue_read(q.get(), buf);
        ASSERT_EQ(index, (uint32_t)(30 + i) % 32);
        EXPECT_EQ(buf[0], i + 1);
        EXPECT_EQ(q->type[index], i + 1);
        slot_queue_info want = info_of((uint8_t)(i + 1));
        EXPECT_EQ(memcmp(&q->info[index], &want, sizeof want), 0);
    }
    EXPECT_EQ(queue_read(q.get(), buf), 0xFFFFFFFFu);
}

TEST(SlotQueue, ShortWriteLeavesTheRestOfItsSlotZero)
{
    auto q = std::make_unique<slot_queue_t>();
    queue_create(q.get(), 2, 1);
    uint8_t buf[512];
    ASSERT_EQ(write_byte(q.get(), 0xEE, 512), 255u);  // dirty slot 0
    queue_read(q.get(), buf);
    ASSERT_EQ(write_byte(q.get(), 0xEE, 512), 255u);
    queue_read(q.get(), buf);
    ASSERT_EQ(write_byte(q.get(), 7, 3), 255u);  // slot 0 again
    ASSERT_EQ(queue_read(q.get(), buf), 0u);
    EXPECT_EQ(q->len[0], 3u);
    uint8_t expect[512] = {7, 7, 7};
    EXPECT_EQ(memcmp(buf, expect, sizeof buf), 0);
}

TEST(SlotQueue, FlushClosesTheQueueUntilClear)
{
    auto q = std::make_unique<slot_queue_t>();
    queue_create(q.get(), 32, 10);
    write_byte(q.get(), 1);
    queue_flush(q.get());
    EXPECT_EQ(queue_length(q.get()), 0u);
    EXPECT_EQ(write_byte(q.get(), 2), 65535u);
    queue_clear(q.get());
    for (int i = 0; i < 31; i++)
        ASSERT_EQ(write_byte(q.get(), 3), 255u);
    EXPECT_EQ(write_byte(q.get(), 4), 65535u);
}

TEST(SlotQueue, BoundsAndBadInputNeverOverrun)
{
    lc_test::TraceCapture cap;
    auto q = std::make_unique<slot_queue_t>();
    uint8_t buf[512];
    // A depth beyond the record is clamped; maxdata never reaches depth.
    queue_create(q.get(), 200, 255);
    EXPECT_EQ(q->depth, 32u);
    EXPECT_EQ(q->maxdata, 31u);
    queue_create(q.get(), 4, 4);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(write_byte(q.get(), 1), 255u);
    EXPECT_EQ(write_byte(q.get(), 1), 65535u);
    EXPECT_EQ(queue_length(q.get()), 3u);
    queue_clear(q.get());  // 31 would make a full depth-4 queue read empty
    EXPECT_EQ(q->maxdata, 3u);

    uint8_t big[513] = {0};
    EXPECT_EQ(queue_write(q.get(), big, 513, 0, info_of(0)), 0xFFFFFFFFu);
    EXPECT_TRUE(cap.contains("Data Too Long!"));
    EXPECT_EQ(queue_write(q.get(), nullptr, 1, 0, info_of(0)), 0xFFFFFFFFu);
    EXPECT_TRUE(cap.contains("]Data Null!\n\n"));
    EXPECT_EQ(queue_length(q.get()), 0u);
    EXPECT_EQ(queue_read(q.get(), nullptr), 0xFFFFFFFFu);

    EXPECT_EQ(queue_create(nullptr, 4, 3), 0xFFFFFFFFu);
    EXPECT_EQ(queue_write(nullptr, big, 1, 0, info_of(0)), 0xFFFFFFFFu);
    EXPECT_EQ(queue_read(nullptr, buf), 0xFFFFFFFFu);
    EXPECT_EQ(queue_length(nullptr), 0xFFFFFFFFu);
    queue_clear(nullptr);
    queue_flush(nullptr);

    // A record that was never created holds nothing and takes nothing.
    auto raw = std::make_unique<slot_queue_t>();
    memset(raw.get(), 0x5A, sizeof *raw);
    EXPECT_EQ(queue_length(raw.get()), 0u);
    EXPECT_EQ(queue_read(raw.get(), buf), 0xFFFFFFFFu);
    EXPECT_EQ(write_byte(raw.get(), 1), 0xFFFFFFFFu);
}
