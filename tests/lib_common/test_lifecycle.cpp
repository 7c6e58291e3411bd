// The running library: start-up levels, threads and stop; commands through its pipe; a later process's pipe.
#include "started_library.h"

#include <errno.h>
#include <mutex>
#include <stdlib.h>

static const std::string hint = "]please use echo \"help=1\" > /dev/libfifo \n";

// Repeated starts and stops change nothing; no adjusting step unless enabled; the stop leaves no library thread.
TEST(Lifecycle, PoolShapeMainStepRepeatedCallsAndThreads)
{
    const common_profile_t saved = common_profile;
    lc_test::TraceCapture capture;
    EXPECT_EQ(lib_common_exit(), 0);  // never started: nothing to do
    dbgout_profile.lib_level = 7;     // the adjusting step traces at 7
    common_profile.pool_max_threads = 8;
    ASSERT_EQ(lib_common_init(), 0);
    threadpool *pool = gpool;
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ((std::vector<int>{pool->max, pool->min, pool->live}), (std::vector<int>{8, 2, 2}));
    const auto threads = [](int scheduler, int workers) {  // the kernel keeps 15 characters of a name
        return lc_test::wait_until([=] {
            return lc_test::threads_named("task_process") == scheduler &&
                   lc_test::threads_named("threadpool_work") == workers;
        });
    };
    EXPECT_TRUE(threads(1, 2));
    capture.clear();
    EXPECT_EQ(lib_common_init(), 0);
    EXPECT_EQ(gpool, pool);
    lib_common_main();  // pool_adjust_enable 0 (a step is traced at 7; the stress test runs them)
    EXPECT_TRUE(capture.texts().empty());
    EXPECT_EQ((std::vector<int>{lib_common_exit(), lib_common_exit()}), (std::vector<int>{0, 0}));
    EXPECT_TRUE(threads(0, 0));
    EXPECT_EQ(gpool, nullptr);
    common_profile = saved;
}

// "help" lists every row in order; each level row sets its module's field (all: the seven); one hint per bad write.
TEST_F(StartedLibrary, CommandsThroughThePipeListSetAndHintOncePerWrite)
{
    send("help=1\n");
    Texts expected;
    for (const std::string &row : listed_rows())
        expected.push_back(row + (row.find('=') == std::string::npos ? "=NULL\n" : "\n"));
    EXPECT_TRUE(lc_test::wait_until([&] { return traced_by("fifo_print_debug") == expected; }))
        << testing::PrintToString(traced_by("fifo_print_debug"));
    // Each key's field (-1: all); debug and err first, so a row setting another field shows against the start's info.
    const std::pair<const char *, int> keys[] = {{"lib", 0},    {"para", 1}, {"cc", 2},  {"visca", 3},
                                                 {"module", 5}, {"net", 4},  {"mpp", 6}, {"all", -1}};
    const char *levels[] = {"err", "info", "debug"};
    std::vector<int32_t> want(&dbgout_profile.lib_level, &dbgout_profile.lib_level + 9);
    for (const auto &key : keys)
        for (int l : {2, 0, 1}) {
            ASSERT_TRUE(command(std::string(key.first) + "_level=" + levels[l]));
            for (int f = 0; f < 7; f++)
                want[f] = f == key.second || key.second < 0 ? "367"[l] - '0' : want[f];
            EXPECT_EQ(std::vector<int32_t>(&dbgout_profile.lib_level, &dbgout_profile.lib_level + 9), want)
                << key.first << levels[l];
        }
    const std::string cut = std::string(250, ' ') + "lib_level=debug";  // split by the 256-byte read
    for (const std::string &bad :
         Texts{"lib_level", "lib_level=Debug", "gpool=statistics=1", "cc_level=err;;para_level=debug", cut}) {
        capture_.clear();
        ASSERT_TRUE(command(bad)) << bad;  // the hint follows the marker's run
        EXPECT_TRUE(lc_test::wait_until([&] { return capture_.count(hint) == (bad == cut ? 2u : 1u); })) << bad;
    }
    EXPECT_EQ(std::make_pair(dbgout_profile.cc_level, dbgout_profile.para_level), std::make_pair(3, 7));  // around ;;
}

// A read of 256 bytes is one C text; a command it cuts runs in neither read (hint in each), one ending there runs.
TEST_F(StartedLibrary, ACommandCutByTheReadBoundaryRunsInNeitherRead)
{
    std::string times;
    for (int i = 0; i < 21; i++)
        times += "dbg_time=0;";
    const std::string semis = std::string(240, ';');
    const struct {
        std::string text;
        int lib, cc;  // the levels after it (started at 6 and 6)
        size_t hints;
    } cases[] = {
        {times + std::string(10, ' ') + "lib_level=debugger\n", 6, 6, 2},  // cut inside "debugger"
        {times + std::string(10, ' ') + "lib_level=debug", 7, 6, 0},       // all of it in one read
        {times + std::string(11, ' ') + "lib_level=err;cc_level=err", 3, 3, 0},
        {times + std::string(10, ' ') + "lib_level=info\n;cc_level=err", 6, 3, 1},  // only the empty piece fails
        // Leading ';' make empty pieces, which fail: each read traces the hint.
        {semis + "lib_level=debug\nX;", 6, 6, 2},                                  // a line feed at byte 256 goes on
        {std::string(244, ';') + "cc_level=err;", 6, 3, 2},                        // its ';' is byte 257: nothing cut
        {std::string("lib_level=info\0;lib_level=debug", 31), 6, 6, 0},            // the text ends at the NUL
        {std::string("\0lcctl reply=/tmp/lcctl-x;lib_level=debug", 42), 6, 6, 1},  // an empty text
    };
    for (const auto &c : cases) {
        __atomic_store_n(&dbgout_profile.lib_level, 6, __ATOMIC_RELAXED);
        __atomic_store_n(&dbgout_profile.cc_level, 6, __ATOMIC_RELAXED);
        capture_.clear();
        send(c.text);
        ASSERT_TRUE(lc_test::wait_until([&] { return pipe_holds() == 0; })) << c.text;
        ASSERT_TRUE(command("dbg_time=0")) << c.text;  // a read of its own: the pieces before it have run
        EXPECT_EQ((std::vector<size_t>{(size_t)XEL_LEVEL(lib), (size_t)XEL_LEVEL(cc), capture_.count(hint)}),
                  (std::vector<size_t>{(size_t)c.lib, (size_t)c.cc, c.hints}))
            << c.text;
    }
}

// From a command (the scheduler thread) start, main and stop neither start nor wait nor adjust; the library runs on.
TEST_F(StartedLibrary, LifecycleCallsFromACommandChangeNothing)
{
    static std::vector<int> results;
    static const auto calls_all = [](const char *, void *) {
        results = {lib_common_init(), (lib_common_main(), lib_common_exit()), task_process_init(), task_process_exit()};
    };
    static const fifo_cmd calls[] = {{"test_life", nullptr, calls_all, nullptr}};
    const common_profile_t saved = common_profile;
    common_profile.pool_adjust_enable = 1;
    __atomic_store_n(&dbgout_profile.lib_level, 7, __ATOMIC_RELAXED);  // an adjusting step would trace
    threadpool *pool = gpool;
    add_fifo_work(calls, 1);
    ASSERT_TRUE(command("test_life=1"));
    common_profile = saved;
    EXPECT_EQ(results, (std::vector<int>{0, -1, EBUSY, -1}));
    EXPECT_TRUE(traced_by("threadpool_adjust").empty());
    EXPECT_EQ(gpool, pool);
    EXPECT_TRUE(command("dbg_time=0"));  // the pipe is still served
}

// Timers still fire while a flood of slow commands keeps the pipe readable, and tables register meanwhile.
TEST_F(StartedLibrary, FloodsAndNewTablesNeverStallTheScheduler)
{
    static const fifo_cmd slow[] = {{"slow", nullptr, [](const char *, void *) { usleep(200); }, nullptr}};
    std::string flood;  // at least 1.7 s of work: longer than the wait below
    while (flood.size() < 60000)
        flood += "slow=1;";
    send(flood);
    for (int i = 0; i < 200; i++)
        add_fifo_work(slow, 1);
    std::atomic<int> ran{0};
    EXPECT_GT(add_task([](void *arg) { ++*static_cast<std::atomic<int> *>(arg); }, &ran, 0, 200000), 0);
    EXPECT_TRUE(lc_test::wait_until([&] { return ran == 1; }, std::chrono::milliseconds(1500)));
}

TEST(FifoNode, LaterProcessesServeTheirOwnNodeAndRemoveOnlyThat)
{
    lc_test::TraceCapture capture;
    const int first = fifo_init_fun();  // "/dev/libfifo", or this process's name when another run holds that
    const std::string mine =
        capture.contains("] /dev/libfifo is") ? "/dev/libfifo" : "/dev/libfifo_" + std::to_string(getpid());
    const auto later = [&] {
        const std::string named = "/dev/libfifo_" + std::to_string(getpid());
        const int fd = fifo_init_fun();
        // Its own name; "/dev/libfifo" only when another run's went away meanwhile (ours cannot).
        const std::string own = access(named.c_str(), F_OK) == 0 ? named : "/dev/libfifo";
        const int w = open(own.c_str(), O_WRONLY | O_NONBLOCK);
        trace_debug_init();
        const bool wrote = fd >= 0 && w >= 0 && write(w, "dbg_time=1\n", 11) == 11;
        if (wrote)  // never a blocking read of a pipe nobody wrote to
            fifo_handle(fd);
        fifo_exit_fun(fd);
        _exit(!(wrote && (own == named || mine != "/dev/libfifo") && dbgout_profile.time_enable == 1 &&
                access(own.c_str(), F_OK) != 0 && access(mine.c_str(), F_OK) == 0));
    };
    EXPECT_EXIT(later(), testing::ExitedWithCode(0), "");
    fifo_exit_fun(first);
}

namespace {

std::mutex trace_mutex;  // the pool's workers trace during the start
std::vector<std::pair<int32_t, std::string>> traces;

void level_hook(int32_t level, const char *text)
{
    std::lock_guard<std::mutex> lock(trace_mutex);
    traces.emplace_back(level, text);
}

using Seen = std::tuple<int32_t, std::string, size_t>;  // level (-1: any), text, times

// LIB_COMMON_LEVELS parts apply in order; a bad one changes nothing and is traced once at 3, escaped, with why.
TEST(StartLevels, PartsApplyInOrderAndBadOnesAreNamedOnce)
{
    lc_test::TraceCapture restore;  // puts hook and levels back
    const auto built = [](const std::string &format, const std::string &text) {
        return lc_test::traced_tag("lib", "lib_common/lifecycle.cpp", "lib_common_init", format) + text;
    };
    const std::string w = "3[lib lib_common_init ]LIB_COMMON_LEVELS: ignored \"",
                      bad = "\": not a level (0..7, err, info, debug)\n", ul = std::to_string(sizeof(long));
    const std::vector<int32_t> unchanged = {6, 6, 6, 6, 6, 6, 6, 0};
    const struct {
        const char *value;
        int32_t before;
        std::vector<int32_t> after;  // the seven levels and time_enable
        std::string warned;          // each trace naming LIB_COMMON_LEVELS: level, tag without line, text
        std::vector<Seen> seen;
    } cases[] = {
        {nullptr, 3, {3, 3, 3, 3, 3, 3, 3, 0}, "", {{-1, "]__STDC_VERSION__:", 0}}},
        {"lib=7",
         3,
         {7, 3, 3, 3, 3, 3, 3, 0},
         "",
         {{6, built("__STDC_VERSION__:", "__STDC_VERSION__:201710\n"), 1},
          {6, built("sizeof uint8:", "sizeof uint8:1 uint16:2 uint32:4 ulong:" + ul + " uint64:8\n"), 1},
          {6, built("sizeof fp32:", "sizeof fp32:4 fp64:8 LIB_BOOL:1\n"), 1},
          {7, "]start thread ", 2},  // gpool's two workers
          {6, " is ready,fd:", 1}}},
        {"all=err, lib = debug\t,cc=\t7,para=0,time=1", 6, {7, 0, 7, 3, 3, 3, 3, 1}, "", {}},
        {"lib=7,cc=debug,all=info,time=1,time=0", 3, unchanged, "", {}},  // the later all wins
        {"lib=verbose", 6, unchanged, w + "lib=verbose" + bad, {}},
        {"lib=7,foo=1,cc=8,time=2,,  ,mpp,=3,lib\x1b[2J=1",
         6,
         {7, 6, 6, 6, 6, 6, 6, 0},
         w + "foo=1\": no such module\n" + w + "cc=8" + bad + w + "time=2\": time is 0 or 1\n" + w + "mpp\": no '='\n" +
             w + "=3\": no such module\n" + w + "lib\\x1b[2J=1\": no such module\n",
         {}},
        {"", 6, unchanged, "", {}},
        {nullptr, 6, unchanged, "", {}},
    };
    __atomic_store_n(&dbgout_profile.output_hook, &level_hook, __ATOMIC_RELAXED);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        for (int32_t *f = &dbgout_profile.lib_level; f <= &dbgout_profile.spare_level; f++)
            *f = c.before;
        dbgout_profile.time_enable = 0;
        traces.clear();  // stopped: no worker traces now
        if (c.value != nullptr)
            setenv("LIB_COMMON_LEVELS", c.value, 1);
        EXPECT_EQ(lib_common_init(), 0);
        unsetenv("LIB_COMMON_LEVELS");
        const dbgout_profile_t &p = dbgout_profile;
        EXPECT_EQ((std::vector<int32_t>{p.lib_level, p.para_level, p.cc_level, p.visca_level, p.net_level,
                                        p.module_level, p.mpp_level, p.time_enable}),
                  c.after);
        EXPECT_EQ(lib_common_exit(), 0);
        std::string warned;
        for (const auto &t : traces)
            if (t.second.find("LIB_COMMON_LEVELS") != std::string::npos)
                warned += std::to_string(t.first) + t.second.substr(0, t.second.find('+')) +
                          t.second.substr(t.second.find(']'));
        EXPECT_EQ(warned, c.warned);
        for (const auto &[level, text, times] : c.seen) {
            size_t n = 0;
            for (const auto &t : traces)
                n += t.second.find(text) != std::string::npos && (level < 0 || t.first == level);
            EXPECT_EQ(n, times) << text;
        }
    }
}

}  // namespace
