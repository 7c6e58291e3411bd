// LIB_COMMON_LEVELS: the levels a process starts with, applied part by
// part before the first start-up trace; bad parts are named once each.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <mutex>
#include <stdlib.h>

namespace {

std::mutex trace_mutex;  // the pool's workers trace too
std::vector<std::pair<int32_t, std::string>> traces;

void level_hook(int32_t level, const char *text)
{
    std::lock_guard<std::mutex> lock(trace_mutex);
    traces.emplace_back(level, text);
}

struct Seen {
    int32_t level;  // -1: any
    std::string text;
    size_t times;
};

// Parts apply left to right (numbers and names, all, time, blanks around).
// A bad part changes nothing and is traced once, at level 3, by name
// (escaped) and why; empty parts are no parts; an empty or absent variable
// changes nothing.  lib=7 from a quiet start shows the build lines, each
// tagged with the line of its trace, and the debug traces of the start-up.
TEST(StartLevels, PartsApplyInOrderAndBadOnesAreNamedOnce)
{
    lc_test::TraceCapture restore;  // puts hook and levels back
    const auto built = [](const std::string &format, const std::string &text) {
        return lc_test::traced_tag("lib", "lib_common/lifecycle.cpp", "lib_common_init", format) + text;
    };
    const std::string ignored = "]LIB_COMMON_LEVELS: ignored \"",
                      bad_level = "\": not a level (0..7, err, info, debug)\n";
    const std::vector<int32_t> unchanged = {6, 6, 6, 6, 6, 6, 6, 0};
    const Seen none = {-1, "LIB_COMMON_LEVELS", 0};
    const struct {
        const char *value;
        int32_t before;
        std::vector<int32_t> after;  // the seven levels and time_enable
        std::vector<Seen> seen;
    } cases[] = {
        {nullptr, 3, {3, 3, 3, 3, 3, 3, 3, 0}, {{-1, "]__STDC_VERSION__:", 0}}},
        {"lib=7",
         3,
         {7, 3, 3, 3, 3, 3, 3, 0},
         {{6, built("__STDC_VERSION__:", "__STDC_VERSION__:201710\n"), 1},
          {6,
           built("sizeof uint8:",
                 "sizeof uint8:1 uint16:2 uint32:4 ulong:" + std::to_string(sizeof(long)) + " uint64:8\n"),
           1},
          {6, built("sizeof fp32:", "sizeof fp32:4 fp64:8 LIB_BOOL:1\n"), 1},
          {7, "]start thread ", 2},  // gpool's two workers
          {6, " is ready,fd:", 1},
          none}},
        {"all=err, lib = debug ,cc=7,para=0,time=1", 6, {7, 0, 7, 3, 3, 3, 3, 1}, {none}},
        {"lib=7,cc=debug,all=info,time=1,time=0", 3, unchanged, {none}},  // the later all wins
        {"lib=verbose",
         6,
         unchanged,
         {{-1, "LIB_COMMON_LEVELS", 1}, {3, "[lib lib_common_init +", 1}, {3, ignored + "lib=verbose" + bad_level, 1}}},
        {"lib=7,foo=1,cc=8,time=2,,  ,mpp,=3,lib\x1b[2J=1",
         6,
         {7, 6, 6, 6, 6, 6, 6, 0},
         {{-1, "LIB_COMMON_LEVELS", 6},
          {3, ignored + "foo=1\": no such module\n", 1},
          {3, ignored + "cc=8" + bad_level, 1},
          {3, ignored + "time=2\": time is 0 or 1\n", 1},
          {3, ignored + "mpp\": no '='\n", 1},
          {3, ignored + "=3\": no such module\n", 1},
          {3, ignored + "lib\\x1b[2J=1\": no such module\n", 1}}},
        {"", 6, unchanged, {none}},
        {nullptr, 6, unchanged, {none}},
    };
    __atomic_store_n(&dbgout_profile.output_hook, &level_hook, __ATOMIC_RELAXED);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        for (int32_t *f = &dbgout_profile.lib_level; f <= &dbgout_profile.spare_level; f++)
            *f = c.before;
        dbgout_profile.time_enable = 0;
        {
            std::lock_guard<std::mutex> lock(trace_mutex);
            traces.clear();
        }
        if (c.value != nullptr)
            setenv("LIB_COMMON_LEVELS", c.value, 1);
        EXPECT_EQ(lib_common_init(), 0);
        unsetenv("LIB_COMMON_LEVELS");
        const dbgout_profile_t &p = dbgout_profile;
        EXPECT_EQ((std::vector<int32_t>{p.lib_level, p.para_level, p.cc_level, p.visca_level, p.net_level,
                                        p.module_level, p.mpp_level, p.time_enable}),
                  c.after);
        EXPECT_EQ(lib_common_exit(), 0);
        std::lock_guard<std::mutex> lock(trace_mutex);
        for (const Seen &s : c.seen) {
            size_t n = 0;
            for (const auto &t : traces)
                n += t.second.find(s.text) != std::string::npos && (s.level < 0 || t.first == s.level);
            EXPECT_EQ(n, s.times) << s.text;
        }
    }
}

}  // namespace
