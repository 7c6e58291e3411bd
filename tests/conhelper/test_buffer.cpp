// String buffer: capacity rounding and what a reset keeps.  Random sequences against a model (growth, used and the
// terminator, raw bytes, own bytes as a source, null arguments) are the fuzz target's part; running out of memory and
// impossible capacities, the allocation-failure walk's.
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
        EXPECT_TRUE(!kept || b->ptr[0] == '\0') << "a kept storage holds the empty text";
        buffer_free(b);
    }
}

// A copy of its own bytes that fits exactly keeps the storage as it is.
TEST(Buffer, OwnBytesThatFitExactlyStayInPlace)
{
    buffer *b = buffer_init();
    ASSERT_EQ(buffer_prepare_copy(b, 63), 0);
    buffer_copy_string(b, std::string(63, 'o').c_str());
    char *storage = b->ptr;
    EXPECT_EQ(buffer_copy_string_len(b, b->ptr, 63), 0);
    EXPECT_EQ((std::tuple{b->size, b->ptr, std::string(b->ptr)}),
              (std::tuple{size_t{64}, storage, std::string(63, 'o')}));
    buffer_free(b);
}
