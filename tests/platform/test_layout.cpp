// Layout of the caller-owned mapping record, and the sizes the thread
// wrappers report on the 32-bit ARM target.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <stddef.h>

#if UINTPTR_MAX == 0xffffffffu
#define LC_ILP32 1
#else
#define LC_ILP32 0
#endif

static_assert(offsetof(mapped_file, path) == 0, "");
static_assert(offsetof(mapped_file, length) == (LC_ILP32 ? 4 : 8), "");
static_assert(offsetof(mapped_file, offset) == (LC_ILP32 ? 8 : 16), "");
static_assert(offsetof(mapped_file, fd) == (LC_ILP32 ? 12 : 24), "");
static_assert(offsetof(mapped_file, addr) == (LC_ILP32 ? 16 : 32), "");
static_assert(sizeof(mapped_file) == (LC_ILP32 ? 20 : 40), "");

TEST(PlatformLayout, ThreadObjectSizesOnTheTarget)
{
#if defined(__arm__)
    EXPECT_EQ(ithread_get_handle_size(), 4u);
    EXPECT_EQ(ithread_get_mutex_lock_size(), 24u);
    EXPECT_EQ(ithread_get_mutex_struct_size(), 24u);
    EXPECT_EQ(ithread_get_sem_struct_size(), 16u);
    EXPECT_EQ(sizeof(long), 4u);  // the message type field of the IPC buffers
#else
    GTEST_SKIP() << "the target sizes hold on 32-bit ARM only";
#endif
}
