// test_lcctl_parts.cpp - lcctl's choice of target processes (also -a,
// which the tests with real processes cannot use on a machine shared with
// other processes) and what it makes of the text processes send.
#include "procfs.h"
#include "servers.h"
#include "show.h"

#include <gtest/gtest.h>

using lcctl::Server;
using lcctl::Target;

namespace {

Server server(long pid, const std::string &name, const std::string &program)
{
    Server s;
    s.pid = pid;
    s.name = name;
    s.program = program;
    return s;
}

const std::vector<Server> three = {
    server(4000001, "camera", "camera"),
    server(4000002, "video_encoder_m", "video_encoder_main"),
    server(4000004, "video_encoder_m", "video_encoder_aux"),
};

// Each target form against three processes: which pids it selects, or the
// error it names (candidates listed where one is wanted).
TEST(LcctlTargets, EachFormSelectsItsProcessesOrSaysWhy)
{
    const struct {
        std::vector<Server> servers;
        Target::Kind kind;
        long pid;
        std::string name;
        std::vector<long> chosen;
        std::string error;
    } cases[] = {
        {three, Target::Pid, 4000002, "", {4000002}, ""},
        {three, Target::Name, 0, "camera", {4000001}, ""},
        {three, Target::Name, 0, "video_encoder_main", {4000002}, ""},
        {three, Target::Name, 0, "video_encoder_m", {}, "several processes are named video_encoder_m"},
        {three, Target::Name, 0, "decoder", {}, "no process named decoder"},
        {three, Target::All, 0, "", {4000001, 4000002, 4000004}, ""},
        {three, Target::Only, 0, "", {}, "pid 4000004 (video_encoder_m)"},
        {{three[1]}, Target::Only, 0, "", {4000002}, ""},
        {{}, Target::Only, 0, "", {}, "no process serves a control socket"},
        {{}, Target::All, 0, "", {}, "no process serves a control socket"},
        {three, Target::Pid, 999999999, "", {}, "no such process: 999999999"},
    };
    for (const auto &c : cases) {
        Target t;
        t.kind = c.kind;
        t.pid = c.pid;
        t.name = c.name;
        std::vector<Server> chosen;
        std::string error;
        EXPECT_EQ(lcctl::select_targets(c.servers, t, &chosen, &error), c.error.empty()) << c.name << error;
        std::vector<long> pids;
        for (const Server &s : chosen)
            pids.push_back(s.pid);
        EXPECT_EQ(pids, c.chosen) << c.name;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    EXPECT_TRUE(lcctl::is_node_name("/dev/libfifo_12"));
    for (const char *not_node : {"/dev/libfifo_", "/dev/libfifo_1x", "/dev/libfifo2", "/tmp/libfifo_12"})
        EXPECT_FALSE(lcctl::is_node_name(not_node)) << not_node;
}

// Text of a process never reaches a terminal raw; JSON escapes it always.
TEST(LcctlShow, ControlBytesAreEscapedForTerminalsAndJson)
{
    const std::string evil = "x\x1b[2J\ry\\\x7f\n";
    EXPECT_EQ(lcctl::shown(evil, true), "x\\x1b[2J\\x0dy\\x5c\\x7f\\x0a");
    EXPECT_EQ(lcctl::shown(evil, false), evil);
    EXPECT_EQ(lcctl::json_string("a\"b\\\x01"), "\"a\\\"b\\\\\\u0001\"");
}

// What a set changed, read off the statuses before and after; the modules
// are the process's own words, so a module lcctl never heard of counts.
TEST(LcctlShow, ChangesAndRowDescriptionsFollowTheProcessesWords)
{
    const std::string before = "pid=7 pipe=- version=1.2.0 lib=6 para=6 zoom=6 time=0";
    EXPECT_EQ(lcctl::changes(before, "pid=7 pipe=- version=1.2.0 lib=7 para=6 zoom=3 time=1"),
              "lib 6 -> 7\nzoom 6 -> 3\ntime 0 -> 1\n");
    EXPECT_EQ(lcctl::changes(before, before), "");
    const lcctl::Words modules = lcctl::levels(lcctl::status_words(before));
    EXPECT_EQ(modules.size(), 3u);
    EXPECT_EQ(lcctl::describe("zoom_level=debug", modules), "module zoom: everything, debug included (level 7)");
    EXPECT_EQ(lcctl::describe("all_level=err", modules), "every module: errors only (level 3)");
    EXPECT_EQ(lcctl::describe("cc_level=err", modules), "") << "not a module of this process";
    EXPECT_EQ(lcctl::describe("lib_level=loud", modules), "");
    EXPECT_EQ(lcctl::describe("gain", modules), "");
}

// follow's filters read the level digit and the tag after the process's
// own time stamp; --time puts lcctl's wall-clock time in front.
TEST(LcctlShow, FollowFiltersByLevelAndModule)
{
    lcctl::FollowView view;
    view.max_level = 6;
    view.modules = {"cc", "net"};
    const struct {
        std::string record;
        bool passes;
    } cases[] = {
        {"6[cc fifo_print_debug +12  ]help=NULL\n", true},
        {"312.345[net send +3   ]lost\n", true},
        {"7[cc x +1   ]debug\n", false},
        {"6[lib x +1   ]other module\n", false},
        {"6rx [len:2],data:0x01,0xab,", false},
        {"", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(lcctl::passes(view, c.record), c.passes) << c.record;
    EXPECT_EQ(lcctl::module_of("12.345[net send +3   ]x"), "net");
    EXPECT_EQ(lcctl::module_of("no tag"), "");
    view.time = true;
    const std::string line = lcctl::follow_line(view, "6[cc a +1   ]b\x1b\n\n", 1700000000123, true);
    EXPECT_EQ(line.substr(8), ".123 [cc a +1   ]b\\x1b");
    EXPECT_EQ(line[2], ':');
}

}  // namespace
