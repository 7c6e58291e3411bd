// test_lcctl.cpp - lcctl against real processes of its own: the demo, test peers and a peer killed with SIGKILL.
#include "processes.h"

#include <gtest/gtest.h>

using namespace lc_proc;
using namespace std::string_literals;

namespace {

// The text with a line break in front and each run of spaces made one.
std::string squeezed(const std::string &text)
{
    return "\n" + std::regex_replace(text, std::regex(" +"), " ");
}

class Lcctl : public ::testing::Test {
protected:
    // Names of this test process's peers (a process name keeps 15 characters).
    static std::string name(char which) { return "lcp" + std::to_string(getpid() % 10000000) + which; }
    static std::string pid_of(const Child *s) { return std::to_string(s->pid); }
    Children set_;
};

// list: each process by its socket's credentials, its pipe and name, a node of a peer killed with SIGKILL as stale; -n
// by the kernel's name or the program's own.  Undelivered calls and usage errors exit 2 saying why, none waiting for its
// time-out.  A set prints its traces and changes, get reads them back, help describes each row, and a request with a
// piece that matches no row runs none of them and exits 1.
TEST_F(Lcctl, ListSetGetHelpAndErrors)
{
    Child *d = set_.serve({DEMO_BIN, "600"}), *p = set_.serve({PEER_BIN, name('a')}),
          *k = set_.serve({PEER_BIN, name('k')});
    ASSERT_TRUE(d != nullptr && p != nullptr && k != nullptr) << set_.failure;
    end_child(*k);
    const std::string comm = read_file("/proc/" + pid_of(d) + "/comm");  // "qemu-arm" under emulation
    const Child plain = ctl({"list"});
    EXPECT_EQ(plain.status, 0) << plain.err;
    for (const std::string &line :
         {d->pipe + " " + pid_of(d) + " " + comm.substr(0, comm.find('\n')) + " serving\n",
          p->pipe + " " + pid_of(p) + " " + name('a') + " serving\n", k->pipe + " - - stale\n"})
        EXPECT_TRUE(has(squeezed(plain.out), "\n" + line)) << line << plain.out;

    const std::string program = slow() > 1 ? "qemu-arm" : "lcctl_peer";  // every program is the emulator's
    const Child json = ctl({"list", "--json"});
    EXPECT_EQ(json.status, 0) << json.err;
    for (const std::string &entry :
         {"{\"pipe\":\"" + p->pipe + "\",\"pid\":" + pid_of(p) + ",\"name\":\"" + name('a') + "\",\"program\":\"" +
              program + "\",\"uid\":" + std::to_string(geteuid()) + ",\"state\":\"serving\"}",
          "{\"pipe\":\"" + k->pipe +
              "\",\"pid\":null,\"name\":null,\"program\":null,\"uid\":null,\"state\":\"stale\"}"})
        EXPECT_TRUE(has(json.out, entry)) << entry << json.out;

    EXPECT_EQ(ctl({"-n", name('a'), "get"}).out.find("pid=" + pid_of(p) + " "), 0u);
    Child *twin = set_.serve({PEER_BIN, name('b')});
    ASSERT_NE(twin, nullptr) << set_.failure;
    const Child by_program = ctl({"-n", program, "get"});  // two peers run the program
    EXPECT_EQ(by_program.status, 2);
    for (const std::string &says :
         {"several processes are named " + program, "pid " + pid_of(p) + " (" + name('a') + ")",
          "pid " + pid_of(twin) + " (" + name('b') + ")"})
        EXPECT_TRUE(has(by_program.err, says)) << by_program.err;

    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"-t", "20", "-p", pid_of(k), "get"}, "no such process: " + pid_of(k)},
        {{"-t", "20", "-p", std::to_string(getpid()), "get"}, "serves no control socket"},
        {{"-t", "20", "--pipe", k->pipe, "get"}, "no process says it serves " + k->pipe},
        {{"-p"}, "option -p needs a process id"},
        {{"-t", "0", "get"}, "not a time-out in seconds (more than 0, at most 3600): 0"},
        {{"-p", pid_of(p), "follow", "--level", "loud"}, "not a level (0..7, err, info, debug): loud"},
        {{"-p", pid_of(p), "say=" + std::string(1100, 'x')}, "request too long"},
        {{"list", "extra"}, "list takes only --json"},
        {{}, "no command"},
        {{"-p", pid_of(p), "-t", "20", "exit_now=1"}, "the process ended"},  // the last: p is gone then
    };
    for (const auto &c : cases) {
        const Child r = ctl(c.args);
        EXPECT_EQ(r.status, 2) << c.says << ": " << r.err;
        EXPECT_TRUE(has(r.err, c.says)) << c.says << " / " << r.err;
        EXPECT_LT(r.seconds, 10) << c.says << ": waited for its time-out";
    }
    EXPECT_EQ(ctl({"--version"}).out, "lcctl " LC_VERSION_EXPECTED "\n");

    const std::string pid = pid_of(d);
    const Child set = ctl({"-p", pid, "lib_level=debug", "dbg_time=1"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(count_of(set.out, "[lib set_debug_level +"), 1u) << set.out;
    EXPECT_EQ(set.out.substr(set.out.size() - 23), "lib 6 -> 7\ntime 0 -> 1\n") << set.out;
    const Child line = ctl({"-p", pid, "get"});
    EXPECT_EQ(line.out, "pid=" + pid + " pipe=" + d->pipe +
                            " version=" LC_VERSION_EXPECTED " lib=7 para=6 cc=6 visca=6 module=6 net=6 mpp=6 time=1\n")
        << line.err;
    EXPECT_EQ(ctl({"-p", pid, "get", "--json"}).out, "{\"pid\":" + pid + ",\"pipe\":\"" + d->pipe +
                                                         "\",\"version\":\"" LC_VERSION_EXPECTED
                                                         "\",\"levels\":{\"lib\":7,\"para\":6,\"cc\":6,\"visca\":6,"
                                                         "\"module\":6,\"net\":6,\"mpp\":6},\"time\":1}\n");

    const Child bad = ctl({"-p", pid, "lib_level=err", "foo\x1b[2J=1"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_TRUE(has(bad.err, "refused: no row matches \"foo\\x1b[2J=1\"; nothing was run")) << bad.err;
    EXPECT_FALSE(has(bad.err, "please use echo")) << "the pipe's hint is the pipe's";
    EXPECT_EQ(ctl({"-p", pid, "get"}).out, line.out) << "a refused request changed a level";
    const Child quiet = ctl({"-p", pid, "all_level=err"});  // nothing traced, still answered
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "lib 7 -> 3\npara 6 -> 3\ncc 6 -> 3\nvisca 6 -> 3\nmodule 6 -> 3\nnet 6 -> 3\nmpp 6 -> 3\n");

    const Child help = ctl({"-p", pid, "help"});
    EXPECT_EQ(help.status, 0) << help.err;
    std::string rows = "help=<any> ", shown;
    for (const char *m : {"lib", "para", "cc", "visca", "module", "net", "mpp", "all"})
        for (const char *l : {"err", "info", "debug"})
            rows += m + "_level="s + l + " ";
    std::istringstream in(help.out);
    for (std::string row, description; in >> row && std::getline(in, description); shown += row + " ")
        EXPECT_GE(count_of(squeezed(description), " "), 2u) << "no description: " << row;
    EXPECT_EQ(shown, rows + "dbg_time=1 dbg_time=0 gpool=statistics gpool=print_task gpool=add_task ") << help.out;
}

// follow: a task's traces, filtered by module and level, stamped with lcctl's time, ended with 0 by Ctrl-C and by the
// process's end with a line that says so.  30 callers at once each get their own answer (a busy caller asks again).
TEST_F(Lcctl, FollowersAndThirtyCallersAtOnce)
{
    Child *p = set_.serve({PEER_BIN, name('a')});
    ASSERT_NE(p, nullptr) << set_.failure;
    Child &all = set_.emplace_back(spawn({LCCTL_BIN, "-p", pid_of(p), "follow", "--time", "--module", "cc,module"}));
    Child &none = set_.emplace_back(spawn({LCCTL_BIN, "-p", pid_of(p), "follow", "--level", "err"}));
    EXPECT_TRUE(wait_for_text(all.out_path, "[module tick +", 10 * slow())) << read_file(all.err_path);
    EXPECT_TRUE(wait_for_text(none.err_path, "-- following pid " + pid_of(p), 10 * slow()));
    EXPECT_EQ(ctl({"-p", pid_of(p), "say=hello;gpool=statistics"}).status, 0);
    EXPECT_TRUE(wait_for_text(all.out_path, "]said hello", 10));
    for (int i = 0; i < 30; i++)
        set_.push_back(
            spawn({LCCTL_BIN, "-p", pid_of(p), "-t", slow() > 1 ? "30" : "10", "say=call" + std::to_string(i)}));
    for (int i = 0; i < 30; i++) {
        const Child r = finish(set_[3 + i], 120);
        EXPECT_EQ(r.status, 0) << i << ": " << r.err;
        EXPECT_EQ(count_of(r.out, "said "), 1u) << i << ": " << r.out;
        EXPECT_EQ(count_of(r.out, "]said call" + std::to_string(i) + "\n"), 1u) << i << ": " << r.out;
    }
    kill(none.pid, SIGINT);
    const Child quiet = finish(none, 20);
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.out, "") << "level 6 traces passed --level err";
    end_child(*p);
    const Child ended = finish(all, 20);
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_TRUE(has(ended.err, "-- process ended")) << ended.err;
    EXPECT_FALSE(has(ended.out, "[lib threadpool_debug")) << "--module let lib through";
    std::istringstream lines(ended.out);
    for (std::string l; std::getline(lines, l);)
        EXPECT_TRUE(std::regex_match(l, std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[.*"))) << l;
}

}  // namespace
