// String buffer: capacity rounding and reset, the used convention, bad arguments.  Random
// sequences against a model (growth, emptiness, own bytes as a source) are the fuzz target's part.
#include "lc_test.h"

#include <gtest/gtest.h>

namespace {
struct Buf {
    buffer *b = buffer_init();
    ~Buf() { buffer_free(b); }
    std::string text() const { return b->ptr; }
};
}  // namespace

TEST(Buffer, CapacityIsTheNextMultipleOf64AndResetKeepsUpTo4096)
{
    const struct { size_t request, size; bool kept; } cases[] = {
        {0, 64, true}, {63, 64, true}, {64, 128, true}, {100, 128, true},
        {128, 192, true}, {4095, 4096, true}, {4096, 4160, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request);
        Buf buf;
        EXPECT_EQ(buffer_prepare_copy(buf.b, c.request), 0);
        EXPECT_EQ(buf.b->size, c.size);
        buffer_copy_string(buf.b, "text");
        char *storage = buf.b->ptr;
        buffer_reset(buf.b);
        EXPECT_EQ(buf.b->used, 0u);
        EXPECT_EQ(buf.b->size, c.kept ? c.size : 0u);
        EXPECT_EQ(buf.b->ptr, c.kept ? storage : nullptr);
        EXPECT_TRUE(!c.kept || buf.b->ptr[0] == '\0');  // a kept storage holds the empty text
    }
}

TEST(Buffer, UsedCountsTheTerminatorAndRawBytesDoNot)
{
    Buf buf;
    EXPECT_EQ(buffer_copy_string(buf.b, "abc"), 0);
    EXPECT_EQ(buf.b->used, 4u);
    EXPECT_EQ(buffer_append_string(buf.b, "de"), 0);
    EXPECT_EQ(buffer_append_int(buf.b, -5), 0);
    EXPECT_EQ(buf.text(), "abcde-5");
    EXPECT_EQ(buf.b->used, 8u);
    EXPECT_EQ(buffer_copy_string_len(buf.b, "hello", 0), 0);  // the empty string
    EXPECT_EQ(buf.b->used, 1u);
    Buf raw;
    EXPECT_EQ(buffer_append_memory(raw.b, "x", 0) + buffer_append_string_len(raw.b, "x", 0), 0);
    EXPECT_EQ(raw.b->size, 0u);  // never allocated
    EXPECT_EQ(buffer_append_memory(raw.b, "xyz", 3), 0);
    EXPECT_EQ(raw.b->used, 3u);
    EXPECT_EQ(buffer_append_string(raw.b, "Q"), 0);  // takes 'z' for the terminator
    EXPECT_EQ(raw.text(), "xyQ");
    EXPECT_EQ(raw.b->used, 4u);
}

// Null arguments give -1 and change nothing.  Running out of memory is the
// allocation-failure walk's part; a capacity that cannot be represented
// stops the process the same way.
TEST(BufferDeathTest, BadArgumentsAndImpossibleCapacities)
{
    Buf buf;
    EXPECT_EQ(buffer_prepare_append(nullptr, 1) + buffer_copy_string(buf.b, nullptr) +
                  buffer_copy_string_buffer(buf.b, nullptr) + buffer_append_int(nullptr, 1) +
                  buffer_append_string_len(buf.b, nullptr, 1) + buffer_append_memory(buf.b, nullptr, 4) +
                  buffer_append_string_buffer(buf.b, nullptr),
              -7);
    EXPECT_EQ(buf.b->size + buf.b->used, 0u);
    EXPECT_EQ(buffer_is_empty(nullptr) + buffer_string_is_empty(nullptr), 2);
    buffer_reset(nullptr);
    buffer_free(nullptr);
    EXPECT_DEATH(buffer_prepare_copy(buffer_init(), SIZE_MAX),
                 "conhelper/buffer:[0-9]+: buffer_prepare_copy: Assertion `b->ptr' failed");
}
