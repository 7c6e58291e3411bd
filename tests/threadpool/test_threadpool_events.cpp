// Synchronous submission when its event counters cannot be made.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <atomic>

#include <dirent.h>
#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

// Link-time seam: the library's eventfd calls land here.  Call number
// `fail_call` (from 1) fails; the others make a real counter.
static int calls = 0, fail_call = 0;

extern "C" int eventfd(unsigned int initval, int flags)
{
    if (++calls == fail_call) {
        errno = EMFILE;
        return -1;
    }
    return static_cast<int>(syscall(SYS_eventfd2, initval, flags));
}

static int open_fds()
{
    int n = 0;
    DIR *dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr)
        n++;
    closedir(dir);
    return n;
}

TEST(ThreadPoolEvents, SyncSubmissionFailsCleanlyWithoutEventCounters)
{
    threadpool *pool = threadpool_create(1, 1, 15);
    ASSERT_NE(pool, nullptr);
    std::atomic<int> ran{0};
    auto count_up = [](void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(1); };
    const int fds = open_fds();
    for (int which : {1, 2}) {  // the first counter fails, then the second
        calls = 0;
        fail_call = which;
        EXPECT_EQ(threadpool_add_task_sync(pool, count_up, &ran), -1);
        EXPECT_EQ(calls, which);
        EXPECT_EQ(open_fds(), fds) << "counter left open when call " << which << " failed";
        EXPECT_EQ(threadpool_task_size_lock(pool), 0);
    }
    EXPECT_EQ(threadpool_add_task(pool, count_up, &ran), 0);  // needs no counter
    EXPECT_TRUE(lc_test::wait_until([&] { return ran.load() == 1; }));
    EXPECT_EQ(threadpool_destroy(pool), 0);
}
