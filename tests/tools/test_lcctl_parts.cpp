// test_lcctl_parts.cpp - lcctl's choice of target processes (also -a,
// which the tests with real processes cannot use on a machine shared with
// other processes' pipes) and the splitting of long command texts.
#include "nodes.h"
#include "talk.h"

#include <gtest/gtest.h>

using lcctl::Node;
using lcctl::Target;

namespace {

Node node(const std::string &path, bool serving, long pid, const std::string &name)
{
    Node n;
    n.path = path;
    n.serving = serving;
    n.pid = pid;
    n.name = name;
    return n;
}

std::vector<std::string> paths(const std::vector<Node> &nodes)
{
    std::vector<std::string> p;
    for (const Node &n : nodes)
        p.push_back(n.path);
    return p;
}

const std::vector<Node> three = {
    node("/dev/libfifo", true, 4000001, "camera"),
    node("/dev/libfifo_4000002", true, 4000002, "encoder"),
    node("/dev/libfifo_4000003", false, 0, ""),
    node("/dev/libfifo_4000004", true, 4000004, "encoder"),
};

Target target(Target::Kind kind, long pid = 0, const std::string &name = "")
{
    Target t;
    t.kind = kind;
    t.pid = pid;
    t.name = name;
    return t;
}

TEST(LcctlTargets, EachFormSelectsItsProcesses)
{
    std::vector<Node> chosen;
    std::string error;
    EXPECT_TRUE(lcctl::select_targets(three, target(Target::Pid, 4000002), &chosen, &error)) << error;
    EXPECT_EQ(paths(chosen), std::vector<std::string>{"/dev/libfifo_4000002"});
    EXPECT_TRUE(lcctl::select_targets(three, target(Target::Name, 0, "camera"), &chosen, &error)) << error;
    EXPECT_EQ(paths(chosen), std::vector<std::string>{"/dev/libfifo"});
    EXPECT_TRUE(lcctl::select_targets(three, target(Target::All), &chosen, &error)) << error;
    EXPECT_EQ(paths(chosen),
              (std::vector<std::string>{"/dev/libfifo", "/dev/libfifo_4000002", "/dev/libfifo_4000004"}));
    EXPECT_TRUE(lcctl::select_targets(three, target(Target::Pipe, 0, "/dev/libfifo_4000003"), &chosen, &error));
    EXPECT_EQ(paths(chosen), std::vector<std::string>{"/dev/libfifo_4000003"})
        << "a stale node is named, not refused here";
    EXPECT_TRUE(lcctl::select_targets({three[1]}, target(Target::Only), &chosen, &error)) << error;
    EXPECT_EQ(paths(chosen), std::vector<std::string>{"/dev/libfifo_4000002"});
    EXPECT_TRUE(lcctl::select_targets({three[1], three[2]}, target(Target::Only), &chosen, &error))
        << "stale ones do not count";
}

TEST(LcctlTargets, NoneOrSeveralWhereOneIsNeededAreErrors)
{
    std::vector<Node> chosen;
    std::string error;
    EXPECT_FALSE(lcctl::select_targets(three, target(Target::Only), &chosen, &error));
    EXPECT_NE(error.find("several processes serve"), std::string::npos) << error;
    EXPECT_NE(error.find("pid 4000004 (encoder) on /dev/libfifo_4000004"), std::string::npos) << error;
    EXPECT_TRUE(chosen.empty());
    EXPECT_FALSE(lcctl::select_targets(three, target(Target::Name, 0, "encoder"), &chosen, &error));
    EXPECT_NE(error.find("several processes named encoder"), std::string::npos) << error;
    EXPECT_FALSE(lcctl::select_targets(three, target(Target::Name, 0, "decoder"), &chosen, &error));
    EXPECT_NE(error.find("no process named decoder"), std::string::npos) << error;
    EXPECT_FALSE(lcctl::select_targets({three[2]}, target(Target::All), &chosen, &error));
    EXPECT_NE(error.find("no process serves"), std::string::npos) << error;
    EXPECT_FALSE(lcctl::select_targets({three[2]}, target(Target::Only), &chosen, &error));
    EXPECT_FALSE(lcctl::select_targets(three, target(Target::Pipe, 0, "/dev/libfifo_9"), &chosen, &error));
    EXPECT_FALSE(lcctl::select_targets(three, target(Target::Pid, 4000003), &chosen, &error));
}

TEST(LcctlTargets, NodeNames)
{
    EXPECT_TRUE(lcctl::is_node_name("/dev/libfifo"));
    EXPECT_TRUE(lcctl::is_node_name("/dev/libfifo_12"));
    EXPECT_FALSE(lcctl::is_node_name("/dev/libfifo_"));
    EXPECT_FALSE(lcctl::is_node_name("/dev/libfifo_1x"));
    EXPECT_FALSE(lcctl::is_node_name("/dev/libfifo2"));
    EXPECT_FALSE(lcctl::is_node_name("/tmp/libfifo_12"));
}

// Every byte stays, in order; writes break only at semicolons.
TEST(LcctlSplit, WritesBreakAtSemicolonsWithinTheRoom)
{
    std::vector<std::string> writes;
    std::string too_long;
    ASSERT_TRUE(lcctl::split_commands("a=1;b=2;c=3", 7, &writes, &too_long));
    EXPECT_EQ(writes, (std::vector<std::string>{"a=1;b=2", "c=3"}));
    ASSERT_TRUE(lcctl::split_commands("a=1;;b=2;", 100, &writes, &too_long));
    EXPECT_EQ(writes, std::vector<std::string>{"a=1;;b=2;"});
    ASSERT_TRUE(lcctl::split_commands("a=1;b=22", 4, &writes, &too_long));
    EXPECT_EQ(writes, (std::vector<std::string>{"a=1", "b=22"}));
    EXPECT_FALSE(lcctl::split_commands("a=1;b=222", 4, &writes, &too_long));
    EXPECT_EQ(too_long, "b=222");
}

}  // namespace
