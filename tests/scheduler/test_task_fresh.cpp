// A fresh process (its own binary: no other test has made delay-queue
// entries before): the task functions before the start and after the exit,
// refused input, and the first token.
#include "lc_test.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <atomic>
#include <climits>

using Tokens = std::vector<int>;

static void count_up(void *arg)
{
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

// Every adding function with the same arguments.
static Tokens add_each(lc_task_fn fn, void *arg, long s, long us)
{
    return {add_task(fn, arg, s, us), add_fixperiod_task(fn, arg, s, us), add_fixdelay_task(fn, arg, s, us),
            add_nodestroy_task(fn, arg, s, us)};
}

static void expect_stopped(std::atomic<int> *ran)
{
    int token = 2;
    EXPECT_EQ(add_each(count_up, ran, 0, 0), Tokens(4, -1));
    EXPECT_EQ(update_task(2, 0, 0), -1);
    EXPECT_EQ(remove_task(&token), -1);
    EXPECT_EQ(token, 2);  // left alone
}

TEST(TaskProcessFresh, FirstTokenIsTwoAndRefusedCallsScheduleNothing)
{
    std::atomic<int> ran{0};
    expect_stopped(&ran);
    EXPECT_EQ(DelayQueueEntry::tokenCounter, 0);

    ASSERT_EQ(lib_common_init(), 0);
    EXPECT_EQ(task_process_init(), EBUSY);
    EXPECT_EQ(DelayQueueEntry::tokenCounter, 1);  // the queue's own
    const long bad[][2] = {{-1, 0}, {0, -1}, {0, 1000000}, {LONG_MAX > INT32_MAX ? (long)INT32_MAX + 1 : -5, 0}};
    for (const auto &d : bad)
        EXPECT_EQ(add_each(count_up, &ran, d[0], d[1]), Tokens(4, -1)) << d[0] << "," << d[1];
    EXPECT_EQ(add_each(nullptr, &ran, 0, 0), Tokens(4, -1));
    EXPECT_EQ(remove_task(nullptr), -1);
    EXPECT_EQ(DelayQueueEntry::tokenCounter, 1);  // nothing made

    EXPECT_EQ(add_task(count_up, &ran, 0, 0), 2);
    EXPECT_TRUE(lc_test::wait_until([&] { return ran == 1; }));
    EXPECT_EQ(update_task(2, 0, 0) + update_task(1, 0, 0), -2);  // fired; the queue's token names no task
    EXPECT_EQ(lib_common_exit(), 0);
    expect_stopped(&ran);
    EXPECT_EQ(ran, 1);
}
