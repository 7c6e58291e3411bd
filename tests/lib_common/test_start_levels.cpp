// LIB_COMMON_LEVELS: the levels a process starts with, applied part by
// part before the first start-up trace; bad parts are named once each.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <mutex>
#include <stdlib.h>

namespace {

std::mutex trace_mutex;
std::vector<std::pair<int32_t, std::string>> traces;

void level_hook(int32_t level, const char *text)
{
    std::lock_guard<std::mutex> lock(trace_mutex);
    traces.emplace_back(level, text);
}

// The seven levels and time_enable.
std::vector<int32_t> settings()
{
    const dbgout_profile_t &p = dbgout_profile;
    return {p.lib_level, p.para_level,   p.cc_level,  p.visca_level,
            p.net_level, p.module_level, p.mpp_level, p.time_enable};
}

// Starts the library with LIB_COMMON_LEVELS set to `value` (unset when
// null) after setting every level to `before`; returns the settings then.
std::vector<int32_t> start_with(const char *value, int32_t before = 6)
{
    for (int32_t *f = &dbgout_profile.lib_level; f <= &dbgout_profile.spare_level; f++)
        *f = before;
    dbgout_profile.time_enable = 0;
    {
        std::lock_guard<std::mutex> lock(trace_mutex);
        traces.clear();
    }
    if (value != nullptr)
        setenv("LIB_COMMON_LEVELS", value, 1);
    else
        unsetenv("LIB_COMMON_LEVELS");
    EXPECT_EQ(lib_common_init(), 0);
    unsetenv("LIB_COMMON_LEVELS");
    std::vector<int32_t> now = settings();
    EXPECT_EQ(lib_common_exit(), 0);
    return now;
}

size_t count(const std::string &needle, int32_t level = -1)
{
    std::lock_guard<std::mutex> lock(trace_mutex);
    size_t n = 0;
    for (const auto &t : traces)
        n += t.second.find(needle) != std::string::npos && (level < 0 || t.first == level);
    return n;
}

class StartLevels : public ::testing::Test {
protected:
    void SetUp() override { __atomic_store_n(&dbgout_profile.output_hook, &level_hook, __ATOMIC_RELAXED); }
    lc_test::TraceCapture restore_;  // puts hook and levels back (installed first)
};

// lib=7 from a quiet start: the three build lines and the debug traces of
// the start-up (the pool's threads) appear.
TEST_F(StartLevels, LibSevenShowsTheBuildLinesAndEveryStartUpTrace)
{
    const std::vector<int32_t> quiet = {3, 3, 3, 3, 3, 3, 3, 0};
    EXPECT_EQ(start_with(nullptr, 3), quiet);
    EXPECT_EQ(count("]__STDC_VERSION__:201710\n"), 0u);

    const std::vector<int32_t> lib7 = {7, 3, 3, 3, 3, 3, 3, 0};
    EXPECT_EQ(start_with("lib=7", 3), lib7);
    EXPECT_EQ(count("]__STDC_VERSION__:201710\n", 6), 1u);
    EXPECT_EQ(count("]sizeof uint8:1 uint16:2 uint32:4 ulong:", 6), 1u);
    EXPECT_EQ(count("]sizeof fp32:4 fp64:8 LIB_BOOL:1\n", 6), 1u);
    EXPECT_EQ(count("]start thread ", 7), 2u);  // gpool's two workers
    EXPECT_EQ(count(" is ready,fd:", 6), 1u);
    EXPECT_EQ(count("LIB_COMMON_LEVELS"), 0u);
}

// Parts apply left to right: numbers and names, all, time, blanks around.
TEST_F(StartLevels, PartsApplyInOrder)
{
    const std::vector<int32_t> mixed = {7, 0, 7, 3, 3, 3, 3, 1};
    EXPECT_EQ(start_with("all=err, lib = debug ,cc=7,para=0,time=1"), mixed);
    const std::vector<int32_t> info = {6, 6, 6, 6, 6, 6, 6, 0};
    EXPECT_EQ(start_with("lib=7,cc=debug,all=info,time=1,time=0", 3), info);  // the later all wins
    EXPECT_EQ(count("LIB_COMMON_LEVELS"), 0u);
}

// A bad part changes nothing and is traced once, at level 3, by name
// (escaped) and why; empty parts are no parts; an empty or absent variable
// changes nothing.
TEST_F(StartLevels, BadPartsAreIgnoredAndNamedOnce)
{
    const std::vector<int32_t> unchanged = {6, 6, 6, 6, 6, 6, 6, 0};
    EXPECT_EQ(start_with("lib=verbose"), unchanged);
    EXPECT_EQ(count("LIB_COMMON_LEVELS"), 1u);
    EXPECT_EQ(count("[lib lib_common_init +", 3), 1u);
    EXPECT_EQ(count("]LIB_COMMON_LEVELS: ignored \"lib=verbose\": not a level (0..7, err, info, debug)\n", 3), 1u);

    const std::vector<int32_t> lib7 = {7, 6, 6, 6, 6, 6, 6, 0};
    EXPECT_EQ(start_with("lib=7,foo=1,cc=8,time=2,,  ,mpp,=3,lib\x1b[2J=1"), lib7);
    EXPECT_EQ(count("LIB_COMMON_LEVELS"), 6u);
    const char *const bad[][2] = {{"foo=1", "no such module"},  {"cc=8", "not a level (0..7, err, info, debug)"},
                                  {"time=2", "time is 0 or 1"}, {"mpp", "no '='"},
                                  {"=3", "no such module"},     {"lib\\x1b[2J=1", "no such module"}};
    for (const auto &b : bad)
        EXPECT_EQ(count(std::string("]LIB_COMMON_LEVELS: ignored \"") + b[0] + "\": " + b[1] + "\n", 3), 1u) << b[0];

    EXPECT_EQ(start_with(""), unchanged);
    EXPECT_EQ(start_with(nullptr), unchanged);
    EXPECT_EQ(count("LIB_COMMON_LEVELS"), 0u);
}

}  // namespace
