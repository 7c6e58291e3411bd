// Thread wrappers in storage of exactly the size each query reports
// (AddressSanitizer sees any overrun), and those sizes on 32-bit ARM.
#include "lc_test.h"

#include <gtest/gtest.h>

static void *exit_with(void *arg) { ithread_exit(arg); }

TEST(IThread, ObjectsLiveInCallerStorageOfTheReportedSize)
{
    std::vector<char> handle(ithread_get_handle_size()), mutex(ithread_get_mutex_lock_size()),
        sem(ithread_get_sem_struct_size());
    void *result = nullptr, *m = mutex.data(), *s = sem.data();
    ASSERT_EQ(ithread_mutex_init(m), 0);
    ASSERT_EQ(ithread_sem_init(s, 0, 0), 0);
    ASSERT_EQ(ithread_create(handle.data(), nullptr, exit_with, &handle), 0);
    EXPECT_EQ(ithread_join(handle.data(), &result), 0);
    EXPECT_EQ(result, &handle);  // the handle read through the pointer
    EXPECT_EQ(ithread_mutex_lock(m), 0);
    EXPECT_EQ(ithread_mutex_unlock(m), 0);
    EXPECT_EQ(ithread_sem_post(s), 0);
    EXPECT_EQ(ithread_sem_wait(s), 0);
    EXPECT_EQ(ithread_mutex_destroy(m), 0);
    EXPECT_EQ(ithread_sem_destroy(s), 0);
}

TEST(PlatformLayout, ThreadObjectSizesOnTheTarget)
{
#if defined(__arm__)
    EXPECT_EQ((std::vector<size_t>{ithread_get_handle_size(), ithread_get_mutex_lock_size(),
                                   ithread_get_mutex_struct_size(), ithread_get_sem_struct_size(), sizeof(long)}),
              (std::vector<size_t>{4, 24, 24, 16, 4}));  // sizeof(long): the type field of IPC messages
#else
    GTEST_SKIP() << "the target sizes hold on 32-bit ARM only";
#endif
}
