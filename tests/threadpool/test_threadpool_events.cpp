// Synchronous submission when its event counters cannot be made (its own binary: ThreadSanitizer does not know the
// seam's counters).
#include "lc_test.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/syscall.h>

// Link-time seam: the library's eventfd calls land here; the second fails.
static int calls = 0;
extern "C" int eventfd(unsigned int initval, int flags)
{
    return ++calls == 2 ? -1 : static_cast<int>(syscall(SYS_eventfd2, initval, flags));
}

TEST(ThreadPoolEvents, SyncSubmissionFailsCleanlyWithoutEventCounters)
{
    threadpool *pool = threadpool_create(1, 1, 15);
    ASSERT_NE(pool, nullptr);
    static std::atomic<int> ran{0};
    const lc_task_fn count_up = [](void *) { ran++; };
    const int lowest_free_fd = open("/dev/null", O_RDONLY);
    close(lowest_free_fd);
    EXPECT_EQ(threadpool_add_task_sync(pool, count_up, nullptr), -1);
    EXPECT_EQ(open("/dev/null", O_RDONLY), lowest_free_fd) << "the first counter was left open";
    EXPECT_EQ(threadpool_task_size_lock(pool), 0);
    EXPECT_EQ(threadpool_add_task(pool, count_up, nullptr), 0);  // needs no counter
    EXPECT_TRUE(lc_test::wait_until([] { return ran == 1; }));
    EXPECT_EQ(threadpool_destroy(pool), 0);
}
