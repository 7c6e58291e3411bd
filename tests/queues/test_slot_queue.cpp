// Slot queue: full against empty across the wrap, slot contents, bounds.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <memory>
#include <string.h>

static uint32_t write_byte(slot_queue_t *q, uint8_t b, uint16_t len = 1)
{
    uint8_t data[513];
    memset(data, b, sizeof data);
    return queue_write(q, data, len, b, slot_queue_info{{b, 2u, ~0u, b}});
}

TEST(SlotQueue, FullAgainstEmptyAcrossTheWrap)
{
    lc_test::TraceCapture cap;
    auto q = std::make_unique<slot_queue_t>();
    ASSERT_EQ(queue_create(q.get(), 32, 31), 255u);
    uint8_t buf[512];
    EXPECT_EQ(queue_read(q.get(), buf), 0xFFFFFFFFu);
    for (uint32_t i = 0; i < 30; i++) {  // both positions to slot 30
        write_byte(q.get(), 0);
        ASSERT_EQ(queue_read(q.get(), buf), i);
    }
    for (int i = 1; i <= 31; i++) {
        ASSERT_EQ(write_byte(q.get(), (uint8_t)i), 255u);
        EXPECT_TRUE(i != 4 || queue_length(q.get()) == 4u);  // slots 30, 31, 0, 1
    }
    EXPECT_FALSE(cap.contains("Data Full!"));
    EXPECT_EQ(write_byte(q.get(), 99), 65535u);
    ASSERT_EQ(cap.texts().size(), 1u);
    EXPECT_EQ(cap.texts()[0].rfind("[lib queue_write +", 0), 0u);
    EXPECT_NE(cap.texts()[0].find("]Data Full!\n\n"), std::string::npos);
    for (int i = 1; i <= 31; i++) {
        uint32_t index = queue_read(q.get(), buf);
        ASSERT_EQ(index, (uint32_t)(29 + i) % 32);
        EXPECT_EQ(buf[0] + q->type[index] + q->info[index].word[0], 3 * i);
        EXPECT_EQ(q->info[index].word[2], ~0u);
    }
    EXPECT_EQ(queue_length(q.get()), 0u);
}

TEST(SlotQueue, ShortWriteLeavesTheRestOfItsSlotZero)
{
    auto q = std::make_unique<slot_queue_t>();
    queue_create(q.get(), 2, 1);
    uint8_t buf[512];
    for (int i = 0; i < 2; i++) {  // dirty both slots
        ASSERT_EQ(write_byte(q.get(), 0xEE, 512), 255u);
        queue_read(q.get(), buf);
    }
    ASSERT_EQ(write_byte(q.get(), 7, 3), 255u);
    ASSERT_EQ(queue_read(q.get(), buf), 0u);
    EXPECT_EQ(q->len[0], 3u);
    uint8_t expect[512] = {7, 7, 7};
    EXPECT_EQ(memcmp(buf, expect, sizeof buf), 0);
}

TEST(SlotQueue, LimitsFlushAndBadInputNeverOverrun)
{
    lc_test::TraceCapture cap;
    auto q = std::make_unique<slot_queue_t>();
    uint8_t buf[512];
    queue_create(q.get(), 200, 255);  // beyond the record: clamped
    EXPECT_EQ(q->depth + q->maxdata, 32u + 31u);
    queue_create(q.get(), 4, 4);  // 4 stored would read as empty
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(write_byte(q.get(), 1), 255u);
    EXPECT_EQ(write_byte(q.get(), 1), 65535u);
    queue_flush(q.get());
    EXPECT_EQ(queue_length(q.get()), 0u);
    EXPECT_EQ(write_byte(q.get(), 1), 65535u) << "flushed: full until clear";
    queue_clear(q.get());
    EXPECT_EQ(q->maxdata, 3u) << "31 only where depth allows";

    EXPECT_EQ(write_byte(q.get(), 1, 513), 0xFFFFFFFFu);
    EXPECT_TRUE(cap.contains("Data Too Long!"));
    EXPECT_EQ(queue_write(q.get(), nullptr, 1, 0, slot_queue_info{}), 0xFFFFFFFFu);
    EXPECT_TRUE(cap.contains("]Data Null!\n\n"));
    EXPECT_EQ(queue_length(q.get()), 0u);
    for (uint32_t r : {queue_read(q.get(), nullptr), queue_create(nullptr, 4, 3),
                       write_byte(nullptr, 1), queue_read(nullptr, buf), queue_length(nullptr)})
        EXPECT_EQ(r, 0xFFFFFFFFu);
    queue_clear(nullptr);
    queue_flush(nullptr);

    memset(q.get(), 0x5A, sizeof *q);  // never created
    EXPECT_EQ(queue_length(q.get()), 0u);
    EXPECT_EQ(queue_read(q.get(), buf), 0xFFFFFFFFu);
    EXPECT_EQ(write_byte(q.get(), 1), 0xFFFFFFFFu);
}
