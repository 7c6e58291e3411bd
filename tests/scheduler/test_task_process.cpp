// Task process: each kind of task on a started library, removal, ordering,
// the first token, and what is refused before the start and after the exit.
#include "../lib_common/started_library.h"

#include <algorithm>
#include <climits>
#include <fstream>
#include <signal.h>
#include <sys/syscall.h>
#include <mutex>
#include <numeric>
#include <sys/prctl.h>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Tokens = std::vector<int>;

// Records the runs of a task: their spans, how many ran at once, the thread.
struct Runs {
    std::mutex m;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> spans;
    std::string thread;
    int started = 0, running = 0, most = 0;
    std::chrono::milliseconds work{0};

    template <class F> auto with(F f)
    {
        std::lock_guard<std::mutex> l(m);
        return f();
    }
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
    int count()
    {
        return with([&] { return started; });
    }
    bool wait_done(size_t n)
    {
        return lc_test::wait_until([&] { return with([&] { return spans.size() >= n; }); }, 10s);
    }
};

// Every adding function with the same arguments.
static Tokens add_each(void *arg, long s, long us, lc_task_fn fn = Runs::run)
{
    return {add_task(fn, arg, s, us), add_fixperiod_task(fn, arg, s, us), add_fixdelay_task(fn, arg, s, us),
            add_nodestroy_task(fn, arg, s, us)};
}

// Runs alone in its process (ctest starts one per test), so no entry was
// made before: the queue takes token 1 and the first task 2.  Tasks still
// queued at the exit never run.  (Restarts: the start-up allocation test.)
TEST(TaskProcess, FirstTokenRefusalsAndExit)
{
    Runs runs;
    auto expect_stopped = [&] {
        int token = 2;
        EXPECT_EQ(add_each(&runs, 0, 0), Tokens(4, -1));
        EXPECT_EQ(update_task(2, 0, 0), -1);
        EXPECT_EQ(remove_task(&token), -1);
        EXPECT_EQ(token, 2) << "token left alone";
    };
    expect_stopped();
    EXPECT_EQ(task_process_exit(), 0);  // not running: nothing to stop
    ASSERT_EQ(lib_common_init(), 0);
    EXPECT_EQ(task_process_init(), EBUSY);
    const long bad[][2] = {{-1, 0}, {0, -1}, {0, 1000000}, {LONG_MAX > INT32_MAX ? (long)INT32_MAX + 1 : -5, 0}};
    for (const auto &d : bad)
        EXPECT_EQ(add_each(&runs, d[0], d[1]), Tokens(4, -1)) << d[0] << "," << d[1];
    EXPECT_EQ(add_each(&runs, 0, 0, nullptr), Tokens(4, -1));
    EXPECT_EQ(remove_task(nullptr), -1);
    EXPECT_EQ(add_task(Runs::run, &runs, 0, 0), 2);  // no refusal used up a token
    EXPECT_TRUE(runs.wait_done(1));
    EXPECT_EQ(update_task(2, 0, 0), -1);  // fired
    EXPECT_EQ(update_task(1, 0, 0), -1);  // the queue's token names no task
    EXPECT_EQ(add_each(&runs, 2, 0), (Tokens{3, 4, 5, 6}));
    for (const auto &d : bad)
        EXPECT_EQ(update_task(4, d[0], d[1]), -1) << d[0] << "," << d[1];  // a queued task: its delay is refused
    EXPECT_EQ(lib_common_exit(), 0);  // every library thread joined: nothing can run later
    expect_stopped();
    EXPECT_EQ(runs.count(), 1);
}

class Tasks : public StartedLibrary {
protected:
    // Waits until the scheduler has passed the moment `span` from now and the pool has run what it was handed until
    // then: a one-shot due then has run (timers fire in time order, the pool takes its tasks first in, first out),
    // and no worker is busy.  Absence is then shown by what did not run, however slow the machine.
    static void pass(std::chrono::microseconds span)
    {
        Runs sentinel;
        ASSERT_GT(add_task(Runs::run, &sentinel, 0, static_cast<long>(span.count())), 0);
        ASSERT_TRUE(sentinel.wait_done(1));
        ASSERT_TRUE(lc_test::wait_until([] {
            pthread_mutex_lock(&gpool->count_lock);
            const int32_t busy = gpool->busy;
            pthread_mutex_unlock(&gpool->count_lock);
            return busy == 0 && threadpool_task_size_lock(gpool) == 0;
        }));
    }
};

static std::string as_text(const void *p)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

// The gpool rows trace the pool's figures, its workers' runs and additions.
TEST_F(Tasks, OneShotsRunOnceOnAWorkerInOrderTracedByThePoolRows)
{
    Runs same[3], later;
    ASSERT_TRUE(command("gpool=statistics;gpool=print_task;gpool=add_task;lib_level=debug"));
    EXPECT_EQ(traced_by("threadpool_debug"), (Texts{"min:2,max:4,live:2,busy:0\n", "task_size:0\n"}));
    const int first = add_task(Runs::run, &same[0], 0, 200000);
    EXPECT_GT(add_task(Runs::run, &same[1], 0, 200000), first);
    EXPECT_GT(add_task(Runs::run, &same[2], 0, 200000), first);
    const auto added = Clock::now();
    int once = add_task(Runs::run, &later, 1, 0);
    for (Runs &r : same)
        ASSERT_TRUE(r.wait_done(1));
    EXPECT_EQ(same[0].thread, "threadpool_work");  // not "task_process"
    const Texts texts = capture_.texts();
    const std::string traced = std::accumulate(texts.begin(), texts.end(), std::string());
    EXPECT_LT(traced.find("arg:" + as_text(&same[0])), traced.find("arg:" + as_text(&same[1])));  // handed over
    EXPECT_LT(traced.find("arg:" + as_text(&same[1])), traced.find("arg:" + as_text(&same[2])));
    EXPECT_TRUE(capture_.contains("," + as_text(&same[0]) + ",token:" + std::to_string(first) + ",ret_address:0x"));
    // A worker traces the end of a run after the task's function has returned.
    EXPECT_TRUE(lc_test::wait_until([this] { return capture_.count(" end working") >= 3u; }))
        << capture_.count(" end working") << " runs traced as ended";

    ASSERT_TRUE(later.wait_done(1));
    EXPECT_GE(later.spans[0].first - added, 990ms);
    EXPECT_EQ(update_task(once, 0, 0), -1) << "fired: the token is dead";
    pass(300ms);
    EXPECT_EQ(later.count(), 1);
    EXPECT_EQ(remove_task(&once), 0);
    EXPECT_EQ(once, 0);
}

// A slow fixed-period task overlaps itself, a fixed-delay one never does, a
// persistent one runs once per arming; removal zeroes the token and stops
// each (runs already begun complete).
TEST_F(Tasks, KeptKindsRunAsTheirKindRequiresUntilRemoved)
{
    Runs period, delay, persistent;
    period.work = 300ms;
    int token = add_fixperiod_task(Runs::run, &period, 0, 100000);
    ASSERT_TRUE(lc_test::wait_until([&] { return period.with([&] { return period.most >= 2; }); }, 10s));
    EXPECT_EQ(remove_task(&token), 0);
    EXPECT_EQ(token, 0);
    const int at_removal = period.count();

    delay.work = 200ms;
    token = add_fixdelay_task(Runs::run, &delay, 0, 100000);
    ASSERT_TRUE(delay.wait_done(3));  // takes 800 ms at least
    EXPECT_EQ(remove_task(&token), 0);
    EXPECT_LE(period.count(), at_removal + 2);  // at most the runs each worker had begun
    delay.with([&] {
        EXPECT_EQ(delay.most, 1);
        for (size_t i = 1; i < delay.spans.size(); i++)  // armed again only when the run has ended
            EXPECT_GE(delay.spans[i].first - delay.spans[i - 1].second, 99ms) << i;
    });

    token = add_nodestroy_task(Runs::run, &persistent, 0, 50000);
    ASSERT_TRUE(persistent.wait_done(1));
    pass(300ms);  // six of its periods: parked, it ran once
    EXPECT_EQ(persistent.count(), 1);
    EXPECT_EQ(update_task(token, 0, 50000), 0);
    ASSERT_TRUE(persistent.wait_done(2));
    pass(300ms);
    EXPECT_EQ(persistent.count(), 2);
    const int old = token;
    EXPECT_EQ(remove_task(&token), 0);
    EXPECT_EQ(update_task(old, 0, 0), -1);
}

// A signal the process catches, delivered to the scheduler thread, ends its wait and with it the thread ("leave"):
// tasks are still taken, re-timed and removed, nothing fires them any more, and the stop is clean.
TEST_F(Tasks, ACaughtSignalOnTheSchedulerThreadEndsIt)
{
    struct sigaction caught = {}, saved;
    caught.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR2, &caught, &saved), 0);
    pid_t scheduler = 0;  // named by itself once it runs
    ASSERT_TRUE(lc_test::wait_until([&] { return (scheduler = lc_test::thread_id("task_process")) > 0; }));
    __atomic_store_n(&dbgout_profile.lib_level, 6, __ATOMIC_RELAXED);  // the scheduler thread reads it
    // Only a signal that finds the thread in its wait ends it; one that comes between two waits is handled and
    // lost.  The thread sleeps in its wait, between two passes: signalled then, it ends, or the next try ends it.
    bool ended = false;
    for (int tries = 0; tries < 5 && !ended; tries++) {
        ASSERT_TRUE(lc_test::asleep(scheduler));
        ASSERT_EQ(syscall(SYS_tgkill, getpid(), scheduler, SIGUSR2), 0);
        ended = lc_test::wait_until([] { return lc_test::threads_named("task_process") == 0; }, 1s);
    }
    EXPECT_TRUE(ended);
    const Texts by_scheduler = traced_by("task_process_main");  // "enter" too, when it ran after the start's end
    EXPECT_EQ(std::count(by_scheduler.begin(), by_scheduler.end(), "leave\n"), 1);
    sigaction(SIGUSR2, &saved, nullptr);

    Runs runs;
    int token = add_task(Runs::run, &runs, 0, 0);
    EXPECT_GT(token, 0);
    EXPECT_EQ(update_task(token, 0, 1000), 0);
    std::this_thread::sleep_for(500ms);  // no event can tell that nothing fires: longer than the scheduler's wait
    EXPECT_EQ(runs.count(), 0);
    EXPECT_EQ(remove_task(&token), 0);
    EXPECT_EQ(token, 0);
}

// A process started with its standard input closed: the wake-up counter gets descriptor 0 and is still watched, so
// the scheduler reads back every wake-up (the kernel shows the counter's value).
TEST(TaskProcess, AWakeUpCounterOnDescriptorZeroIsWatched)
{
    const int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    auto count = [] {
        std::ifstream info("/proc/self/fdinfo/0");
        std::string line;
        while (std::getline(info, line))
            if (line.rfind("eventfd-count:", 0) == 0)
                return std::stoll(line.substr(14), nullptr, 16);
        return -1LL;
    };
    EXPECT_EQ(lib_common_init(), 0);
    int token = add_nodestroy_task([](void *) {}, nullptr, 3600, 0);  // a wake-up
    EXPECT_TRUE(lc_test::wait_until([&] { return count() == 0; })) << "count " << count();
    EXPECT_EQ(remove_task(&token), 0);
    EXPECT_EQ(lib_common_exit(), 0);
    dup2(saved, 0);
    close(saved);
}
