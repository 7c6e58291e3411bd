// String buffer: capacity rounding, the used convention, raw bytes, reset,
// and the stop on out of memory.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <string>

// Let a huge allocation fail with null under the sanitizers, as it does in
// plain glibc, instead of being reported by the sanitizer itself.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char *__tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {
struct Buf {
    buffer *b = buffer_init();
    ~Buf() { buffer_free(b); }
    std::string text() const { return std::string(b->ptr); }
};
}  // namespace

TEST(Buffer, CapacityIsTheNextMultipleOf64AboveTheRequest)
{
    const size_t cases[][2] = {{0, 64}, {1, 64}, {63, 64}, {64, 128}, {100, 128}, {128, 192}};
    for (const auto &c : cases) {
        Buf buf;
        EXPECT_EQ(buffer_prepare_copy(buf.b, c[0]), 0);
        EXPECT_EQ(buf.b->size, c[1]) << "request " << c[0];
        EXPECT_EQ(buf.b->used, 0u);
    }
    Buf buf;
    ASSERT_EQ(buffer_prepare_append(buf.b, 100), 0);
    EXPECT_EQ(buf.b->size, 128u);
    char *storage = buf.b->ptr;
    buf.b->used = 5;
    EXPECT_EQ(buffer_prepare_copy(buf.b, 128), 0);  // fits: same storage, emptied
    EXPECT_EQ(buf.b->ptr, storage);
    EXPECT_EQ(buf.b->used, 0u);

    // Growth adds the request to the old capacity, not to used.
    Buf grow;
    buffer_prepare_copy(grow.b, 10);
    grow.b->used = 60;
    char raw[10] = {0};
    EXPECT_EQ(buffer_append_memory(grow.b, raw, sizeof raw), 0);
    EXPECT_EQ(grow.b->size, 128u);
    EXPECT_EQ(grow.b->used, 70u);
}

TEST(Buffer, UsedCountsTheTerminatorOfStrings)
{
    Buf buf;
    EXPECT_EQ(buffer_is_empty(buf.b), 1);
    EXPECT_EQ(buffer_copy_string(buf.b, "abc"), 0);
    EXPECT_EQ(buf.b->used, 4u);
    EXPECT_EQ(buf.b->size, 64u);
    EXPECT_EQ(buffer_append_string(buf.b, "de"), 0);
    EXPECT_EQ(buf.text(), "abcde");
    EXPECT_EQ(buf.b->used, 6u);
    EXPECT_EQ(buffer_append_int(buf.b, -5), 0);
    EXPECT_EQ(buffer_append_string_len(buf.b, "xyz", 2), 0);
    EXPECT_EQ(buf.text(), "abcde-5xy");
    EXPECT_EQ(buf.b->used, 10u);

    EXPECT_EQ(buffer_copy_string(buf.b, ""), 0);
    EXPECT_EQ(buf.b->used, 1u);
    EXPECT_EQ(buffer_is_empty(buf.b), 0);
    EXPECT_EQ(buffer_string_is_empty(buf.b), 1);
    EXPECT_EQ(buffer_copy_string_len(buf.b, "hello", 0), 0);
    EXPECT_EQ(buf.b->used, 1u);
    EXPECT_EQ(buffer_copy_string_len(buf.b, "hello", 4), 0);
    EXPECT_EQ(buf.text(), "hell");
    EXPECT_EQ(buffer_string_is_empty(buf.b), 0);

    // An append to a buffer without content starts a string.
    Buf fresh;
    EXPECT_EQ(buffer_append_string(fresh.b, "q"), 0);
    EXPECT_EQ(fresh.text(), "q");
    EXPECT_EQ(fresh.b->used, 2u);
}

TEST(Buffer, RawBytesCarryNoTerminatorAndAStringAppendOverwritesTheLast)
{
    Buf untouched;
    EXPECT_EQ(buffer_append_memory(untouched.b, "x", 0), 0);
    EXPECT_EQ(buffer_append_string_len(untouched.b, "x", 0), 0);
    EXPECT_EQ(untouched.b->size, 0u);
    EXPECT_EQ(untouched.b->ptr, nullptr);

    Buf buf;
    EXPECT_EQ(buffer_append_memory(buf.b, "xyz", 3), 0);
    EXPECT_EQ(buf.b->used, 3u);
    EXPECT_EQ(memcmp(buf.b->ptr, "xyz", 3), 0);
    EXPECT_EQ(buffer_append_string(buf.b, "Q"), 0);
    EXPECT_EQ(buf.text(), "xyQ");
    EXPECT_EQ(buf.b->used, 3u + 1u);

    const unsigned char bin[] = {0, 1, 2, 0xff};
    EXPECT_EQ(buffer_copy_memory(buf.b, bin, sizeof bin), 0);
    EXPECT_EQ(buf.b->used, 4u);
    EXPECT_EQ(memcmp(buf.b->ptr, bin, sizeof bin), 0);
}

TEST(Buffer, CopiesBetweenBuffersAndFromItself)
{
    Buf src, dst;
    buffer_copy_string(src.b, "source");
    buffer *copy = buffer_init_buffer(src.b);
    EXPECT_STREQ(copy->ptr, "source");
    EXPECT_EQ(copy->used, 7u);
    buffer_free(copy);
    buffer *blank = buffer_init_buffer(nullptr);
    EXPECT_EQ(blank->used, 0u);
    buffer_free(blank);

    buffer_copy_string(dst.b, "old text");
    char *storage = dst.b->ptr;
    Buf none;
    EXPECT_EQ(buffer_copy_string_buffer(dst.b, none.b), 0);  // empties, keeps storage
    EXPECT_EQ(dst.b->used, 0u);
    EXPECT_EQ(dst.b->ptr, storage);
    EXPECT_EQ(buffer_append_string_buffer(dst.b, none.b), 0);
    EXPECT_EQ(dst.b->used, 0u);
    EXPECT_EQ(buffer_append_string_buffer(dst.b, src.b), 0);
    EXPECT_EQ(buffer_append_string_buffer(dst.b, src.b), 0);
    EXPECT_EQ(dst.text(), "sourcesource");

    // Own bytes as the source, across growth that moves the storage.
    std::string expect = "sourcesource";
    for (int i = 0; i < 5; i++) {
        ASSERT_EQ(buffer_append_string_buffer(dst.b, dst.b), 0);
        expect += expect;
    }
    EXPECT_EQ(dst.text(), expect);
    EXPECT_EQ(buffer_append_memory(dst.b, dst.b->ptr, 200), 0);
    EXPECT_EQ(buffer_copy_string_len(dst.b, dst.b->ptr + 6, 6), 0);
    EXPECT_EQ(dst.text(), "source");
}

TEST(Buffer, ResetKeeps4096BytesAndGivesBackMore)
{
    Buf buf;
    buffer_prepare_copy(buf.b, 4095);
    ASSERT_EQ(buf.b->size, 4096u);
    buffer_copy_string(buf.b, "text");
    char *storage = buf.b->ptr;
    buffer_reset(buf.b);
    EXPECT_EQ(buf.b->ptr, storage);
    EXPECT_EQ(buf.b->size, 4096u);
    EXPECT_EQ(buf.b->used, 0u);
    EXPECT_STREQ(buf.b->ptr, "");

    Buf big;
    buffer_prepare_copy(big.b, 4096);
    ASSERT_EQ(big.b->size, 4160u);
    buffer_copy_string(big.b, "text");
    buffer_reset(big.b);
    EXPECT_EQ(big.b->ptr, nullptr);
    EXPECT_EQ(big.b->size, 0u);
    EXPECT_EQ(big.b->used, 0u);
    EXPECT_EQ(buffer_append_string(big.b, "again"), 0);
    EXPECT_EQ(big.text(), "again");
}

TEST(Buffer, NullArgumentsGiveMinusOneAndChangeNothing)
{
    Buf buf;
    EXPECT_EQ(buffer_prepare_copy(nullptr, 1), -1);
    EXPECT_EQ(buffer_prepare_append(nullptr, 1), -1);
    EXPECT_EQ(buffer_copy_string(nullptr, "a"), -1);
    EXPECT_EQ(buffer_copy_string(buf.b, nullptr), -1);
    EXPECT_EQ(buffer_copy_string_len(buf.b, nullptr, 3), -1);
    EXPECT_EQ(buffer_copy_string_buffer(buf.b, nullptr), -1);
    EXPECT_EQ(buffer_copy_string_buffer(nullptr, buf.b), -1);
    EXPECT_EQ(buffer_append_string(buf.b, nullptr), -1);
    EXPECT_EQ(buffer_append_int(nullptr, 1), -1);
    EXPECT_EQ(buffer_append_string_len(nullptr, "a", 1), -1);
    EXPECT_EQ(buffer_append_string_buffer(buf.b, nullptr), -1);
    EXPECT_EQ(buffer_append_memory(buf.b, nullptr, 4), -1);
    EXPECT_EQ(buffer_copy_memory(nullptr, "a", 1), -1);
    EXPECT_EQ(buf.b->size, 0u);
    EXPECT_EQ(buf.b->used, 0u);
    EXPECT_EQ(buffer_is_empty(nullptr), 1);
    EXPECT_EQ(buffer_string_is_empty(nullptr), 1);
    buffer_reset(nullptr);
    buffer_free(nullptr);
}

TEST(BufferDeathTest, OutOfMemoryStopsWithTheOperationsAssertion)
{
    // A capacity that cannot be represented, and one that cannot be had.
    const size_t huge = SIZE_MAX - SIZE_MAX / 4;
    EXPECT_DEATH(
        {
            buffer *b = buffer_init();
            buffer_prepare_copy(b, SIZE_MAX);
        },
        "conhelper/buffer:[0-9]+: buffer_prepare_copy: Assertion `b->ptr' failed");
    EXPECT_DEATH(
        {
            buffer *b = buffer_init();
            buffer_prepare_copy(b, huge);
        },
        "conhelper/buffer:[0-9]+: buffer_prepare_copy: Assertion `b->ptr' failed");
    EXPECT_DEATH(
        {
            buffer *b = buffer_init();
            buffer_copy_string(b, "abc");
            buffer_prepare_append(b, huge);
        },
        "conhelper/buffer:[0-9]+: buffer_prepare_append: Assertion `b->ptr' failed");
    EXPECT_DEATH(
        {
            buffer *b = buffer_init();
            buffer_append_string(b, "abc");
            buffer_append_string_len(b, "x", SIZE_MAX);
        },
        "conhelper/buffer:[0-9]+: buffer_prepare_append: Assertion `b->ptr' failed");
}
