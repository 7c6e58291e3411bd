// Debug command pipe and level commands through the real pipe: splitting,
// matching, hints, other processes, registration while commands run.
#include "fifo_pipe.h"

#include <atomic>
#include <regex>
#include <string.h>
#include <sys/wait.h>
#include <thread>

static Texts calls;  // "<row data>:<value>", in order
static void record(const char *value, void *data)
{
    calls.push_back(std::string(static_cast<const char *>(data)) + ":" + value);
}
static const fifo_cmd rows[] = {
    {"help", nullptr, fifo_print_debug, nullptr},  {"mode", "debug", record, (void *)"debug"},
    {"mode", "debug", record, (void *)"late"},     {"any", nullptr, record, (void *)"any"},
    {nullptr, "x", record, (void *)"nokey"},       {"nohandler", nullptr, nullptr, nullptr},
};

class Fifo : public FifoPipe {
protected:
    void SetUp() override
    {
        FifoPipe::SetUp();
        add_fifo_work(rows, 6);
        calls.clear();
    }
};

// The first matching row runs; a failed piece costs one hint per write.
TEST_F(Fifo, PiecesSplitTrimAndMatchWithOneHintPerWrite)
{
    const struct {
        std::string text;
        Texts calls;
        size_t hints;
    } cases[] = {
        {" \"mode\"\t= \"debug\"\n", {"debug:debug"}, 0},  // quoted, with echo's line feed
        {"any=", {"any:"}, 0},
        {"mode=debug=1;any=a=1", {"any:a=1"}, 1},  // only the first '=' splits
        {"mode=debug;", {"debug:debug"}, 0},
        {"any=1\nmode=debug", {"any:1\nmode=debug"}, 0},  // a line feed separates nothing
        {"mode=debug\nany=1", {}, 1},
        {std::string("mode=debug\0junk;any=2", 21), {"debug:debug", "any:2"}, 0},
        {std::string("\0;any=3", 7), {"any:3"}, 1},
        {"=x;nohandler=1", {}, 1},
        // Over 99 characters once trimmed: refused, never cut (a cut value
        // would run mode=debug here).
        {"mode=debug" + std::string(95, ' ') + "junk;" + std::string(100, 'k') + "=1", {}, 1},
        {"any=" + std::string(99, 'v') + ";any=" + std::string(120, ' ') + "v ", {"any:" + std::string(99, 'v'), "any:v"}, 0},
    };
    for (const auto &c : cases) {
        calls.clear();
        capture_.clear();
        send(c.text);
        EXPECT_EQ(calls, c.calls) << c.text;
        EXPECT_EQ(hints(), c.hints) << c.text;
    }
}

// A child finds "/dev/libfifo" taken (by this test or another process),
// serves its own node and removes only that; when its own name is taken too
// it serves nothing, leaves that node alone and makes none later.
TEST_F(Fifo, LaterProcessesServeTheirOwnNodeAndRemoveOnlyThat)
{
    pid_t child = fork();
    if (child == 0) {
        std::string own = "/dev/libfifo_" + std::to_string(getpid());
        int fd = fifo_init_fun();
        add_fifo_work(rows, 4);
        int w = open(own.c_str(), O_WRONLY | O_NONBLOCK);
        bool wrote = fd >= 0 && w >= 0 && write(w, "any=child\n", 10) == 10;
        fifo_handle(fd);
        fifo_exit_fun(fd);
        if (!wrote || calls != Texts{"any:child"} || access(own.c_str(), F_OK) == 0 || access(path_.c_str(), F_OK) != 0)
            _exit(1);
        mkfifo(own.c_str(), 0600);
        fd = fifo_init_fun();
        fifo_exit_fun(fd);
        if (fd != -1 || remove(own.c_str()) != 0 || !capture_.contains("]can not create fifo server 17 File exists\n"))
            _exit(2);
        _exit(fifo_init_fun() == -1 && access(own.c_str(), F_OK) != 0 ? 0 : 3);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    send("any=parent");
    EXPECT_EQ(calls, Texts{"any:parent"});
}

// Tables registered while "help" walks the rows; empty tables are dropped.
TEST_F(Fifo, TablesRegisterWhileCommandsAreHandled)
{
    dbgout_profile.cc_level = 5;  // walk the rows for "help" without tracing them
    std::atomic<bool> done{false};
    std::thread registrar([&] {
        for (int i = 0; i < 200; i++)
            add_fifo_work(rows + 3, 1);
        add_fifo_work(nullptr, 2);
        add_fifo_work(rows, 0);
        done = true;
    });
    size_t handled = 0;
    for (; handled < 50 || !done; handled++)
        send("help=1;any=1");
    registrar.join();
    EXPECT_EQ(calls, Texts(handled, "any:1"));
    EXPECT_EQ(capture_.count("]command table dropped: no rows\n"), 2u);
    int registered = 0;
    for (fifo_link *l = fifo_queue.link.next; l != &fifo_queue.link; l = l->next)
        registered++;
    EXPECT_EQ(registered, 201);
}

// Each level row sets its module's field (all_level: the seven named ones)
// and nothing else, while traces elsewhere read the levels; the handlers
// trace after the change, so their gate and stamp follow the new setting.
TEST_F(Fifo, LevelCommandsSetTheirFieldsOnlyAndTraceAfterTheChange)
{
    trace_debug_init();
    auto profile = [] {  // the eight levels and time_enable, in record order
        int32_t f[9];
        memcpy(f, &dbgout_profile, sizeof f);
        return std::vector<int>(f, f + 9);
    };
    const char *modules[] = {"lib", "para", "cc", "visca", "net", "module", "mpp", "all"};  // record order
    const char *names[] = {"err", "info", "debug"};
    for (int m = 0; m < 8; m++) {
        for (int l = 0; l < 3; l++) {
            const int32_t fives[9] = {5, 5, 5, 5, 5, 5, 5, 5, 5};
            memcpy(&dbgout_profile, fives, sizeof fives);
            send(std::string(modules[m]) + "_level=" + names[l]);
            std::vector<int> expected(9, 5);
            for (int f = 0; f < 7; f++)
                expected[f] = f == m || m == 7 ? "367"[l] - '0' : 5;
            EXPECT_EQ(profile(), expected) << modules[m] << "_level=" << names[l];
        }
    }
    capture_.clear();
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop)
            (void)(XEL_LEVEL(lib) + XEL_LEVEL(mpp) + __atomic_load_n(&dbgout_profile.time_enable, __ATOMIC_RELAXED));
    });
    send("all_level=err;dbg_time=1");
    stop = true;
    reader.join();
    send("lib_level=debug");
    send("lib_level=Debug;lib_level=warn;dbg_time=0");
    EXPECT_EQ(profile(), (std::vector<int>{7, 3, 3, 3, 3, 3, 3, 5, 0}));
    const Texts texts = capture_.texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_TRUE(std::regex_match(texts[0], std::regex("[0-5][0-9]\\.[0-9]{3}\\[lib set_debug_level \\+[0-9]+ *\\]L7\n")));
    EXPECT_EQ(texts[1].substr(0, 28) + texts[1].substr(texts[1].find(']')), "[lib set_time_enable_level +]time_enable 0\n");
    EXPECT_EQ(hints(), 1u);
    int allowed = 0;
    for (int i = 0; i < 12; i++)
        allowed += trace_ratelimit();
    EXPECT_EQ(allowed, 10);  // trace_debug_init set 10 per window
}
