// A fresh process: the task functions before the start, refused input, the
// first token, and the task functions after the exit.  Its own binary, so
// that no other test has made delay-queue entries before it.
#include "lc_test.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>
#include <climits>

static void count_up(void *arg)
{
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

// Every adding function with the same arguments: four -1, or four tokens.
static std::vector<int> add_each(lc_task_fn fn, void *arg, long s, long us)
{
    return {add_task(fn, arg, s, us), add_fixperiod_task(fn, arg, s, us), add_fixdelay_task(fn, arg, s, us),
            add_nodestroy_task(fn, arg, s, us)};
}

static void expect_stopped(std::atomic<int> *ran)
{
    EXPECT_EQ(add_each(count_up, ran, 0, 0), std::vector<int>(4, -1));
    EXPECT_EQ(update_task(2, 0, 0), -1);
    int token = 2;
    EXPECT_EQ(remove_task(&token), -1);
    EXPECT_EQ(token, 2);
}

TEST(TaskProcessFresh, FirstTokenIsTwoAndRefusedCallsScheduleNothing)
{
    std::atomic<int> ran{0};
    expect_stopped(&ran);
    EXPECT_EQ(DelayQueueEntry::tokenCounter, 0);

    ASSERT_EQ(lib_common_init(), 0);
    EXPECT_EQ(task_process_init(), EBUSY);  // already running
    EXPECT_EQ(DelayQueueEntry::tokenCounter, 1);  // the queue's own
    const long bad[][2] = {{-1, 0}, {0, -1}, {0, 1000000}, {-1, 999999}};
    for (const auto &d : bad)
        EXPECT_EQ(add_each(count_up, &ran, d[0], d[1]), std::vector<int>(4, -1)) << d[0] << "," << d[1];
    if (LONG_MAX > INT32_MAX) {
        EXPECT_EQ(add_each(count_up, &ran, (long)INT32_MAX + 1, 0), std::vector<int>(4, -1));
    }
    EXPECT_EQ(add_each(nullptr, &ran, 0, 0), std::vector<int>(4, -1));
    EXPECT_EQ(remove_task(nullptr), -1);
    EXPECT_EQ(DelayQueueEntry::tokenCounter, 1);

    EXPECT_EQ(add_task(count_up, &ran, 0, 0), 2);
    EXPECT_TRUE(lc_test::wait_until([&] { return ran == 1; }));
    EXPECT_EQ(update_task(2, 0, 0), -1);
    EXPECT_EQ(update_task(1, 0, 0), -1);  // the queue's own token names no task
    EXPECT_EQ(lib_common_exit(), 0);
    expect_stopped(&ran);
    EXPECT_EQ(ran, 1);
}
