// String buffer: capacity rounding, the used convention, raw bytes, reset,
// and the stop on out of memory.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <string.h>
#include <string>

// A huge allocation fails with null under the sanitizers too, as in glibc.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char *__tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {
struct Buf {
    buffer *b = buffer_init();
    ~Buf() { buffer_free(b); }
    std::string text() const { return b->ptr; }
};
}  // namespace

TEST(Buffer, CapacityIsTheNextMultipleOf64AboveTheRequest)
{
    const size_t cases[][2] = {{0, 64}, {63, 64}, {64, 128}, {100, 128}, {128, 192}};
    for (const auto &c : cases) {
        Buf buf;
        EXPECT_EQ(buffer_prepare_copy(buf.b, c[0]), 0);
        EXPECT_EQ(buf.b->size, c[1]) << "request " << c[0];
    }
    Buf buf;
    buffer_copy_string(buf.b, "abc");
    char *storage = buf.b->ptr;
    EXPECT_EQ(buffer_prepare_copy(buf.b, 64), 0);  // fits: same storage, emptied
    EXPECT_EQ(buf.b->ptr, storage);
    EXPECT_EQ(buf.b->used, 0u);
    // Growth adds the request to the old capacity, not to used.
    buf.b->used = 60;
    EXPECT_EQ(buffer_append_memory(buf.b, "0123456789", 10), 0);
    EXPECT_EQ(buf.b->size, 128u);
    EXPECT_EQ(buf.b->used, 70u);
}

TEST(Buffer, UsedCountsTheTerminatorAndRawBytesDoNot)
{
    Buf buf;
    EXPECT_EQ(buffer_copy_string(buf.b, "abc"), 0);
    EXPECT_EQ(buf.b->used, 4u);
    EXPECT_EQ(buf.b->size, 64u);
    EXPECT_EQ(buffer_append_string(buf.b, "de"), 0);
    EXPECT_EQ(buffer_append_int(buf.b, -5), 0);
    EXPECT_EQ(buffer_append_string_len(buf.b, "xyz", 2), 0);
    EXPECT_EQ(buf.text(), "abcde-5xy");
    EXPECT_EQ(buf.b->used, 10u);
    EXPECT_EQ(buffer_copy_string_len(buf.b, "hello", 0), 0);
    EXPECT_EQ(buf.b->used, 1u);
    EXPECT_EQ(buffer_is_empty(buf.b), 0);
    EXPECT_EQ(buffer_string_is_empty(buf.b), 1);

    Buf raw;
    EXPECT_EQ(buffer_append_memory(raw.b, "x", 0), 0);
    EXPECT_EQ(buffer_append_string_len(raw.b, "x", 0), 0);
    EXPECT_EQ(raw.b->size, 0u);  // never allocated
    EXPECT_EQ(buffer_append_memory(raw.b, "xyz", 3), 0);
    EXPECT_EQ(raw.b->used, 3u);
    EXPECT_EQ(buffer_append_string(raw.b, "Q"), 0);  // takes 'z' for the terminator
    EXPECT_EQ(raw.text(), "xyQ");
    EXPECT_EQ(raw.b->used, 4u);
    EXPECT_EQ(buffer_copy_memory(raw.b, "\0\1", 2), 0);
    EXPECT_EQ(raw.b->used, 2u);
    EXPECT_EQ(memcmp(raw.b->ptr, "\0\1", 2), 0);
}

TEST(Buffer, CopiesBetweenBuffersAndFromItself)
{
    Buf src, dst, none;
    buffer_copy_string(src.b, "source");
    buffer *copy = buffer_init_buffer(src.b);
    EXPECT_STREQ(copy->ptr, "source");
    buffer_free(copy);
    buffer_copy_string(dst.b, "old text");
    char *storage = dst.b->ptr;
    EXPECT_EQ(buffer_copy_string_buffer(dst.b, none.b), 0);  // empties, keeps storage
    EXPECT_EQ(dst.b->used, 0u);
    EXPECT_EQ(dst.b->ptr, storage);
    EXPECT_EQ(buffer_append_string_buffer(dst.b, src.b), 0);
    EXPECT_EQ(buffer_append_string_buffer(dst.b, none.b), 0);
    // Own bytes as the source, across growth that moves the storage.
    std::string expect = "source";
    for (int i = 0; i < 6; i++, expect += expect)
        ASSERT_EQ(buffer_append_string_buffer(dst.b, dst.b), 0);
    EXPECT_EQ(dst.text(), expect);
    EXPECT_EQ(buffer_copy_string_len(dst.b, dst.b->ptr + 6, 6), 0);
    EXPECT_EQ(dst.text(), "source");
}

TEST(Buffer, ResetKeeps4096BytesAndGivesBackMore)
{
    Buf keep, give;
    buffer_prepare_copy(keep.b, 4095);
    buffer_copy_string(keep.b, "text");
    char *storage = keep.b->ptr;
    buffer_reset(keep.b);
    EXPECT_EQ(keep.b->ptr, storage);
    EXPECT_EQ(keep.b->size, 4096u);
    EXPECT_EQ(keep.b->used, 0u);
    EXPECT_STREQ(keep.b->ptr, "");

    buffer_prepare_copy(give.b, 4096);
    ASSERT_EQ(give.b->size, 4160u);
    buffer_reset(give.b);
    EXPECT_EQ(give.b->ptr, nullptr);
    EXPECT_EQ(give.b->size, 0u);
    EXPECT_EQ(buffer_append_string(give.b, "again"), 0);
    EXPECT_EQ(give.text(), "again");
}

TEST(Buffer, NullArgumentsGiveMinusOneAndChangeNothing)
{
    Buf buf;
    EXPECT_EQ(buffer_prepare_append(nullptr, 1), -1);
    EXPECT_EQ(buffer_copy_string(buf.b, nullptr), -1);
    EXPECT_EQ(buffer_copy_string_buffer(buf.b, nullptr), -1);
    EXPECT_EQ(buffer_append_int(nullptr, 1), -1);
    EXPECT_EQ(buffer_append_string_len(buf.b, nullptr, 1), -1);
    EXPECT_EQ(buffer_append_memory(buf.b, nullptr, 4), -1);
    EXPECT_EQ(buf.b->size + buf.b->used, 0u);
    EXPECT_EQ(buffer_is_empty(nullptr) + buffer_string_is_empty(nullptr), 2);
    buffer_reset(nullptr);
    buffer_free(nullptr);
}

TEST(BufferDeathTest, OutOfMemoryStopsWithTheOperationsAssertion)
{
    // A capacity that cannot be represented, and one that cannot be had.
    EXPECT_DEATH(buffer_prepare_copy(buffer_init(), SIZE_MAX),
                 "conhelper/buffer:[0-9]+: buffer_prepare_copy: Assertion `b->ptr' failed");
    EXPECT_DEATH(
        {
            buffer *b = buffer_init();
            buffer_copy_string(b, "abc");
            buffer_prepare_append(b, SIZE_MAX - SIZE_MAX / 4);
        },
        "conhelper/buffer:[0-9]+: buffer_prepare_append: Assertion `b->ptr' failed");
}
