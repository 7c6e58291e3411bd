// Waiting removal: the caller frees the task's argument right after remove_task_wait, so a run still under way would
// touch freed memory (ASan and TSan builds report it; the run counts say it everywhere).  Also the refusals, bad
// input, a worker that waits for a run still queued, the stop, and hand-overs the pool refuses.
#include "../lib_common/started_library.h"

#include <fstream>
#include <future>
#include <regex>
#include <sys/syscall.h>
#include <thread>

using namespace std::chrono_literals;
using lc_test::wait_until;

namespace {

// A task's argument: the function counts its start, works, then writes to it once more.
struct Probe {
    std::atomic<int> started{0}, finished{0};
    std::atomic<int> pending_seen{-1};  // the pool's pending count during the last run
    std::atomic<pid_t> thread{0};       // where the last run ran
    std::chrono::milliseconds work{100};

    static void run(void *arg)
    {
        Probe *p = static_cast<Probe *>(arg);
        p->started++;
        p->thread = static_cast<pid_t>(syscall(SYS_gettid));
        p->pending_seen = threadpool_task_size_lock(gpool);
        std::this_thread::sleep_for(p->work);
        p->finished++;
    }
};

// Tasks that hold their workers until the test opens the gate.
struct Gate {
    std::promise<void> opener;
    std::shared_future<void> opened = opener.get_future().share();
    std::atomic<bool> open{false};
    static void hold(void *gate) { static_cast<Gate *>(gate)->opened.wait(); }
    void release()
    {
        if (!open.exchange(true))
            opener.set_value();
    }
};

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

// True once thread `tid` of this process has been asleep at three looks in a row.
bool asleep(pid_t tid)
{
    int in_a_row = 0;
    return wait_until([&] {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t end = text.rfind(')');
        const bool sleeping = end != std::string::npos && text.compare(end + 2, 1, "S") == 0;
        in_a_row = sleeping ? in_a_row + 1 : 0;
        if (in_a_row < 3)
            std::this_thread::sleep_for(10ms);
        return in_a_row >= 3;
    });
}

int (*const adders[])(lc_task_fn, void *, long, long) = {add_task, add_fixperiod_task, add_fixdelay_task,
                                                         add_nodestroy_task};

}  // namespace

class RemoveWait : public StartedLibrary {};

// A run that has begun, of every kind (a slow fixed-period task has several under way at once), has ended when the
// call returns; the argument is freed at once.
TEST_F(RemoveWait, EachKindsRunUnderWayHasEndedOnReturn)
{
    for (auto add : adders) {
        Probe *probe = new Probe;
        int token = add(Probe::run, probe, 0, 10000);
        ASSERT_GT(token, 0);
        ASSERT_TRUE(wait_until([&] { return probe->started > 0; }));
        EXPECT_EQ(remove_task_wait(&token), 0);
        EXPECT_EQ(token, 0);
        EXPECT_EQ(probe->finished.load(), probe->started.load());
        delete probe;
    }
}

// A one-shot task handed to the pool but still waiting in its list runs before the call returns.
TEST_F(RemoveWait, AOneShotStillQueuedInThePoolRunsFirst)
{
    Gate gate;
    hold_workers(gate, 2);
    Probe *probe = new Probe;
    int token = add_task(Probe::run, probe, 0, 0);
    ASSERT_TRUE(wait_until([] { return threadpool_task_size_lock(gpool) == 1; }));
    std::thread opener([&] {
        std::this_thread::sleep_for(100ms);
        gate.release();
    });
    EXPECT_EQ(remove_task_wait(&token), 0);
    EXPECT_EQ(probe->finished.load(), 1);
    delete probe;
    opener.join();
}

// From the task's own function the call removes the task but cannot wait for itself: -1.  Likewise from a command
// handler, on the scheduler thread, which hands the runs over.
TEST_F(RemoveWait, RefusedFromTheTasksOwnFunctionAndFromACommandHandler)
{
    struct Self {
        int token = 0;
        std::atomic<bool> known{false}, armed{true};
        std::atomic<int> result{1}, token_after{-1};
        static void run(void *arg)
        {
            Self *s = static_cast<Self *>(arg);
            wait_until([s] { return s->known.load(); });
            if (s->armed.exchange(false)) {
                s->result = remove_task_wait(&s->token);
                s->token_after = s->token;
            }
        }
    };
    for (auto add : adders) {
        Self self;
        self.token = add(Self::run, &self, 0, 20000);
        int token = self.token;
        self.known = true;
        ASSERT_TRUE(wait_until([&] { return self.result != 1; }));
        EXPECT_EQ(self.result.load(), -1);
        EXPECT_EQ(self.token_after.load(), 0);
        EXPECT_EQ(update_task(token, 0, 0), -1);  // removed all the same
        EXPECT_EQ(remove_task_wait(&token), 0);   // the runs still under way end: `self` may go
    }

    static std::atomic<int> from_handler{1};
    static int handled_token = 0;
    static const fifo_cmd row[] = {{"test_remove", nullptr,
                                    [](const char *, void *) { from_handler = remove_task_wait(&handled_token); },
                                    nullptr}};
    add_fifo_work(row, 1);
    Probe probe;
    handled_token = add_nodestroy_task(Probe::run, &probe, 3600, 0);
    const int token = handled_token;
    ASSERT_TRUE(command("test_remove=1"));
    EXPECT_EQ(from_handler.load(), -1);
    EXPECT_EQ(handled_token, 0);
    EXPECT_EQ(update_task(token, 0, 0), -1);
}

// Null, 0, a token no task carries: what remove_task gives, and never a wait, even with every worker held and a
// one-shot run queued in the pool.
TEST(RemoveWaitInput, BadInputBeforeTheStartAndAfterTheExit)
{
    int token = 7;
    EXPECT_EQ(remove_task_wait(nullptr), -1);
    EXPECT_EQ(remove_task_wait(&token), -1);
    EXPECT_EQ(token, 7);

    ASSERT_EQ(lib_common_init(), 0);
    Gate gate;
    hold_workers(gate, 2);
    Probe probe;
    int queued = add_task(Probe::run, &probe, 0, 0);
    ASSERT_TRUE(wait_until([] { return threadpool_task_size_lock(gpool) == 1; }));
    auto calls = std::async(std::launch::async, [queued] {
        int zero = 0, unknown = queued + 1000;
        std::vector<int> got = {remove_task_wait(nullptr), remove_task_wait(&zero), zero, remove_task_wait(&unknown),
                                unknown};
        return got;
    });
    const bool returned = calls.wait_for(5s) == std::future_status::ready;
    gate.release();
    EXPECT_TRUE(returned) << "a call with bad input waited";
    EXPECT_EQ(calls.get(), (std::vector<int>{-1, 0, 0, 0, 0}));
    EXPECT_EQ(remove_task_wait(&queued), 0);
    EXPECT_EQ(probe.finished.load(), 1);
    EXPECT_EQ(lib_common_exit(), 0);

    token = 7;
    EXPECT_EQ(remove_task_wait(nullptr), -1);
    EXPECT_EQ(remove_task_wait(&token), -1);
    EXPECT_EQ(token, 7);
}

// A task function may wait for another task.  With every other worker held, the run it waits for can only be made
// by its own worker, which runs it itself: one still queued in the list, and one that the scheduler is handing over
// to a full list.  Nothing hangs, and the hand-over is not reported as refused.
TEST_F(RemoveWait, AWorkerRunsTheRunItWaitsForWhenNoOtherCan)
{
    struct Waiter {
        Probe probe;  // the task waited for
        std::atomic<int> token{0}, result{1};
        std::atomic<pid_t> thread{0};
        std::atomic<bool> fill{false}, done{false};
        static void run(void *arg)
        {
            Waiter *w = static_cast<Waiter *>(arg);
            w->thread = static_cast<pid_t>(syscall(SYS_gettid));
            if (w->fill) {  // a full list: the scheduler's hand-over has to wait for room
                for (int i = 0; i < gpool->queue_max; i++)
                    threadpool_add_task(
                        gpool, [](void *) {}, nullptr);
                w->token = add_task(Probe::run, &w->probe, 0, 0);
                wait_until([w] { return update_task(w->token, 0, 0) == -1; }, 10s);  // taken off the queue
            } else {
                wait_until([w] { return w->token != 0 && threadpool_task_size_lock(gpool) == 1; }, 10s);
            }
            int token = w->token;
            w->result = remove_task_wait(&token);
            w->done = true;
        }
    };
    for (bool full : {false, true}) {
        SCOPED_TRACE(full ? "handed over to a full list" : "queued in the list");
        Gate gate;
        hold_workers(gate, 1);
        Waiter waiter;
        waiter.probe.work = 10ms;
        waiter.fill = full;
        ASSERT_EQ(threadpool_add_task(gpool, Waiter::run, &waiter), 0);
        if (!full) {
            EXPECT_TRUE(wait_until([&] { return busy_workers() == 2; }));
            waiter.token = add_task(Probe::run, &waiter.probe, 0, 0);
        }
        const bool done = wait_until([&] { return waiter.done.load(); }, 10s);
        gate.release();
        ASSERT_TRUE(done) << "the waiting worker hung";
        EXPECT_EQ(waiter.result.load(), 0);
        EXPECT_EQ(waiter.probe.finished.load(), 1);
        EXPECT_EQ(waiter.probe.thread.load(), waiter.thread.load());
        EXPECT_EQ(waiter.probe.pending_seen.load(), full ? gpool->queue_max : 0);
        ASSERT_TRUE(wait_until([] { return threadpool_task_size_lock(gpool) == 0 && busy_workers() == 0; }));
    }
    EXPECT_EQ(capture_.count(" dropped: "), 0u);
}

// The stop waits for a removal under way (which still uses the pool) before the pool goes: the queued run is made
// before lib_common_exit returns, and the removal gives 0.
TEST(RemoveWaitStop, ExitWaitsForTheRemovalUnderWay)
{
    ASSERT_EQ(lib_common_init(), 0);
    Gate gate;
    hold_workers(gate, 2);
    Probe *probe = new Probe;
    probe->work = 10ms;
    int token = add_task(Probe::run, probe, 0, 0);
    ASSERT_TRUE(wait_until([] { return threadpool_task_size_lock(gpool) == 1; }));
    std::atomic<int> removed{1}, finished_at_exit{-1};
    std::atomic<pid_t> remover_tid{0};
    std::thread remover([&] {
        remover_tid = static_cast<pid_t>(syscall(SYS_gettid));
        removed = remove_task_wait(&token);
    });
    ASSERT_TRUE(wait_until([&] { return remover_tid != 0; }));
    ASSERT_TRUE(asleep(remover_tid));  // inside its wait
    std::thread exiter([&] {
        EXPECT_EQ(lib_common_exit(), 0);
        finished_at_exit = probe->finished.load();
    });
    std::this_thread::sleep_for(100ms);
    gate.release();
    remover.join();
    exiter.join();
    EXPECT_EQ(removed.load(), 0);
    EXPECT_EQ(finished_at_exit.load(), 1);
    delete probe;
}

// A hand-over the pool refuses (here: no pool) is dropped without a report: the one-shot entry is gone and its
// function never runs.  A second one-shot taken after it shows that the first hand-over has been made.
TEST_F(RemoveWait, AHandOverThePoolRefusesIsDroppedQuietly)
{
    threadpool *const pool = gpool;
    __atomic_store_n(&gpool, static_cast<threadpool *>(nullptr), __ATOMIC_RELEASE);
    Probe probe;
    const int token = add_task(Probe::run, &probe, 0, 0);
    const int later = add_task(Probe::run, &probe, 0, 0);
    const bool taken = wait_until([&] { return update_task(later, 0, 0) == -1; });
    __atomic_store_n(&gpool, pool, __ATOMIC_RELEASE);
    ASSERT_TRUE(taken);
    EXPECT_EQ(update_task(token, 0, 0), -1);
    ASSERT_EQ(threadpool_add_task_sync(
                  gpool, [](void *) {}, nullptr),
              0);
    EXPECT_EQ(probe.started.load(), 0);
    EXPECT_EQ(capture_.count(std::to_string(token)), 0u);
}
