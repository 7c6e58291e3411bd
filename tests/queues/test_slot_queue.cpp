// Slot queue: the refusal traces with their tag, and a record never created.
// Wrap-around, full against empty, results and bounds against a model:
// fuzz/fuzz_slot_queue.cpp.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string.h>

TEST(SlotQueue, RefusalsAreTracedAndAGarbageRecordIsNeverIndexed)
{
    lc_test::TraceCapture cap;
    auto q = std::make_unique<slot_queue_t>();
    uint8_t b = 7, buf[512];
    ASSERT_EQ(queue_create(q.get(), 2, 1), 255u);
    EXPECT_EQ(queue_write(q.get(), &b, 1, 0, slot_queue_info{}), 255u);
    EXPECT_EQ(queue_write(q.get(), &b, 1, 0, slot_queue_info{}), 65535u);
    EXPECT_EQ(queue_write(q.get(), nullptr, 1, 0, slot_queue_info{}), 0xFFFFFFFFu);
    ASSERT_EQ(cap.texts().size(), 2u);
    const std::string tag = "\\[lib queue_write \\+[0-9]+ *\\]Data ";
    EXPECT_TRUE(std::regex_match(cap.texts()[0], std::regex(tag + "Full!\n\n"))) << cap.texts()[0];
    EXPECT_TRUE(std::regex_match(cap.texts()[1], std::regex(tag + "Null!\n\n"))) << cap.texts()[1];

    memset(q.get(), 0x5A, sizeof *q);  // never created: empty, and refuses writes
    EXPECT_EQ(queue_read(q.get(), buf) & queue_write(q.get(), &b, 1, 0, slot_queue_info{}), 0xFFFFFFFFu);
    EXPECT_EQ(queue_length(q.get()), 0u);
}
