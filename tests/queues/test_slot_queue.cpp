// Slot queue: refusal traces with their tag, a record never created.  The
// wrap, full and empty, results and bounds: fuzz/fuzz_slot_queue.cpp.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <memory>
#include <string.h>

TEST(SlotQueue, RefusalsAreTracedAndAGarbageRecordIsNeverIndexed)
{
    lc_test::TraceCapture cap;
    auto q = std::make_unique<slot_queue_t>();
    uint8_t b = 7, buf[512];
    ASSERT_EQ(queue_create(q.get(), 2, 1), 255u);
    EXPECT_EQ(queue_write(q.get(), &b, 1, 0, {}), 255u);
    EXPECT_EQ(queue_write(q.get(), &b, 1, 0, {}), 65535u);
    EXPECT_EQ(queue_write(q.get(), nullptr, 1, 0, {}), 0xFFFFFFFFu);
    EXPECT_EQ(cap.count("[lib queue_write +"), 2u);
    EXPECT_TRUE(cap.contains("]Data Full!\n\n"));
    EXPECT_TRUE(cap.contains("]Data Null!\n\n"));

    memset(q.get(), 0x5A, sizeof *q);  // never created: empty, and refuses writes
    EXPECT_EQ(queue_read(q.get(), buf), 0xFFFFFFFFu);
    EXPECT_EQ(queue_write(q.get(), &b, 1, 0, {}), 0xFFFFFFFFu);
    EXPECT_EQ(queue_length(q.get()), 0u);
}

// depth is held to 1..32 and maxdata below it; flush closes the queue, clear opens it again for depth - 1; a write
// longer than a slot is refused with its length traced; a null record is refused or ignored.
TEST(SlotQueue, BoundsClearFlushTooLongAndNullRecords)
{
    lc_test::TraceCapture cap;
    dbgout_profile.lib_level = 6;
    auto q = std::make_unique<slot_queue_t>();
    uint8_t b = 7, buf[512];
    std::vector<uint8_t> long_data(513, 1);
    ASSERT_EQ(queue_create(q.get(), 200, 200), 255u);
    EXPECT_EQ(q->depth, 32);
    EXPECT_EQ(q->maxdata, 31);
    ASSERT_EQ(queue_create(q.get(), 0, 5), 255u);
    EXPECT_EQ(q->depth, 1);
    EXPECT_EQ(q->maxdata, 0);
    EXPECT_EQ(queue_write(q.get(), &b, 1, 0, {}), 65535u);  // one slot holds nothing

    ASSERT_EQ(queue_create(q.get(), 4, 3), 255u);
    ASSERT_EQ(queue_write(q.get(), &b, 1, 0, {}), 255u);
    queue_flush(q.get());
    EXPECT_EQ(queue_length(q.get()), 0u);
    EXPECT_EQ(queue_write(q.get(), &b, 1, 0, {}), 65535u);  // closed
    queue_clear(q.get());
    EXPECT_EQ(q->maxdata, 3);
    EXPECT_EQ(queue_write(q.get(), &b, 1, 0, {}), 255u);
    EXPECT_EQ(queue_write(q.get(), long_data.data(), 513, 0, {}), 0xFFFFFFFFu);
    EXPECT_EQ(queue_length(q.get()), 1u);
    EXPECT_TRUE(cap.contains("]Data Too Long! len: 513\n\n"));

    EXPECT_EQ(queue_create(nullptr, 4, 3), 0xFFFFFFFFu);
    queue_clear(nullptr);
    queue_flush(nullptr);
    EXPECT_EQ(queue_length(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(queue_write(nullptr, &b, 1, 0, {}), 0xFFFFFFFFu);
    EXPECT_EQ(queue_read(nullptr, buf), 0xFFFFFFFFu);
    EXPECT_EQ(queue_read(q.get(), nullptr), 0xFFFFFFFFu);
}
