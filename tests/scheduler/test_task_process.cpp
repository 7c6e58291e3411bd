// Task process: each kind of task, ordering, tokens, refusals before the start and after the exit, removal.
#include "../lib_common/started_library.h"

#include <algorithm>
#include <climits>
#include <fstream>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Tokens = std::vector<int>;
using lc_test::Gate;
using lc_test::wait_until;

namespace {

const lc_task_fn nothing = [](void *) {};

// A task's runs: how many began and ended, when, on which thread; each works for `work`, or until `gate` opens.
struct Runs {
    std::atomic<int> started{0}, finished{0};
    std::chrono::milliseconds work{0};
    Gate *gate = nullptr;
    std::mutex m;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> spans;  // in the order the runs ended
    std::string thread;

    static void run(void *arg)
    {
        Runs *r = static_cast<Runs *>(arg);
        const auto begin = Clock::now();
        r->started++;
        r->gate != nullptr ? Gate::hold(r->gate) : std::this_thread::sleep_for(r->work);
        char name[16] = {};
        prctl(PR_GET_NAME, name, 0, 0, 0);
        r->m.lock();
        r->thread = name, r->spans.push_back({begin, Clock::now()});
        r->m.unlock();
        r->finished++;  // the last touch: the record may go once remove_task_wait has returned
    }
    bool wait_done(int n)
    {
        return wait_until([&] { return finished >= n; }, 10s);
    }
};

int (*const adders[])(lc_task_fn, void *, long, long) = {add_task, add_fixperiod_task, add_fixdelay_task,
                                                         add_nodestroy_task};

Tokens add_each(void *arg, long s, long us, lc_task_fn fn = Runs::run)
{
    Tokens out;
    for (auto add : adders)
        out.push_back(add(fn, arg, s, us));
    return out;
}

int busy_workers()
{
    pthread_mutex_lock(&gpool->count_lock);
    const int busy = gpool->busy;
    pthread_mutex_unlock(&gpool->count_lock);
    return busy;
}

// Holds `n` of gpool's workers at the gate.
void hold_workers(Gate &gate, int n)
{
    for (int i = 0; i < n; i++)
        ASSERT_EQ(threadpool_add_task(gpool, Gate::hold, &gate), 0);
    ASSERT_TRUE(wait_until([n] { return busy_workers() == n; }));
}

// Gives the held workers back and waits until they have run whatever was queued before.
void drain(Gate &gate)
{
    gate.release();
    ASSERT_EQ(threadpool_add_task_sync(gpool, nothing, nullptr), 0);
    ASSERT_TRUE(wait_until([] { return busy_workers() == 0; }));
}

}  // namespace

// Alone in its process (ctest starts one per test): the queue takes token 1, the first task 2.
TEST(TaskProcess, FirstTokenRefusalsAndExit)
{
    Runs runs, queued;
    auto expect_stopped = [&] {
        int token = 2;
        EXPECT_EQ(add_each(&runs, 0, 0), Tokens(4, -1));
        EXPECT_EQ(update_task(2, 0, 0), -1);
        EXPECT_EQ((Tokens{remove_task(&token), remove_task_wait(&token), remove_task_wait(nullptr), token}),
                  (Tokens{-1, -1, -1, 2}))
            << "token left alone";
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
    EXPECT_EQ((Tokens{update_task(2, 0, 0), update_task(1, 0, 0)}), Tokens(2, -1)) << "fired; the queue's own token";
    EXPECT_EQ(add_each(&runs, 2, 0), (Tokens{3, 4, 5, 6}));
    for (const auto &d : bad)
        EXPECT_EQ(update_task(4, d[0], d[1]), -1) << d[0] << "," << d[1];  // a queued task: its delay is refused

    Gate gate;
    hold_workers(gate, 2);
    EXPECT_EQ(add_task(Runs::run, &queued, 0, 0), 7);
    ASSERT_TRUE(wait_until([] { return threadpool_task_size_lock(gpool) == 1; }));
    auto calls = std::async(std::launch::async, [] {
        int zero = 0, unknown = 1007;
        return Tokens{remove_task_wait(nullptr), remove_task_wait(&zero), zero, remove_task_wait(&unknown), unknown};
    });
    const bool returned = calls.wait_for(5s) == std::future_status::ready;
    EXPECT_EQ(threadpool_task_size_lock(gpool), 1);
    drain(gate);
    EXPECT_TRUE(returned) << "a call with bad input waited, with every worker held";
    EXPECT_EQ(calls.get(), (Tokens{-1, 0, 0, 0, 0}));
    EXPECT_EQ((Tokens{queued.finished, lib_common_exit()}), (Tokens{1, 0}));  // all joined: nothing can run later
    expect_stopped();
    EXPECT_EQ(runs.started, 1);
}

class Tasks : public StartedLibrary {
protected:
    // Waits until what fell due within `span` from now has run (timers fire in time order, the pool is FIFO).
    static void pass(std::chrono::microseconds span)
    {
        Runs sentinel;
        ASSERT_GT(add_task(Runs::run, &sentinel, 0, static_cast<long>(span.count())), 0);
        ASSERT_TRUE(sentinel.wait_done(1));
        ASSERT_TRUE(wait_until([] { return busy_workers() == 0 && threadpool_task_size_lock(gpool) == 0; }));
    }
};

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
    std::string traced, arg[3];
    for (const std::string &t : capture_.texts())
        traced += t;
    for (int i = 0; i < 3; i++)
        arg[i] = ::testing::PrintToString(static_cast<void *>(&same[i]));   // as %p prints it
    EXPECT_LT(traced.find("arg:" + arg[0]), traced.find("arg:" + arg[1]));  // handed over in order
    EXPECT_LT(traced.find("arg:" + arg[1]), traced.find("arg:" + arg[2]));
    EXPECT_TRUE(capture_.contains("," + arg[0] + ",token:" + std::to_string(first) + ",ret_address:0x"));
    EXPECT_TRUE(wait_until([this] { return capture_.count(" end working") >= 3u; }))
        << capture_.count(" end working") << " runs traced as ended";

    ASSERT_TRUE(later.wait_done(1));
    EXPECT_GE(later.spans[0].first - added, 990ms);
    EXPECT_EQ(update_task(once, 0, 0), -1) << "fired: the token is dead";
    pass(300ms);
    EXPECT_EQ((Tokens{later.started, remove_task(&once), once}), (Tokens{1, 0, 0}));
}

// A slow fixed-period task overlaps itself, a fixed-delay one never does, a persistent one runs once per arming.
TEST_F(Tasks, KeptKindsRunAsTheirKindRequiresUntilRemoved)
{
    Runs period, delay, persistent;
    period.work = 300ms;
    int token = add_fixperiod_task(Runs::run, &period, 0, 100000);
    ASSERT_TRUE(period.wait_done(2));
    EXPECT_EQ((Tokens{remove_task(&token), token}), (Tokens{0, 0}));
    const int at_removal = period.started;

    delay.work = 200ms;
    token = add_fixdelay_task(Runs::run, &delay, 0, 100000);
    ASSERT_TRUE(delay.wait_done(3));  // takes 800 ms at least
    EXPECT_EQ(remove_task(&token), 0);
    EXPECT_LE(period.started, at_removal + 2);  // at most the runs each worker had begun
    std::lock_guard<std::mutex> lock(delay.m), other(period.m);
    EXPECT_LT(period.spans[1].first, period.spans[0].second) << "the second run began before the first ended";
    for (size_t i = 1; i < delay.spans.size(); i++)  // armed again only when the run has ended
        EXPECT_GE(delay.spans[i].first - delay.spans[i - 1].second, 99ms) << i;

    token = add_nodestroy_task(Runs::run, &persistent, 0, 50000);
    ASSERT_TRUE(persistent.wait_done(1));
    pass(300ms);  // six of its periods: parked, it ran once
    EXPECT_EQ((Tokens{persistent.started, update_task(token, 0, 50000)}), (Tokens{1, 0}));
    ASSERT_TRUE(persistent.wait_done(2));
    pass(300ms);
    const int old = token;
    EXPECT_EQ((Tokens{persistent.started, remove_task(&token), update_task(old, 0, 0)}), (Tokens{2, 0, -1}));
}

// A caught signal in the scheduler's wait ends that thread: tasks are still taken and removed, none fires.
TEST_F(Tasks, ACaughtSignalOnTheSchedulerThreadEndsIt)
{
    struct sigaction caught = {}, saved;
    caught.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR2, &caught, &saved), 0);
    pid_t scheduler = 0;  // named by itself once it runs
    ASSERT_TRUE(wait_until([&] { return (scheduler = lc_test::thread_id("task_process")) > 0; }));
    __atomic_store_n(&dbgout_profile.lib_level, 6, __ATOMIC_RELAXED);  // the scheduler thread reads it
    // Only a signal that finds the thread in its wait ends it; one between two waits is lost: try again.
    bool ended = false;
    for (int tries = 0; tries < 5 && !ended; tries++) {
        ASSERT_TRUE(lc_test::asleep(scheduler));
        ASSERT_EQ(syscall(SYS_tgkill, getpid(), scheduler, SIGUSR2), 0);
        ended = wait_until([] { return lc_test::threads_named("task_process") == 0; }, 1s);
    }
    EXPECT_TRUE(ended);
    const Texts by_scheduler = traced_by("task_process_main");  // "enter" too, when it ran after the start's end
    EXPECT_EQ(std::count(by_scheduler.begin(), by_scheduler.end(), "leave\n"), 1);
    sigaction(SIGUSR2, &saved, nullptr);

    Runs runs;
    int token = add_task(Runs::run, &runs, 0, 0);
    EXPECT_EQ((Tokens{token > 0, update_task(token, 0, 1000)}), (Tokens{1, 0}));
    std::this_thread::sleep_for(500ms);  // no event can tell that nothing fires: longer than the scheduler's wait
    EXPECT_EQ((Tokens{runs.started, remove_task(&token), token}), (Tokens{0, 0, 0}));
}

// From a run of the task itself remove_task_wait removes it but gives -1; from elsewhere it waits for every run.
TEST_F(Tasks, RemoveWaitEndsTheRunsUnderWayButNotFromOneOfThem)
{
    struct Self : Runs {
        std::atomic<int> token{0}, result{1}, token_after{-1};
        static void run(void *arg)
        {
            Self *s = static_cast<Self *>(arg);
            int first = 1;
            if (wait_until([s] { return s->token != 0; }) && s->result.compare_exchange_strong(first, 2)) {
                int token = s->token;
                s->result = remove_task_wait(&token);
                s->token_after = token;
            }
            Runs::run(arg);
        }
    };
    for (auto add : adders) {
        Self *self = new Self;
        self->work = 100ms;
        int token = self->token = add(Self::run, self, 0, 10000);
        ASSERT_TRUE(wait_until([&] { return self->result < 1; })) << token;
        // Refused, yet removed all the same; from here every run has ended.
        EXPECT_EQ((Tokens{self->result, self->token_after, update_task(token, 0, 0), remove_task_wait(&token), token,
                          self->started - self->finished}),
                  (Tokens{-1, 0, -1, 0, 0, 0}));
        delete self;
    }

    // Likewise from a command handler, on the scheduler thread, which hands the runs over.
    static std::atomic<int> from_handler{1};
    static int handled_token = 0;
    static const fifo_cmd row[] = {{"test_remove", nullptr,
                                    [](const char *, void *) { from_handler = remove_task_wait(&handled_token); },
                                    nullptr}};
    add_fifo_work(row, 1);
    Runs runs;
    handled_token = add_nodestroy_task(Runs::run, &runs, 3600, 0);
    const int token = handled_token;
    ASSERT_TRUE(command("test_remove=1"));
    EXPECT_EQ((Tokens{from_handler, handled_token, update_task(token, 0, 0)}), (Tokens{-1, 0, -1}));
}

// A one-shot the pool has not started (queued, or handed to a full list) is taken back, from a thread or a task.
TEST_F(Tasks, RemoveWaitTakesBackARunNotStarted)
{
    struct Remover {
        Runs runs;  // of the task taken back
        bool full = false;
        std::atomic<int> result{1}, token{-1};
        std::atomic<bool> done{false};
        static void run(void *arg)
        {
            Remover *r = static_cast<Remover *>(arg);
            if (r->full)  // the scheduler's hand-over has to wait for room
                for (int i = 0; i < gpool->queue_max; i++)
                    threadpool_add_task(gpool, nothing, nullptr);
            int token = add_task(Runs::run, &r->runs, 0, 0);
            wait_until([&] { return update_task(token, 0, 0) == -1; }, 10s);  // taken off the scheduler's queue
            wait_until([&] { return r->full || threadpool_task_size_lock(gpool) == 1; }, 10s);
            r->result = remove_task_wait(&token);
            r->token = token;
            r->done = true;
        }
    };
    for (bool from_task : {false, true}) {
        for (bool full : {false, true}) {
            SCOPED_TRACE(std::string(from_task ? "from a task" : "from a thread") + (full ? ", full list" : ""));
            Gate gate;
            hold_workers(gate, from_task ? 1 : 2);
            Remover remover;
            remover.full = full;
            std::thread thread;
            if (from_task)
                ASSERT_EQ(threadpool_add_task(gpool, Remover::run, &remover), 0);
            else
                thread = std::thread(Remover::run, &remover);
            const bool done = wait_until([&] { return remover.done.load(); }, 10s);
            drain(gate);
            if (thread.joinable())
                thread.join();
            ASSERT_TRUE(done) << "the removal waited for the held workers";
            EXPECT_EQ((Tokens{remover.result, remover.token, remover.runs.started}), (Tokens{0, 0, 0}));
        }
    }
}

// The stop waits for a removal under way, which still uses the pool.  With standard input closed the wake-up counter
// gets descriptor 0 and is still watched: the scheduler reads back every wake-up (the kernel shows its value).
TEST(TaskProcess, ExitWaitsForTheRemovalUnderWayAndWatchesDescriptorZero)
{
    const int saved = dup(0);
    close(0);
    ASSERT_EQ(lib_common_init(), 0);
    auto count = [] {
        std::ifstream info("/proc/self/fdinfo/0");
        std::string line;
        while (std::getline(info, line) && line.rfind("eventfd-count:", 0) != 0) {
        }
        return line.empty() ? -1LL : std::stoll(line.substr(14), nullptr, 16);
    };
    Gate gate;
    Runs *runs = new Runs;
    runs->gate = &gate;
    int token = add_task(Runs::run, runs, 0, 0);  // a wake-up
    EXPECT_TRUE(wait_until([&] { return count() == 0 && runs->started == 1; })) << "count " << count();
    std::atomic<int> removed{1}, finished_at_exit{-1};
    std::atomic<pid_t> tid{0};
    auto started_asleep = [&](std::function<void()> fn) {  // on a thread of its own, inside its wait
        tid = 0;
        std::thread thread([&tid, fn] { tid = static_cast<pid_t>(syscall(SYS_gettid)), fn(); });
        EXPECT_TRUE(wait_until([&] { return tid != 0; }) && lc_test::asleep(tid));
        return thread;
    };
    std::thread remover = started_asleep([&] { removed = remove_task_wait(&token); });
    std::thread exiter = started_asleep([&] {  // waiting for the removal
        EXPECT_EQ(lib_common_exit(), 0);
        finished_at_exit = runs->finished.load();
    });
    gate.release();
    remover.join();
    exiter.join();
    EXPECT_EQ((Tokens{removed, finished_at_exit}), (Tokens{0, 1}));
    delete runs;
    dup2(saved, 0);
    close(saved);
}

// A hand-over the pool refuses (no pool) is dropped quietly; a second one-shot taken shows the first was handed.
TEST_F(Tasks, AHandOverThePoolRefusesIsDroppedQuietly)
{
    threadpool *const pool = gpool;
    __atomic_store_n(&gpool, static_cast<threadpool *>(nullptr), __ATOMIC_RELEASE);
    Runs runs;
    const int token = add_task(Runs::run, &runs, 0, 0);
    const int later = add_task(Runs::run, &runs, 0, 0);
    const bool taken = wait_until([&] { return update_task(later, 0, 0) == -1; });
    __atomic_store_n(&gpool, pool, __ATOMIC_RELEASE);
    ASSERT_TRUE(taken);
    EXPECT_EQ(update_task(token, 0, 0), -1);
    ASSERT_EQ(threadpool_add_task_sync(gpool, nothing, nullptr), 0);
    EXPECT_EQ((Tokens{runs.started, static_cast<int>(capture_.count(std::to_string(token)))}), (Tokens{0, 0}));
}
