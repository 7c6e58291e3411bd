// test_lcctl_parts.cpp - lcctl's choice of target processes (also -a, which the tests with real processes cannot use on
// a shared machine) and what it makes of the text processes send.
#include "procfs.h"
#include "servers.h"
#include "show.h"

#include <gtest/gtest.h>

using lcctl::Server;
using lcctl::Target;

namespace {

// Each target form against three processes: the pids it selects, or the error it names.
TEST(LcctlTargets, EachFormSelectsItsProcessesOrSaysWhy)
{
    const std::vector<Server> three = {{"", 4000001, -1, "camera", "camera"},
                                       {"", 4000002, -1, "video_encoder_m", "video_encoder_main"},
                                       {"", 4000004, -1, "video_encoder_m", "video_encoder_aux"}};
    const struct {
        std::vector<Server> servers;
        Target target;
        std::vector<long> chosen;
        std::string error;
    } cases[] = {
        {three, {Target::Pid, 4000002, ""}, {4000002}, ""},
        {three, {Target::Name, 0, "camera"}, {4000001}, ""},
        {three, {Target::Name, 0, "video_encoder_main"}, {4000002}, ""},
        {three, {Target::Name, 0, "video_encoder_m"}, {}, "several processes are named video_encoder_m"},
        {three, {Target::Name, 0, "decoder"}, {}, "no process named decoder"},
        {three, {Target::All, 0, ""}, {4000001, 4000002, 4000004}, ""},
        {three, {Target::Only, 0, ""}, {}, "pid 4000004 (video_encoder_m)"},
        {{three[1]}, {Target::Only, 0, ""}, {4000002}, ""},
        {{}, {Target::Only, 0, ""}, {}, "no process serves a control socket"},
        {{}, {Target::All, 0, ""}, {}, "no process serves a control socket"},
        {three, {Target::Pid, 999999999, ""}, {}, "no such process: 999999999"},
    };
    for (const auto &c : cases) {
        std::vector<Server> chosen;
        std::string error;
        std::vector<long> pids;
        EXPECT_EQ(lcctl::select_targets(c.servers, c.target, &chosen, &error), c.error.empty()) << error;
        for (const Server &s : chosen)
            pids.push_back(s.pid);
        EXPECT_EQ(pids, c.chosen) << c.target.name << error;
        EXPECT_TRUE(error.find(c.error) != std::string::npos) << error;
    }
    EXPECT_TRUE(lcctl::is_node_name("/dev/libfifo_12"));
    for (const char *not_node : {"/dev/libfifo_", "/dev/libfifo_1x", "/dev/libfifo2", "/tmp/libfifo_12"})
        EXPECT_FALSE(lcctl::is_node_name(not_node)) << not_node;
}

// Text of a process never reaches a terminal raw and JSON escapes it always; what a set changed is read off the
// statuses before and after, and rows are described, in the process's own words (a module lcctl never heard of too).
TEST(LcctlShow, EscapesChangesAndDescriptions)
{
    const std::string evil = "x\x1b[2J\ry\\\x7f\n";
    EXPECT_EQ(lcctl::shown(evil, true), "x\\x1b[2J\\x0dy\\x5c\\x7f\\x0a");
    EXPECT_EQ(lcctl::shown(evil, false), evil);
    EXPECT_EQ(lcctl::json_string("a\"b\\\x01"), "\"a\\\"b\\\\\\u0001\"");
    const std::string before = "pid=7 pipe=- version=1.2.0 lib=6 para=6 zoom=6 time=0";
    EXPECT_EQ(lcctl::changes(before, "pid=7 pipe=- version=1.2.0 lib=7 para=6 zoom=3 time=1"),
              "lib 6 -> 7\nzoom 6 -> 3\ntime 0 -> 1\n");
    EXPECT_EQ(lcctl::changes(before, before), "");
    const lcctl::Words modules = lcctl::levels(lcctl::status_words(before));
    EXPECT_EQ(modules.size(), 3u);
    const std::pair<const char *, const char *> described[] = {
        {"zoom_level=debug", "module zoom: everything, debug included (level 7)"},
        {"all_level=err", "every module: errors only (level 3)"},
        {"cc_level=err", ""},  // not a module of this process
        {"lib_level=loud", ""},
        {"gain", ""}};
    for (const auto &d : described)
        EXPECT_EQ(lcctl::describe(d.first, modules), d.second) << d.first;
}

// follow's filters read the level digit and the tag after the process's own stamp; --time puts lcctl's time in front.
TEST(LcctlShow, FollowFiltersByLevelAndModule)
{
    lcctl::FollowView view{6, {"cc", "net"}, false};
    const std::pair<std::string, bool> cases[] = {{"6[cc fifo_print_debug +12  ]help=NULL\n", true},
                                                  {"312.345[net send +3   ]lost\n", true},
                                                  {"7[cc x +1   ]debug\n", false},
                                                  {"6[lib x +1   ]other module\n", false},
                                                  {"6rx [len:2],data:0x01,0xab,", false},
                                                  {"", false}};
    for (const auto &c : cases)
        EXPECT_EQ(lcctl::passes(view, c.first), c.second) << c.first;
    EXPECT_EQ(lcctl::module_of("12.345[net send +3   ]x"), "net");
    EXPECT_EQ(lcctl::module_of("no tag"), "");
    view.time = true;
    const std::string line = lcctl::follow_line(view, "6[cc a +1   ]b\x1b\n\n", 1700000000123, true);
    EXPECT_EQ(line.substr(8), ".123 [cc a +1   ]b\\x1b");
    EXPECT_EQ(line[2], ':');
}

}  // namespace
