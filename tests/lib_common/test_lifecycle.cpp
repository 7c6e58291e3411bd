// The running library: start-up, threads and stop; commands through its pipe;
// the pipe of a later process; registration while commands run.  (Splitting
// and matching are checked against a model by the fifo fuzz corpus.)
#include "started_library.h"

#include <dirent.h>
#include <fstream>
#include <random>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>

// Threads of this process named `name` (as the kernel keeps it).
static int threads_named(const std::string &name)
{
    int n = 0;
    DIR *dir = opendir("/proc/self/task");
    while (struct dirent *ent = dir != nullptr ? readdir(dir) : nullptr) {
        std::ifstream comm(std::string("/proc/self/task/") + ent->d_name + "/comm");
        std::string got;
        n += std::getline(comm, got) && got == name;
    }
    if (dir != nullptr)
        closedir(dir);
    return n;
}

// One adjusting step per lib_common_main when enabled; repeated calls change
// nothing; the stop leaves no library thread.
TEST(Lifecycle, BuildLinesPoolShapeMainStepRepeatedCallsAndThreads)
{
    const common_profile_t saved = common_profile;
    lc_test::TraceCapture capture;
    EXPECT_EQ(lib_common_exit(), 0);  // never started: nothing to do
    dbgout_profile.lib_level = 7;     // the adjusting step traces at 7
    common_profile.pool_max_threads = 8;
    ASSERT_EQ(lib_common_init(), 0);
    threadpool *pool = gpool;
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->max * 100 + pool->min * 10 + pool->live, 822);
    const std::string ulong = "ulong:" + std::to_string(sizeof(long));
    EXPECT_EQ(capture.count("]__STDC_VERSION__:201710\n") + capture.count("]sizeof fp32:4 fp64:8 LIB_BOOL:1\n") +
                  capture.count("]sizeof uint8:1 uint16:2 uint32:4 " + ulong + " uint64:8\n"), 3u);
    EXPECT_TRUE(lc_test::wait_until([] { return threads_named("task_process") == 1; }));  // once each runs
    EXPECT_TRUE(lc_test::wait_until([] { return threads_named("threadpool_work") == 2; }));  // 15 characters kept
    int allowed = 0;  // the trace limiter is set up: 10 per window
    for (int i = 0; i < 12; i++)
        allowed += trace_ratelimit();
    EXPECT_EQ(allowed, 10);

    capture.clear();
    EXPECT_EQ(lib_common_init(), 0);
    EXPECT_EQ(gpool, pool);
    lib_common_main();  // pool_adjust_enable 0: no step
    common_profile.pool_adjust_enable = 1;
    lib_common_main();
    EXPECT_EQ(capture.count("[lib "), 1u);  // one step, traced as:
    EXPECT_EQ(capture.count("]thread busy:0 live:2 limit:2--task:0\n"), 1u);
    EXPECT_EQ(lib_common_exit() + lib_common_exit(), 0);
    // A joined thread may stay listed in /proc for a moment.
    EXPECT_TRUE(lc_test::wait_until([] { return threads_named("task_process") + threads_named("threadpool_work") == 0; }));
    EXPECT_EQ(gpool, nullptr);
    common_profile = saved;
}

// "help" lists every row in order; each level row sets its module's field
// (all_level: the seven) and nothing else; each bad write gets one hint.
TEST_F(StartedLibrary, CommandsThroughThePipeListSetAndHintOncePerWrite)
{
    send("help=1\n", 0);
    // The level keys as listed, with their field in the record (-1: all).
    const std::pair<const char *, int> keys[] = {{"lib", 0},    {"para", 1}, {"cc", 2},  {"visca", 3},
                                                 {"module", 5}, {"net", 4},  {"mpp", 6}, {"all", -1}};
    const char *levels[] = {"err", "info", "debug"};
    Texts expected = {"help=NULL\n"};
    for (const auto &key : keys)
        for (const char *level : levels)
            expected.push_back(std::string(key.first) + "_level=" + level + "\n");
    expected.insert(expected.end(), {"dbg_time=1\n", "dbg_time=0\n", "gpool=statistics\n", "gpool=print_task\n",
                                     "gpool=add_task\n", "test_mark=NULL\n"});
    ASSERT_TRUE(lc_test::wait_until([&] { return traced_by("fifo_print_debug").size() == expected.size(); }));
    EXPECT_EQ(traced_by("fifo_print_debug"), expected);

    const int32_t fives[9] = {5, 5, 5, 5, 5, 5, 5, 5, 5}, usual[9] = {6, 6, 6, 6, 6, 6, 6, 6, 0};
    // The scheduler reads the gates while it runs: store them as it loads them.
    const auto store = [](const int32_t (&levels)[9]) {
        for (int f = 0; f < 9; f++)
            __atomic_store_n(&dbgout_profile.lib_level + f, levels[f], __ATOMIC_RELAXED);
    };
    for (const auto &key : keys) {
        for (int l = 0; l < 3; l++) {
            store(fives);
            ASSERT_TRUE(command(std::string(key.first) + "_level=" + levels[l]));
            int32_t now[9], want[9];
            memcpy(now, &dbgout_profile, sizeof now);
            for (int f = 0; f < 9; f++)
                want[f] = f < 7 && (f == key.second || key.second < 0) ? "367"[l] - '0' : 5;
            EXPECT_EQ(std::vector<int>(now, now + 9), std::vector<int>(want, want + 9)) << key.first << levels[l];
        }
    }

    store(usual);
    const std::string cut = std::string(250, ' ') + "lib_level=debug";  // split by the 256-byte read
    for (const std::string &bad : {std::string("lib_level"), std::string("lib_level=Debug"), std::string("gpool=statistics=1"),
                                   std::string("cc_level=err;;para_level=debug"), cut}) {
        capture_.clear();
        ASSERT_TRUE(command(bad)) << bad;  // the hint follows the marker's run
        EXPECT_TRUE(lc_test::wait_until([&] { return hints() == (bad == cut ? 2u : 1u); })) << bad;
        EXPECT_EQ(dbgout_profile.lib_level, 6) << bad;
        EXPECT_FALSE(capture_.contains("[lib threadpool_debug +")) << bad;
    }
    EXPECT_EQ(dbgout_profile.cc_level * 10 + dbgout_profile.para_level, 37);  // the pieces around the empty one ran
    ASSERT_TRUE(command("lib_level=debug\n"));
    EXPECT_EQ(dbgout_profile.lib_level, 7);
    ASSERT_TRUE(command("all_level=err;dbg_time=1"));
    EXPECT_EQ(dbgout_profile.mpp_level + dbgout_profile.lib_level + dbgout_profile.time_enable, 7);
}

// Garbage, binary bytes, over-long keys and values and floods; then timers
// still fire while slow commands keep the pipe readable on every pass.
TEST_F(StartedLibrary, GarbageAndFloodsNeverStallTheScheduler)
{
    std::mt19937 random(7);
    for (int i = 0; i < 40; i++) {  // NULs and semicolons too
        std::string junk;
        for (size_t n = 1 + random() % 300; n > 0; n--)
            junk += static_cast<char>(random());
        send(junk, 0);
    }
    send(std::string(150, 'k') + "=" + std::string(150, 'v') + ";lib_level=" + std::string(120, 'x'), 0);
    for (int i = 0; i < 1000; i++)
        send("dbg_time=0;", 0);
    int w = open(path_.c_str(), O_WRONLY | O_NONBLOCK), left = -1;  // drained: no read boundary cuts the next write
    EXPECT_TRUE(lc_test::wait_until([&] { return ioctl(w, FIONREAD, &left) == 0 && left == 0; }));
    ASSERT_TRUE(command("dbg_time=1"));
    EXPECT_EQ(dbgout_profile.time_enable, 1);

    static const fifo_cmd slow[] = {{"slow", nullptr, [](const char *, void *) { usleep(200); }, nullptr}};
    add_fifo_work(slow, 1);
    std::atomic<int> ran{0};
    std::string block;
    while (block.size() < 4000)
        block += "slow=1;";
    std::thread flood([&] {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
             ran == 0 && std::chrono::steady_clock::now() < end;)
            if (write(w, block.data(), block.size()) < 0)
                std::this_thread::yield();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_GT(add_task([](void *arg) { ++*static_cast<std::atomic<int> *>(arg); }, &ran, 0, 200000), 0);
    EXPECT_TRUE(lc_test::wait_until([&] { return ran == 1; }, std::chrono::seconds(2)));
    flood.join();
    close(w);
}

static Texts calls;  // the values given to the "any" row, in order
static const fifo_cmd rows[] = {{"help", nullptr, fifo_print_debug, nullptr},
                                {"any", nullptr, [](const char *value, void *) { calls.push_back(value); }, nullptr}};

class Fifo : public FifoPipe {
protected:
    void SetUp() override
    {
        FifoPipe::SetUp();
        add_fifo_work(rows, 2);
        calls.clear();
    }
};

// A child finds "/dev/libfifo" taken, serves its own node and removes only
// that; when its own name is taken too it serves nothing and leaves it be.
TEST_F(Fifo, LaterProcessesServeTheirOwnNodeAndRemoveOnlyThat)
{
    pid_t child = fork();
    if (child == 0) {
        const std::string own = "/dev/libfifo_" + std::to_string(getpid());
        int fd = fifo_init_fun();
        add_fifo_work(rows, 2);
        int w = open(own.c_str(), O_WRONLY | O_NONBLOCK);
        bool wrote = fd >= 0 && w >= 0 && write(w, "any=child\n", 10) == 10;
        fifo_handle(fd);
        fifo_exit_fun(fd);
        if (!wrote || calls != Texts{"child"} || access(own.c_str(), F_OK) == 0 || access(path_.c_str(), F_OK) != 0)
            _exit(1);
        mkfifo(own.c_str(), 0600);
        fifo_exit_fun(fd = fifo_init_fun());
        _exit(fd == -1 && remove(own.c_str()) == 0 && fifo_init_fun() == -1 && access(own.c_str(), F_OK) != 0 ? 0 : 2);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Tables registered while "help" walks the rows; empty tables are dropped.
TEST_F(Fifo, TablesRegisterWhileCommandsAreHandled)
{
    dbgout_profile.cc_level = 5;  // walk the rows for "help" without tracing them
    std::atomic<bool> done{false};
    std::thread registrar([&] {
        for (int i = 0; i < 200; i++)
            add_fifo_work(rows + 1, 1);
        add_fifo_work(nullptr, 2);
        add_fifo_work(rows, 0);
        done = true;
    });
    size_t handled = 0;
    for (; handled < 50 || !done; handled++)
        send("help=1;any=1");
    registrar.join();
    EXPECT_EQ(calls, Texts(handled, "1"));
    EXPECT_EQ(capture_.count("]command table dropped: no rows\n"), 2u);
    int registered = 0;
    for (fifo_link *l = fifo_queue.link.next; l != &fifo_queue.link; l = l->next)
        registered++;
    EXPECT_EQ(registered, 201);
}
