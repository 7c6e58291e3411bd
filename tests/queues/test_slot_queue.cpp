// Slot queue: the tag of a refusal, records never created or null.  Bounds, wrap, full and empty, clear, flush and
// the refusals' texts against a model: fuzz/fuzz_slot_queue.cpp.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <memory>
#include <string.h>

TEST(SlotQueue, RefusalsAreTaggedAndGarbageOrNullRecordsAreNeverIndexed)
{
    lc_test::TraceCapture cap;
    auto q = std::make_unique<slot_queue_t>();
    uint8_t b = 7, buf[512];
    ASSERT_EQ(queue_create(q.get(), 2, 1), 255u);
    EXPECT_EQ(queue_write(q.get(), &b, 1, 0, {}), 255u);
    EXPECT_EQ(queue_write(q.get(), &b, 1, 0, {}), 65535u);
    EXPECT_EQ(cap.count("[lib queue_write +"), 1u);
    memset(q.get(), 0x5A, sizeof *q);  // never created: empty, and refuses writes
    EXPECT_EQ(queue_read(q.get(), buf) + queue_write(q.get(), &b, 1, 0, {}), 0xFFFFFFFEu);
    EXPECT_EQ(queue_length(q.get()), 0u);
    queue_clear(nullptr);
    queue_flush(nullptr);
    EXPECT_EQ(queue_write(nullptr, &b, 1, 0, {}) + queue_read(nullptr, buf), 0xFFFFFFFEu);
}
