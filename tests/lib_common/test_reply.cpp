// The pipe's reply channel, driven the way lcctl drives it: answers with
// the request's traces, status and end; the rows; followers of every
// thread; reply paths that must be refused; answers and followers whose
// reader does not read.
#include "started_library.h"

#include "reply_protocol_internal.h"

#include <algorithm>
#include <errno.h>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <thread>

namespace {

using Record = std::pair<char, std::string>;
using Records = std::vector<Record>;

// A FIFO of the test's own, named as lcctl names its reply FIFOs, read
// without blocking.
class ReplyFifo {
public:
    explicit ReplyFifo(const std::string &dir, const std::string &name = "")
        : path_(dir + "/" + (name.empty() ? "lcctl-test-" + std::to_string(++made_) : name))
    {
        if (mkfifo(path_.c_str(), 0600) == 0)
            fd_ = open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    ~ReplyFifo()
    {
        close_reader();
        unlink(path_.c_str());
    }
    bool ok() const { return fd_ >= 0; }
    const std::string &path() const { return path_; }
    int fd() const { return fd_; }
    void close_reader()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    // Records that have come, complete ones only.
    Records take()
    {
        char buf[4096];
        ssize_t n;
        while (fd_ >= 0 && (n = read(fd_, buf, sizeof buf)) > 0)
            pending_.append(buf, (size_t)n);
        Records out;
        size_t nul;
        while ((nul = pending_.find('\0')) != std::string::npos) {
            out.emplace_back(nul > 0 ? pending_[0] : '?', nul > 1 ? pending_.substr(1, nul - 1) : "");
            pending_.erase(0, nul + 1);
        }
        return out;
    }
    // Records until one of type `last` (included), at most 5 s.
    Records until(char last)
    {
        Records all;
        lc_test::wait_until([&] {
            Records more = take();
            all.insert(all.end(), more.begin(), more.end());
            return !all.empty() && all.back().first == last;
        });
        return all;
    }

private:
    static inline int made_ = 0;
    std::string path_;
    int fd_ = -1;
    std::string pending_;
};

std::string header(const std::string &path, const std::string &words = "")
{
    return std::string(LC_REPLY_HEADER, LC_REPLY_HEADER_LEN) + "reply=" + path + (words.empty() ? "" : " " + words);
}

std::string types(const Records &records)
{
    std::string t;
    for (const Record &r : records)
        t += r.first;
    return t;
}

// Every trace with its level, besides TraceCapture's texts.
std::mutex level_mutex;
std::vector<std::pair<int32_t, std::string>> leveled;

void level_hook(int32_t level, const char *text)
{
    std::lock_guard<std::mutex> lock(level_mutex);
    leveled.emplace_back(level, text);
}

class Reply : public StartedLibrary {
protected:
    void SetUp() override
    {
        StartedLibrary::SetUp();
        char dir[] = "/tmp/lc_reply_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override
    {
        StartedLibrary::TearDown();
        const std::string rm = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(rm.c_str()), 0);
    }
    std::string status(bool ok) const
    {
        char text[300];
        snprintf(text, sizeof text,
                 "ok=%d pid=%ld pipe=%s version=%s lib=%d para=%d cc=%d visca=%d net=%d module=%d mpp=%d time=%d", ok,
                 (long)getpid(), path_.c_str(), LC_VERSION_EXPECTED, dbgout_profile.lib_level,
                 dbgout_profile.para_level, dbgout_profile.cc_level, dbgout_profile.visca_level,
                 dbgout_profile.net_level, dbgout_profile.module_level, dbgout_profile.mpp_level,
                 dbgout_profile.time_enable);
        return text;
    }
    std::string dir_;
};

// The request's traces (also still given to the hook), then its status and
// the end; the listing of rows; nothing once the answer is over.
TEST_F(Reply, AnswerHoldsTheRequestsTracesThenStatusAndEnd)
{
    ReplyFifo fifo(dir_);
    ASSERT_TRUE(fifo.ok());
    send(header(fifo.path()) + ";lib_level=debug");
    Records answer = fifo.until(LC_REC_END);
    ASSERT_EQ(types(answer), "tse");
    EXPECT_EQ(answer[0].second.substr(0, 22), "[lib set_debug_level +");
    EXPECT_EQ(answer[0].second.substr(answer[0].second.size() - 4), "]L7\n");
    EXPECT_EQ(answer[1].second, status(true));
    EXPECT_TRUE(capture_.contains("]L7\n"));

    send(header(fifo.path()) + ";foo=bar");
    Records refused = fifo.until(LC_REC_END);
    ASSERT_EQ(types(refused), "tse");
    EXPECT_EQ(refused[0].second.substr(refused[0].second.find(']')), "]please use echo \"help=1\" > /dev/libfifo \n");
    EXPECT_EQ(refused[1].second, status(false));

    send(header(fifo.path(), "rows"));
    Records rows = fifo.until(LC_REC_END);
    std::string listed;
    for (const Record &r : rows)
        listed += std::string(1, r.first) + r.second + "\n";
    std::string expected = "Rhelp\n";
    for (const char *m : {"lib", "para", "cc", "visca", "module", "net", "mpp", "all"})
        for (const char *l : {"err", "info", "debug"})
            expected += std::string("r") + m + "_level=" + l + "\n";
    expected += "rdbg_time=1\nrdbg_time=0\nrgpool=statistics\nrgpool=print_task\nrgpool=add_task\nRtest_mark\n";
    EXPECT_EQ(listed, expected + "s" + status(true) + "\ne\n");

    XEL_TRACE(lib, 3, "after the answers\n");
    ASSERT_TRUE(command("dbg_time=0"));
    EXPECT_TRUE(fifo.take().empty());
}

// Paths that are not a private FIFO of this user (or root) named lcctl-...
// get nothing written and one level-3 trace; the request's commands do not
// run.
TEST_F(Reply, RefusedReplyPathsGetNothingAndOneLevelThreeTrace)
{
    const std::string file = dir_ + "/lcctl-file";
    ASSERT_EQ(system(("printf untouched > " + file).c_str()), 0);
    ASSERT_EQ(symlink(file.c_str(), (dir_ + "/lcctl-link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir_ + "/lcctl-unread").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((dir_ + "/lcctl-dir").c_str(), 0700), 0);
    ReplyFifo wrong_name(dir_, "reply-fifo");
    ReplyFifo other_user(dir_, "lcctl-nobody");
    ASSERT_TRUE(wrong_name.ok() && other_user.ok());
    struct Case {
        std::string path, reason;
    };
    std::vector<Case> cases = {
        {file, "not a FIFO"},
        {dir_ + "/lcctl-link", "a symbolic link"},
        {dir_ + "/lcctl-dir", "not a FIFO"},
        {dir_ + "/lcctl-unread", "nobody reads it"},
        {dir_ + "/lcctl-none", "No such file or directory"},
        {wrong_name.path(), "its name does not start with lcctl-"},
        {"lcctl-relative", "not an absolute path"},
    };
    if (geteuid() == 0) {
        ASSERT_EQ(chown(other_user.path().c_str(), 65534, 65534), 0);
        cases.push_back({other_user.path(), "owned by another user"});
        ASSERT_EQ(mknod((dir_ + "/lcctl-null").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
        cases.push_back({dir_ + "/lcctl-null", "not a FIFO"});
    } else {
        std::cout << "not root: a FIFO of another user and a device node are not tried\n";
    }
    __atomic_store_n(&dbgout_profile.output_hook, &level_hook, __ATOMIC_RELAXED);
    for (const Case &c : cases) {
        {
            std::lock_guard<std::mutex> lock(level_mutex);
            leveled.clear();
        }
        const int before = marks;
        send(header(c.path) + ";test_mark=1");
        std::vector<std::pair<int32_t, std::string>> refusals;
        const auto refused = [&] {
            std::lock_guard<std::mutex> lock(level_mutex);
            refusals.clear();
            for (const auto &t : leveled)
                if (t.second.find("]reply refused: ") != std::string::npos)
                    refusals.push_back(t);
            return !refusals.empty();
        };
        ASSERT_TRUE(lc_test::wait_until(refused)) << c.path;
        ASSERT_TRUE(command("dbg_time=0"));  // a later read: the refused one is over
        refused();
        ASSERT_EQ(refusals.size(), 1u) << c.path;
        EXPECT_EQ(refusals[0].first, 3) << c.path;
        EXPECT_EQ(refusals[0].second.substr(0, 18), "[lib fifo_handle +") << c.path;
        EXPECT_EQ(refusals[0].second.substr(refusals[0].second.find(']')),
                  "]reply refused: " + c.path + ": " + c.reason + "\n");
        EXPECT_EQ(marks, before + 1) << c.path << ": the refused request's command ran";
    }
    EXPECT_EQ(system(("printf untouched | cmp -s - " + file).c_str()), 0) << "the file was written";
    EXPECT_TRUE(other_user.take().empty());
    EXPECT_TRUE(wrong_name.take().empty());
}

// A follower gets the traces of every thread, at once; a reader that goes
// costs the process nothing (no SIGPIPE) and frees its slot.  Eight
// followers at most; the ninth is told the process is busy.
TEST_F(Reply, FollowersGetEveryThreadsTracesUntilTheirReaderGoes)
{
    ReplyFifo follower(dir_);
    ASSERT_TRUE(follower.ok());
    send(header(follower.path(), "follow"));
    Records ack = follower.until(LC_REC_STATUS);
    ASSERT_EQ(types(ack), "s");
    EXPECT_EQ(ack[0].second, status(true));
    XEL_TRACE(lib, 6, "from the test's thread\n");
    EXPECT_GT(add_task([](void *) { XEL_TRACE(lib, 6, "from a pool worker\n"); }, nullptr, 0, 0), 0);
    std::vector<std::string> texts;  // the two above, whatever else the process traced meanwhile
    EXPECT_TRUE(lc_test::wait_until([&] {
        for (const Record &r : follower.take())
            if (r.second.find("]from ") != std::string::npos)
                texts.push_back(r.second.substr(r.second.find(']') + 1));
        return texts.size() >= 2;
    }));
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, (std::vector<std::string>{"from a pool worker\n", "from the test's thread\n"}));

    std::vector<std::unique_ptr<ReplyFifo>> more;
    for (int i = 0; i < 7; i++) {
        more.push_back(std::make_unique<ReplyFifo>(dir_));
        send(header(more.back()->path(), "follow"));
        EXPECT_EQ(types(more.back()->until(LC_REC_STATUS)), "s") << i;
    }
    ReplyFifo ninth(dir_);
    send(header(ninth.path(), "follow"));
    EXPECT_EQ(types(ninth.until(LC_REC_BUSY)), "b");

    follower.close_reader();
    XEL_TRACE(lib, 6, "nobody reads this follower\n");  // EPIPE, never SIGPIPE
    ReplyFifo tenth(dir_);
    send(header(tenth.path(), "follow"));
    EXPECT_EQ(types(tenth.until(LC_REC_STATUS)), "s");
}

// An answer that does not fit into its FIFO is cut: the traces that did
// not fit are counted in a marker, and the status and end still come; the
// scheduler never waits for the reader.
TEST_F(Reply, AnswerThatDoesNotFitIsCutWithACountAndStillEnds)
{
    static std::vector<std::string> keys;
    static std::vector<fifo_cmd> many;
    for (int i = keys.size(); i < 200; i++)
        keys.push_back("a_long_row_name_for_the_listing_" + std::to_string(i));
    many.clear();
    for (const std::string &k : keys)
        many.push_back({k.c_str(), nullptr, [](const char *, void *) {}, nullptr});
    add_fifo_work(many.data(), (int32_t)many.size());
    ReplyFifo fifo(dir_);
    ASSERT_TRUE(fifo.ok());
    ASSERT_EQ(fcntl(fifo.fd(), F_SETPIPE_SZ, 4096), 4096);
    ASSERT_TRUE(command(header(fifo.path()) + ";help=1"));  // not read meanwhile
    Records answer = fifo.until(LC_REC_END);
    ASSERT_GE(answer.size(), 4u);
    const size_t listed = capture_.count("[cc fifo_print_debug +");
    EXPECT_EQ(listed, 1u + 26 + 3 + 1 + 200);
    const std::string t = types(answer);
    EXPECT_EQ(t.substr(t.size() - 3), "xse");
    EXPECT_EQ(t.find_first_not_of('t'), t.size() - 3);
    EXPECT_EQ(std::stoul(answer[answer.size() - 3].second), listed - (t.size() - 3));
    EXPECT_GT(t.size() - 3, 30u) << "a page holds more than 30 rows";
}

// Lateness of the runs of a 10 ms fixed-period task, as bench_sched counts
// it: the time between two starts beyond one period.  Each run traces a
// long line, which a follower that never reads cannot take.
std::vector<double> period_lateness_us(int runs)
{
    struct Probe {
        std::mutex m;
        std::vector<std::chrono::steady_clock::time_point> starts;
    } probe;
    int token = add_fixperiod_task(
        [](void *arg) {
            Probe *p = static_cast<Probe *>(arg);
            {
                std::lock_guard<std::mutex> lock(p->m);
                p->starts.push_back(std::chrono::steady_clock::now());
            }
            XEL_TRACE(lib, 6, "%0500d\n", 7);
        },
        &probe, 0, 10000);
    EXPECT_GT(token, 0);
    lc_test::wait_until(
        [&] {
            std::lock_guard<std::mutex> lock(probe.m);
            return (int)probe.starts.size() > runs;
        },
        std::chrono::seconds(runs / 20 + 10));
    remove_task(&token);
    std::lock_guard<std::mutex> lock(probe.m);
    std::vector<double> late;
    for (size_t i = 1; i < probe.starts.size() && (int)i <= runs; i++)
        late.push_back(std::chrono::duration<double, std::micro>(probe.starts[i] - probe.starts[i - 1]).count() -
                       10000);
    return late;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 1e9 : v[v.size() / 2];
}

// A follower that never reads: its FIFO fills, and then every copy is
// dropped at once.  The 10 ms task stays within the benchmark's bound
// (median lateness below 200 us), or, on a machine or build that is
// slower even without a follower, within twice what it showed without one.
TEST_F(Reply, FollowerThatNeverReadsDoesNotDelayTimers)
{
    const double alone = median(period_lateness_us(100));
    ReplyFifo stalled(dir_);
    ASSERT_TRUE(stalled.ok());
    send(header(stalled.path(), "follow"));
    ASSERT_EQ(types(stalled.until(LC_REC_STATUS)), "s");
    // Filled by a task, so that a copy that waited for the reader would
    // hold a pool worker, not the test.
    static int capacity;
    static std::atomic<bool> filled;
    capacity = fcntl(stalled.fd(), F_GETPIPE_SZ);
    filled = false;
    add_task(
        [](void *) {
            for (int i = 0; i * 500 < 2 * capacity; i++)
                XEL_TRACE(lib, 6, "%0500d\n", i);
            filled = true;
        },
        nullptr, 0, 0);
    ASSERT_TRUE(lc_test::wait_until([] { return filled.load(); }, std::chrono::seconds(10)))
        << "a trace waits for the follower's reader";
    int queued = 0;
    ASSERT_EQ(ioctl(stalled.fd(), FIONREAD, &queued), 0);
    EXPECT_GT(queued, capacity / 2);
    int writer = open(stalled.path().c_str(), O_WRONLY | O_NONBLOCK);
    const std::string record(600, 'x');
    EXPECT_EQ(write(writer, record.data(), record.size()), -1) << "the follower's FIFO is full";
    close(writer);
    const std::vector<double> followed = period_lateness_us(100);
    EXPECT_EQ(followed.size(), 100u);
    EXPECT_LT(median(followed), std::max(200.0, 2 * alone)) << "median without a follower: " << alone << " us";
}

}  // namespace
