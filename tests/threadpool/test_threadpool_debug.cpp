// The gpool commands written into the pipe of a started library.
#include "../lib_common/started_library.h"

static void count_up(void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(1); }

class PoolCommands : public StartedLibrary {};

TEST_F(PoolCommands, StatisticsToggledTaskTracesAndTheAddCountdown)
{
    ASSERT_TRUE(command("gpool=statistics"));
    EXPECT_EQ(traced_by("threadpool_debug"), (Texts{"min:2,max:4,live:2,busy:0\n", "task_size:0\n"}));
    __atomic_store_n(&dbgout_profile.lib_level, 5, __ATOMIC_RELAXED);  // the scheduler thread reads it
    ASSERT_TRUE(command("gpool=statistics"));
    EXPECT_EQ(capture_.count("[lib threadpool_debug +"), 2u);
    __atomic_store_n(&dbgout_profile.lib_level, 6, __ATOMIC_RELAXED);

    std::atomic<int> ran{0};
    for (int on : {1, 0}) {  // the second command switches the traces off again
        capture_.clear();
        ASSERT_TRUE(command("gpool=print_task"));
        ASSERT_GT(add_task(count_up, &ran, 0, 0), 0);
        ASSERT_TRUE(lc_test::wait_until([&] { return ran == 2 - on && capture_.count(" end working") == (size_t)on; }));
        EXPECT_EQ(capture_.count("]thread 0x"), 2u * on);
    }

    capture_.clear();
    ASSERT_TRUE(command("gpool=add_task"));
    for (int i = 0; i < 12; i++)
        ASSERT_GT(add_task(count_up, &ran, 0, 0), 0);
    ASSERT_TRUE(lc_test::wait_until([&] { return ran == 14; }));
    EXPECT_EQ(capture_.count("[lib _threadpool_add_task +"), 10u);
}
