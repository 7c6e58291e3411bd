// String buffer: capacity rounding and reset, the used convention.  Random sequences against a model (growth,
// emptiness, own bytes as a source, null arguments) are the fuzz target's part; running out of memory and impossible
// capacities, the allocation-failure walk's.
#include "lc_test.h"

#include <gtest/gtest.h>

TEST(Buffer, CapacityIsTheNextMultipleOf64AndResetKeepsUpTo4096)
{
    const struct {
        size_t request, size;
    } cases[] = {{0, 64}, {63, 64}, {64, 128}, {100, 128}, {128, 192}, {4095, 4096}, {4096, 4160}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request);
        buffer *b = buffer_init();
        EXPECT_EQ(buffer_prepare_copy(b, c.request), 0);
        EXPECT_EQ(b->size, c.size);
        buffer_copy_string(b, "text");
        char *storage = b->ptr;
        buffer_reset(b);
        const bool kept = c.size <= 4096;
        EXPECT_EQ(b->used, 0u);
        EXPECT_EQ(b->size, kept ? c.size : 0u);
        EXPECT_EQ(b->ptr, kept ? storage : nullptr);
        if (kept) {
            EXPECT_EQ(b->ptr[0], '\0');  // a kept storage holds the empty text
        }
        buffer_free(b);
    }
}

TEST(Buffer, UsedCountsTheTerminatorAndRawBytesDoNot)
{
    buffer *b = buffer_init(), *raw = buffer_init();
    EXPECT_EQ(buffer_copy_string(b, "abc"), 0);
    EXPECT_EQ(b->used, 4u);
    EXPECT_EQ(buffer_append_string(b, "de"), 0);
    EXPECT_EQ(buffer_append_int(b, -5), 0);
    EXPECT_STREQ(b->ptr, "abcde-5");
    EXPECT_EQ(b->used, 8u);
    EXPECT_EQ(buffer_copy_string_len(b, "hello", 0), 0);  // the empty string
    EXPECT_EQ(b->used, 1u);
    EXPECT_EQ(buffer_append_memory(raw, "x", 0), 0);
    EXPECT_EQ(buffer_append_string_len(raw, "x", 0), 0);
    EXPECT_EQ(raw->size, 0u);  // never allocated
    EXPECT_EQ(buffer_append_memory(raw, "xyz", 3), 0);
    EXPECT_EQ(raw->used, 3u);
    EXPECT_EQ(buffer_append_string(raw, "Q"), 0);  // takes 'z' for the terminator
    EXPECT_STREQ(raw->ptr, "xyQ");
    EXPECT_EQ(raw->used, 4u);
    buffer_free(b);
    buffer_free(raw);
}

// A copy whose source is the buffer's own storage, longer than the storage can take with a terminator: the storage
// grows and the copy is made from the bytes as they were, wherever the growth moved them.
TEST(Buffer, CopyFromItsOwnStorageThatMustGrow)
{
    buffer *b = buffer_init();
    ASSERT_EQ(buffer_prepare_copy(b, 0), 0);
    ASSERT_EQ(b->size, 64u);
    std::string bytes;
    for (int i = 0; i < 64; i++)
        bytes += static_cast<char>('A' + i % 26);
    ASSERT_EQ(buffer_append_memory(b, bytes.data(), 64), 0);
    ASSERT_EQ(b->used, 64u);  // the storage is full
    EXPECT_EQ(buffer_copy_string_len(b, b->ptr, 64), 0);
    EXPECT_EQ(b->size, 128u);
    EXPECT_EQ(b->used, 65u);
    EXPECT_EQ(std::string(b->ptr), bytes);
    buffer_free(b);
}
