// Level and time-stamp commands written into the real pipe.
#include "fifo_pipe.h"

#include <atomic>
#include <regex>
#include <string.h>
#include <thread>

static const fifo_cmd help_row[] = {{"help", nullptr, fifo_print_debug, nullptr}};

class LevelCommands : public FifoPipe {
protected:
    void SetUp() override
    {
        FifoPipe::SetUp();
        add_fifo_work(help_row, 1);
        trace_debug_init();
    }
    // The eight levels and time_enable, in record order.
    static std::vector<int> profile()
    {
        int32_t f[9];
        memcpy(f, &dbgout_profile, sizeof f);
        return std::vector<int>(f, f + 9);
    }
};

TEST_F(LevelCommands, HelpListsTheHelpRowThenThe26RowsInOrder)
{
    send("help=1\n");
    std::vector<std::string> expected = {"help=NULL\n"};
    for (const char *module : {"lib", "para", "cc", "visca", "module", "net", "mpp", "all"})
        for (const char *level : {"err", "info", "debug"})
            expected.push_back(std::string(module) + "_level=" + level + "\n");
    expected.push_back("dbg_time=1\n");
    expected.push_back("dbg_time=0\n");
    EXPECT_EQ(traced_by("fifo_print_debug"), expected);
    EXPECT_EQ(capture_.count("[cc fifo_print_debug +"), 27u);
}

TEST_F(LevelCommands, EveryCommandSetsItsFieldsAndNothingElse)
{
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
    // Traces on another thread read the levels while commands change them.
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        do
            (void)(XEL_LEVEL(lib) + XEL_LEVEL(mpp) + __atomic_load_n(&dbgout_profile.time_enable, __ATOMIC_RELAXED));
        while (!stop);
    });
    send("all_level=err;dbg_time=1");
    stop = true;
    reader.join();
    EXPECT_EQ(profile(), (std::vector<int>{3, 3, 3, 3, 3, 3, 3, 5, 1}));
    send("lib_level=debug\n");
    send("lib_level=Debug");
    send("lib_level=warn");
    send("dbg_time=0");
    EXPECT_EQ(profile(), (std::vector<int>{7, 3, 3, 3, 3, 3, 3, 5, 0}));
    EXPECT_EQ(hints(), 2u);
}

TEST_F(LevelCommands, HandlersTraceAfterTheChangeAndInitLimitsTraces)
{
    send("lib_level=err");
    EXPECT_TRUE(capture_.lines().empty());
    send("lib_level=debug;dbg_time=1");
    send("dbg_time=0;lib_level=info");
    auto lines = capture_.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].level, 7);
    EXPECT_TRUE(std::regex_match(lines[0].text, std::regex("\\[lib set_debug_level \\+[0-9]+ *\\]L7\n")));
    EXPECT_EQ(lines[1].level, 6);
    EXPECT_TRUE(std::regex_match(lines[1].text,
                                 std::regex("[0-5][0-9]\\.[0-9]{3}\\[lib set_time_enable_level \\+[0-9]+ *\\]time_enable 1\n")));
    EXPECT_EQ(lines[2].text.substr(lines[2].text.find(']')), "]time_enable 0\n");

    int allowed = 0;
    for (int i = 0; i < 12; i++)
        allowed += trace_ratelimit();
    EXPECT_EQ(allowed, 10);
}
