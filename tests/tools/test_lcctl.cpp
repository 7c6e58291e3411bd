// test_lcctl.cpp - lcctl against real processes: the demo, test peers and a
// peer killed with SIGKILL; answers, exit statuses and time limits.  Only
// nodes and processes these tests made are ever touched or written to.
#include "processes.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>

using namespace lc_proc;

namespace {

const std::string lcctl = LCCTL_BIN;
const std::string demo = DEMO_BIN;
const std::string peer = PEER_BIN;

bool emulated()
{
    return getenv("LC_UNDER_EMULATION") != nullptr;
}

Outcome ctl(std::vector<std::string> args, double limit = 60)
{
    args.insert(args.begin(), lcctl);
    return run(args, limit);
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> words_of(const std::string &line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

size_t count_of(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

// The words of the line of `list` that names pipe.
std::vector<std::string> list_line(const std::string &out, const std::string &pipe)
{
    for (const std::string &line : lines_of(out)) {
        std::vector<std::string> w = words_of(line);
        if (!w.empty() && w[0] == pipe)
            return w;
    }
    return {};
}

std::string comm_of(pid_t pid)
{
    std::string name = read_file("/proc/" + std::to_string(pid) + "/comm");
    if (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

// A JSON value, as far as lcctl prints them: objects, arrays, strings,
// integers, null.
struct Json {
    enum Kind { NONE, NUL, NUMBER, STRING, ARRAY, OBJECT } kind = NONE;
    long number = 0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json &operator[](const std::string &key) const
    {
        static const Json none;
        for (const auto &m : members)
            if (m.first == key)
                return m.second;
        return none;
    }
    std::vector<std::string> keys() const
    {
        std::vector<std::string> k;
        for (const auto &m : members)
            k.push_back(m.first);
        return k;
    }
};

class JsonReader {
public:
    explicit JsonReader(const std::string &s) : s_(s) {}
    // The whole text as one value (a trailing line feed allowed); NONE when
    // it is not valid.
    Json document()
    {
        Json v = value();
        if (s_.compare(pos_, std::string::npos, "\n") != 0 && pos_ != s_.size())
            return Json();
        return v;
    }

private:
    bool eat(char c)
    {
        if (pos_ < s_.size() && s_[pos_] == c) {
            pos_++;
            return true;
        }
        return false;
    }
    bool string(std::string *out)
    {
        if (!eat('"'))
            return false;
        while (pos_ < s_.size() && s_[pos_] != '"') {
            char c = s_[pos_++];
            if (c == '\\' && pos_ < s_.size()) {
                c = s_[pos_++];
                if (c == 'u' && pos_ + 4 <= s_.size()) {
                    c = (char)strtol(s_.substr(pos_, 4).c_str(), nullptr, 16);
                    pos_ += 4;
                }
            }
            *out += c;
        }
        return eat('"');
    }
    Json value()
    {
        Json v;
        if (s_.compare(pos_, 4, "null") == 0) {
            pos_ += 4;
            v.kind = Json::NUL;
        } else if (pos_ < s_.size() && (isdigit((unsigned char)s_[pos_]) || s_[pos_] == '-')) {
            size_t used = 0;
            v.number = std::stol(s_.substr(pos_), &used);
            pos_ += used;
            v.kind = Json::NUMBER;
        } else if (s_[pos_] == '"') {
            v.kind = string(&v.text) ? Json::STRING : Json::NONE;
        } else if (eat('[')) {
            v.kind = Json::ARRAY;
            for (bool first = true; !eat(']'); first = false) {
                if ((!first && !eat(',')) || pos_ >= s_.size())
                    return Json();
                v.items.push_back(value());
                if (v.items.back().kind == Json::NONE)
                    return Json();
            }
        } else if (eat('{')) {
            v.kind = Json::OBJECT;
            for (bool first = true; !eat('}'); first = false) {
                std::string key;
                if ((!first && !eat(',')) || !string(&key) || !eat(':'))
                    return Json();
                v.members.emplace_back(key, value());
                if (v.members.back().second.kind == Json::NONE)
                    return Json();
            }
        }
        return v;
    }
    const std::string &s_;
    size_t pos_ = 0;
};

// Names of this test process's peers (a process name keeps 15 characters).
std::string peer_name(char which)
{
    return "lcp" + std::to_string(getpid() % 10000000) + which;
}

class Lcctl : public ::testing::Test {
protected:
    void TearDown() override
    {
        delete set_;
        set_ = nullptr;
        clear_scratch();
    }
    std::string pid_of(const Served *s) const { return std::to_string(s->pid); }
    // The demo, a peer, and a peer killed with SIGKILL that left its node.
    bool start_three(Served **d, Served **p, Served **k)
    {
        *d = set_->start_demo(demo);
        *p = *d != nullptr ? set_->start_peer(peer, peer_name('a')) : nullptr;
        *k = *p != nullptr ? set_->start_peer(peer, peer_name('k')) : nullptr;
        if (*k != nullptr)
            set_->kill_hard(*k);
        return *k != nullptr;
    }

    ServedSet *set_ = new ServedSet();
};

// The demo and a peer serve; a peer killed with SIGKILL left its node.
TEST_F(Lcctl, ListShowsEachNodeWithItsProcessOrStale)
{
    Served *d, *p, *k;
    ASSERT_TRUE(start_three(&d, &p, &k)) << set_->failure;

    Outcome plain = ctl({"list"});
    EXPECT_EQ(plain.status, 0) << plain.err;
    const std::vector<std::string> demo_line = {d->pipe, pid_of(d), comm_of(d->pid), "serving"};
    EXPECT_EQ(list_line(plain.out, d->pipe), demo_line) << plain.out;
    const std::vector<std::string> peer_line = {p->pipe, pid_of(p), peer_name('a'), "serving"};
    EXPECT_EQ(list_line(plain.out, p->pipe), peer_line) << plain.out;
    const std::vector<std::string> stale_line = {k->pipe, "-", "-", "stale"};
    EXPECT_EQ(list_line(plain.out, k->pipe), stale_line) << plain.out;

    Outcome json = ctl({"list", "--json"});
    EXPECT_EQ(json.status, 0) << json.err;
    Json all = JsonReader(json.out).document();
    ASSERT_EQ(all.kind, Json::ARRAY) << json.out;
    std::map<std::string, const Json *> by_pipe;
    for (const Json &item : all.items) {
        EXPECT_EQ(item.keys(), (std::vector<std::string>{"pipe", "pid", "name", "state"})) << json.out;
        by_pipe[item["pipe"].text] = &item;
    }
    ASSERT_EQ(by_pipe.count(d->pipe) + by_pipe.count(p->pipe) + by_pipe.count(k->pipe), 3u) << json.out;
    EXPECT_EQ((*by_pipe[d->pipe])["pid"].number, d->pid);
    EXPECT_EQ((*by_pipe[d->pipe])["name"].text, comm_of(d->pid));
    EXPECT_EQ((*by_pipe[d->pipe])["state"].text, "serving");
    EXPECT_EQ((*by_pipe[p->pipe])["pid"].number, p->pid);
    EXPECT_EQ((*by_pipe[p->pipe])["name"].text, peer_name('a'));
    EXPECT_EQ((*by_pipe[p->pipe])["state"].text, "serving");
    EXPECT_EQ((*by_pipe[k->pipe])["pid"].kind, Json::NUL);
    EXPECT_EQ((*by_pipe[k->pipe])["name"].kind, Json::NUL);
    EXPECT_EQ((*by_pipe[k->pipe])["state"].text, "stale");
}

// A command's traces come back on standard output; get reads the levels
// back; help lists the rows with descriptions; a refused command exits 1
// with the hint.  get, help and the exit status do not depend on levels.
TEST_F(Lcctl, CommandsGetAndHelpAnswerOnStandardOutput)
{
    Served *d = set_->start_demo(demo);
    ASSERT_NE(d, nullptr) << set_->failure;
    const std::string pid = pid_of(d);

    Outcome set = ctl({"-p", pid, "lib_level=debug"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(count_of(set.out, "[lib set_debug_level +"), 1u) << set.out;
    EXPECT_EQ(count_of(set.out, "]L7\n"), 1u) << set.out;

    Outcome get = ctl({"-p", pid, "get", "--json"});
    EXPECT_EQ(get.status, 0) << get.err;
    Json g = JsonReader(get.out).document();
    ASSERT_EQ(g.kind, Json::OBJECT) << get.out;
    EXPECT_EQ(g.keys(), (std::vector<std::string>{"pid", "pipe", "version", "levels", "time"}));
    EXPECT_EQ(g["pid"].number, d->pid);
    EXPECT_EQ(g["pipe"].text, d->pipe);
    EXPECT_EQ(g["version"].text, LC_VERSION_EXPECTED);
    EXPECT_EQ(g["levels"].keys(), (std::vector<std::string>{"lib", "para", "cc", "visca", "net", "module", "mpp"}));
    EXPECT_EQ(g["levels"]["lib"].number, 7);
    EXPECT_EQ(g["levels"]["mpp"].number, 6);
    EXPECT_EQ(g["time"].number, 0);

    Outcome line = ctl({"-p", pid, "get"});
    EXPECT_EQ(line.status, 0) << line.err;
    EXPECT_EQ(line.out, "pid=" + pid + " pipe=" + d->pipe +
                            " version=" LC_VERSION_EXPECTED " lib=7 para=6 cc=6 visca=6 net=6 module=6 mpp=6 time=0\n");

    Outcome bad = ctl({"-p", pid, "foo=bar"});
    EXPECT_EQ(bad.status, 1) << bad.err;
    EXPECT_EQ(count_of(bad.out, "]please use echo \"help=1\" > /dev/libfifo \n"), 1u) << bad.out;
    EXPECT_NE(bad.err.find("refused"), std::string::npos) << bad.err;
    for (const std::string &odd : {std::string("lib_level=\x01\x02"
                                               "debug"),
                                   std::string(150, 'k') + "=1", "lib_level=" + std::string(150, 'v')}) {
        Outcome r = ctl({"-p", pid, odd});
        EXPECT_EQ(r.status, 1) << odd;
        EXPECT_EQ(count_of(r.out, "please use echo"), 1u) << odd;
    }

    // With every level at err nothing is traced, yet everything answers.
    Outcome quiet = ctl({"-p", pid, "all_level=err"});
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.out, "");
    Outcome still = ctl({"-p", pid, "get"});
    EXPECT_EQ(still.out, "pid=" + pid + " pipe=" + d->pipe +
                             " version=" LC_VERSION_EXPECTED
                             " lib=3 para=3 cc=3 visca=3 net=3 module=3 mpp=3 time=0\n");
    Outcome refused = ctl({"-p", pid, "foo=bar"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");

    Outcome help = ctl({"-p", pid, "help"});
    EXPECT_EQ(help.status, 0) << help.err;
    std::vector<std::string> rows = {"help=<any>"};
    for (const char *m : {"lib", "para", "cc", "visca", "module", "net", "mpp", "all"})
        for (const char *l : {"err", "info", "debug"})
            rows.push_back(std::string(m) + "_level=" + l);
    rows.insert(rows.end(), {"dbg_time=1", "dbg_time=0", "gpool=statistics", "gpool=print_task", "gpool=add_task"});
    std::vector<std::string> shown;
    for (const std::string &l : lines_of(help.out)) {
        std::vector<std::string> w = words_of(l);
        shown.push_back(w.empty() ? "" : w[0]);
        EXPECT_GE(w.size(), 3u) << "no description: " << l;
    }
    EXPECT_EQ(shown, rows) << help.out;
}

// Not delivered: a stale node and a process that is gone give 2 at once,
// a missing or ambiguous target gives 2 and names the candidates.
TEST_F(Lcctl, NotDeliveredExitsTwoAndSaysWhy)
{
    Served *d, *p, *k;
    ASSERT_TRUE(start_three(&d, &p, &k)) << set_->failure;

    Outcome stale = ctl({"-t", "20", "--pipe", k->pipe, "get"});
    EXPECT_EQ(stale.status, 2);
    EXPECT_NE(stale.err.find("stale node " + k->pipe), std::string::npos) << stale.err;
    EXPECT_LT(stale.seconds, 10) << "waited for its time-out";
    Outcome gone = ctl({"-t", "20", "-p", pid_of(k), "lib_level=debug"});
    EXPECT_EQ(gone.status, 2);
    EXPECT_NE(gone.err.find("no such process: " + pid_of(k)), std::string::npos) << gone.err;
    EXPECT_LT(gone.seconds, 10) << "waited for its time-out";

    Outcome which = ctl({"get"});  // at least the demo and the peer serve
    EXPECT_EQ(which.status, 2);
    EXPECT_NE(which.err.find("several processes serve"), std::string::npos) << which.err;
    EXPECT_NE(which.err.find("pid " + pid_of(d) + " "), std::string::npos) << which.err;
    EXPECT_NE(which.err.find("pid " + pid_of(p) + " "), std::string::npos) << which.err;

    Outcome named = ctl({"-n", peer_name('a'), "get"});
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(named.out.compare(0, 5 + pid_of(p).size(), "pid=" + pid_of(p) + " "), 0) << named.out;
    Served *twin = set_->start_peer(peer, peer_name('a'));
    ASSERT_NE(twin, nullptr) << set_->failure;
    Outcome ambiguous = ctl({"-n", peer_name('a'), "get"});
    EXPECT_EQ(ambiguous.status, 2);
    EXPECT_NE(ambiguous.err.find("several processes named " + peer_name('a')), std::string::npos) << ambiguous.err;
}

// clean removes the stale node it is given and leaves a live one.
TEST_F(Lcctl, CleanRemovesOnlyTheStaleNodeNamed)
{
    Served *d = set_->start_demo(demo);
    ASSERT_NE(d, nullptr) << set_->failure;
    Served *k = set_->start_peer(peer, peer_name('k'));
    ASSERT_NE(k, nullptr) << set_->failure;
    set_->kill_hard(k);
    struct stat st;
    ASSERT_EQ(stat(k->pipe.c_str(), &st), 0);
    while (time(nullptr) - st.st_ctime < 2)  // a node made just now is left alone
        usleep(50000);

    Outcome c = ctl({"clean", k->pipe, d->pipe});
    EXPECT_EQ(c.status, 1) << "a live node named: " << c.err;
    EXPECT_NE(access(k->pipe.c_str(), F_OK), 0);
    EXPECT_EQ(access(d->pipe.c_str(), F_OK), 0);
    EXPECT_EQ(c.out, "removed " + k->pipe + "\n");
    EXPECT_NE(c.err.find("left " + d->pipe + ": served by pid " + pid_of(d)), std::string::npos) << c.err;
    EXPECT_EQ(ctl({"-p", pid_of(d), "get"}).status, 0);
    EXPECT_EQ(ctl({"clean", scratch() + "/libfifo"}).status, 2);
}

// A stopped process: the call gives up within its time-out and takes its
// request back; after SIGCONT the process answers as before and never sees
// the request that was taken back.
TEST_F(Lcctl, StoppedProcessGivesUpWithinTheTimeOutAndAnswersAfterCont)
{
    Served *p = set_->start_peer(peer, peer_name('a'));
    ASSERT_NE(p, nullptr) << set_->failure;
    ASSERT_EQ(kill(p->pid, SIGSTOP), 0);
    const double timeout = emulated() ? 3 : 1;
    Outcome stopped = ctl({"-p", pid_of(p), "-t", std::to_string(timeout), "say=while_stopped"});
    EXPECT_EQ(stopped.status, 2);
    EXPECT_NE(stopped.err.find("no answer in time: the process is stopped"), std::string::npos) << stopped.err;
    EXPECT_GE(stopped.seconds, timeout);
    EXPECT_LT(stopped.seconds, timeout + (emulated() ? 5 : 2));
    ASSERT_EQ(kill(p->pid, SIGCONT), 0);
    Outcome again = ctl({"-p", pid_of(p), "say=after_cont"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(count_of(again.out, "]said after_cont\n"), 1u) << again.out;
    EXPECT_EQ(count_of(read_file(p->child.err_path), "while_stopped"), 0u);
    EXPECT_EQ(count_of(read_file(p->child.err_path), "reply refused"), 0u) << "the request was left in the pipe";
}

// follow prints the traces of a task function, which runs on a pool
// worker, and ends at Ctrl-C with 0.
TEST_F(Lcctl, FollowShowsTracesOfATaskOnAPoolWorker)
{
    Served *p = set_->start_peer(peer, peer_name('a'));
    ASSERT_NE(p, nullptr) << set_->failure;
    Child f = spawn({lcctl, "-p", pid_of(p), "follow"});
    EXPECT_TRUE(wait_for_text(f.out_path, "[module tick +", emulated() ? 30 : 10)) << read_file(f.err_path);
    EXPECT_TRUE(wait_for_text(f.err_path, "-- following pid " + pid_of(p), 5));
    kill(f.pid, SIGINT);
    Outcome r = finish(f, 20);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("]tick "), std::string::npos);
}

// 50 calls at once: each gets its own answer, or says it was busy.
TEST_F(Lcctl, FiftyCallsAtOnceGetTheirOwnAnswerOrBusy)
{
    Served *p = set_->start_peer(peer, peer_name('a'));
    ASSERT_NE(p, nullptr) << set_->failure;
    std::vector<Child> calls;
    for (int i = 0; i < 50; i++)
        calls.push_back(spawn({lcctl, "-p", pid_of(p), "-t", "10", "say=call" + std::to_string(i)}));
    int answered = 0;
    for (int i = 0; i < 50; i++) {
        Outcome r = finish(calls[i], 120);
        if (r.status == 0) {
            answered++;
            EXPECT_EQ(count_of(r.out, "said "), 1u) << i << ": " << r.out;
            EXPECT_EQ(count_of(r.out, "]said call" + std::to_string(i) + "\n"), 1u) << i << ": " << r.out;
        } else {
            EXPECT_EQ(r.status, 2) << i << ": " << r.err;
            EXPECT_NE(r.err.find("busy"), std::string::npos) << i << ": " << r.err;
        }
    }
    EXPECT_GT(answered, 0);
}

// A process that ends while lcctl waits for its answer.
TEST_F(Lcctl, ProcessEndingWhileWaitingIsNotDelivered)
{
    Served *p = set_->start_peer(peer, peer_name('a'));
    ASSERT_NE(p, nullptr) << set_->failure;
    Outcome r = ctl({"-p", pid_of(p), "-t", "20", "exit_now=1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("process ended"), std::string::npos) << r.err;
    EXPECT_LT(r.seconds, 10) << "waited for its time-out";
}

// Text longer than one read goes in several writes split at semicolons; a
// command that fits into no write is refused before anything is sent.
TEST_F(Lcctl, LongTextsAreSplitAndOverlongCommandsRefused)
{
    Served *p = set_->start_peer(peer, peer_name('a'));
    ASSERT_NE(p, nullptr) << set_->failure;
    std::string text, expected;
    for (int i = 0; i < 40; i++) {
        text += (i ? ";say=n" : "say=n") + std::to_string(i);
        expected += "said n" + std::to_string(i) + "\n";
    }
    ASSERT_GT(text.size(), 256u);
    Outcome r = ctl({"-p", pid_of(p), text});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string said;
    for (const std::string &l : lines_of(r.out))
        said += l.substr(l.find(']') + 1) + "\n";
    EXPECT_EQ(said, expected);

    Outcome longer = ctl({"-p", pid_of(p), "say=" + std::string(300, 'x')});
    EXPECT_EQ(longer.status, 2);
    EXPECT_NE(longer.err.find("command too long"), std::string::npos) << longer.err;
    EXPECT_EQ(ctl({"-p", pid_of(p), "get"}).status, 0);
    EXPECT_EQ(count_of(read_file(p->child.err_path), "xxxxxxxx"), 0u);
}

}  // namespace
