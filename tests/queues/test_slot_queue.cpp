// Slot queue: full against empty across the wrap, exact results and traces.
// Bounds of depth, limit and length, and random sequences against a model:
// fuzz/fuzz_slot_queue.cpp.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <memory>
#include <string.h>

static uint32_t write_byte(slot_queue_t *q, uint8_t b)
{
    return queue_write(q, &b, 1, b, slot_queue_info{{b}});
}

TEST(SlotQueue, FullAgainstEmptyAcrossTheWrap)
{
    lc_test::TraceCapture cap;
    auto q = std::make_unique<slot_queue_t>();
    ASSERT_EQ(queue_create(q.get(), 32, 31), 255u);
    uint8_t buf[512];
    for (uint32_t i = 0; i < 30; i++) {  // both positions to slot 30
        write_byte(q.get(), 0);
        ASSERT_EQ(queue_read(q.get(), buf), i);
    }
    for (int i = 1; i <= 31; i++)  // slots 30, 31, 0, ... 28
        ASSERT_EQ(write_byte(q.get(), (uint8_t)i), 255u);
    EXPECT_EQ(queue_length(q.get()), 31u);
    EXPECT_EQ(write_byte(q.get(), 99), 65535u);
    EXPECT_EQ(queue_write(q.get(), nullptr, 1, 0, slot_queue_info{}), 0xFFFFFFFFu);
    ASSERT_EQ(cap.texts().size(), 2u);
    EXPECT_EQ(cap.texts()[0].rfind("[lib queue_write +", 0), 0u);
    EXPECT_NE(cap.texts()[0].find("]Data Full!\n\n"), std::string::npos);
    EXPECT_NE(cap.texts()[1].find("]Data Null!\n\n"), std::string::npos);
    for (int i = 1; i <= 31; i++) {
        uint32_t index = queue_read(q.get(), buf);
        ASSERT_EQ(index, (uint32_t)(29 + i) % 32);
        EXPECT_EQ(buf[0] + q->type[index] + q->info[index].word[0], 3 * i);
    }
    EXPECT_EQ(queue_read(q.get(), buf), 0xFFFFFFFFu);

    memset(q.get(), 0x5A, sizeof *q);  // never created: empty, and refuses writes
    EXPECT_EQ(queue_read(q.get(), buf) & write_byte(q.get(), 1), 0xFFFFFFFFu);
    EXPECT_EQ(queue_length(q.get()), 0u);
}
