// Task process: each kind of task on a started library, removal, ordering,
// and what happens to queued tasks at the exit and after a restart.
#include "../lib_common/started_library.h"

#include <algorithm>
#include <mutex>
#include <sys/prctl.h>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Records the runs of a task: their spans, how many ran at once, the thread.
struct Runs {
    std::mutex m;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> spans;
    std::string thread;
    int started = 0, running = 0, most = 0;
    std::chrono::milliseconds work{0};

    template <class F> auto with(F f) { std::lock_guard<std::mutex> l(m); return f(); }
    static void run(void *arg)
    {
        Runs *r = static_cast<Runs *>(arg);
        const auto begin = Clock::now();
        r->with([&] { r->started++, r->most = std::max(r->most, ++r->running); });
        std::this_thread::sleep_for(r->work);
        char name[16] = {};
        prctl(PR_GET_NAME, name, 0, 0, 0);
        r->with([&] { r->running--, r->thread = name, r->spans.push_back({begin, Clock::now()}); });
    }
    int count() { return with([&] { return started; }); }
    bool wait_done(size_t n) { return lc_test::wait_until([&] { return with([&] { return spans.size() >= n; }); }, 10s); }
};

class Tasks : public StartedLibrary {};

static std::string as_text(const void *p)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

TEST_F(Tasks, OneShotsRunOnceOnAWorkerInOrderAndTheirTokensDie)
{
    Runs soon, same[3], later;
    ASSERT_GT(add_task(Runs::run, &soon, 0, 0), 0);
    ASSERT_TRUE(soon.wait_done(1));
    EXPECT_EQ(soon.thread, "threadpool_work");  // not "task_process"

    ASSERT_TRUE(command("gpool=add_task;lib_level=debug"));  // trace hand-overs and additions
    Texts expected, handed;
    for (Runs &r : same)
        expected.push_back("arg:" + as_text(&r) + "\n");
    const int first = add_task(Runs::run, &same[0], 0, 200000);
    EXPECT_TRUE(add_task(Runs::run, &same[1], 0, 200000) > first && add_task(Runs::run, &same[2], 0, 200000) > first);
    const auto added = Clock::now();
    int once = add_task(Runs::run, &later, 1, 0);
    for (Runs &r : same)
        ASSERT_TRUE(r.wait_done(1));
    for (const std::string &t : capture_.texts())  // the pool's traces of the hand-overs, in order
        if (t.find("[lib _threadpool_add_task +") == 0 && t.find(as_text(&later)) == std::string::npos)
            handed.push_back(t.substr(t.find("arg:")));
    EXPECT_EQ(handed, expected);
    EXPECT_TRUE(capture_.contains("," + as_text(&same[0]) + ",token:" + std::to_string(first) + ",ret_address:0x"));

    ASSERT_TRUE(later.wait_done(1));
    EXPECT_GE(later.spans[0].first - added, 990ms);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(later.count(), 1);
    EXPECT_EQ(update_task(once, 1, 0), -1);  // fired: the token is dead
    EXPECT_EQ(remove_task(&once), 0);
    EXPECT_EQ(once, 0);
}

TEST_F(Tasks, FixedPeriodOverlapsFixedDelayNeverAndRemovalStopsBoth)
{
    Runs period, delay;
    period.work = 300ms;
    int token = add_fixperiod_task(Runs::run, &period, 0, 100000);
    ASSERT_TRUE(lc_test::wait_until([&] { return period.with([&] { return period.most >= 2; }); }, 10s));
    EXPECT_EQ(remove_task(&token), 0);
    EXPECT_EQ(token, 0);
    const int at_removal = period.count();
    std::this_thread::sleep_for(700ms);
    EXPECT_LE(period.count(), at_removal + 2);  // at most the runs each worker had begun

    delay.work = 200ms;
    token = add_fixdelay_task(Runs::run, &delay, 0, 100000);
    ASSERT_TRUE(delay.wait_done(3));
    EXPECT_EQ(remove_task(&token), 0);
    delay.with([&] {
        EXPECT_EQ(delay.most, 1);
        for (size_t i = 1; i < delay.spans.size(); i++)  // armed again only when the run has ended
            EXPECT_GE(delay.spans[i].first - delay.spans[i - 1].second, 99ms) << i;
    });
}

TEST_F(Tasks, PersistentRunsOncePerArmingUntilRemoved)
{
    Runs runs;
    int token = add_nodestroy_task(Runs::run, &runs, 0, 50000);
    for (int arming = 1; arming <= 2; arming++) {
        if (arming == 2) {
            EXPECT_EQ(update_task(token, 0, 50000), 0);
        }
        ASSERT_TRUE(runs.wait_done(arming));
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(runs.count(), arming);
    }
    const int old = token;
    EXPECT_EQ(remove_task(&token), 0);
    EXPECT_EQ(token, 0);
    EXPECT_EQ(update_task(old, 0, 0), -1);
}

TEST_F(Tasks, QueuedTasksNeverRunAfterTheExitAndARestartWorks)
{
    Runs runs;
    int tokens[] = {add_task(Runs::run, &runs, 2, 0), add_fixperiod_task(Runs::run, &runs, 2, 0),
                    add_fixdelay_task(Runs::run, &runs, 2, 0), add_nodestroy_task(Runs::run, &runs, 2, 0)};
    EXPECT_GT(*std::min_element(tokens, tokens + 4), 0);
    EXPECT_EQ(lib_common_exit(), 0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(runs.count(), 0);
    EXPECT_EQ(remove_task(&tokens[1]), -1);
    EXPECT_GT(tokens[1], 0);  // left alone

    start();  // the same process starts the library again
    EXPECT_EQ(update_task(tokens[3], 0, 0), -1);  // the old queue's tasks are gone
    ASSERT_GT(add_task(Runs::run, &runs, 0, 0), 0);
    EXPECT_TRUE(runs.wait_done(1));
}
