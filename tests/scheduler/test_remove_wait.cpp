// Waiting removal: the caller frees the task's argument right after remove_task_wait, so a run still under way would
// touch freed memory (ASan and TSan builds report it; the run counts say it everywhere), and a run the pool had not
// started must never start.  Also the refusals, bad input, the stop, and hand-overs the pool refuses.
#include "../lib_common/started_library.h"

#include <future>
#include <sys/syscall.h>
#include <thread>

using namespace std::chrono_literals;
using lc_test::Gate;
using lc_test::wait_until;

namespace {

// A task's argument: the function counts its start, works (or waits at a gate), then writes to it once more.
struct Probe {
    std::atomic<int> started{0}, finished{0};
    std::chrono::milliseconds work{100};
    Gate *gate = nullptr;

    static void run(void *arg)
    {
        Probe *p = static_cast<Probe *>(arg);
        p->started++;
        if (p->gate != nullptr)
            Gate::hold(p->gate);
        else
            std::this_thread::sleep_for(p->work);
        p->finished++;
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

// Gives the held workers back and waits until they have run whatever was queued before.
void drain(Gate &gate)
{
    gate.release();
    ASSERT_EQ(threadpool_add_task_sync(
                  gpool, [](void *) {}, nullptr),
              0);
    ASSERT_TRUE(wait_until([] { return busy_workers() == 0; }));
}

pid_t own_tid()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

int (*const adders[])(lc_task_fn, void *, long, long) = {add_task, add_fixperiod_task, add_fixdelay_task,
                                                         add_nodestroy_task};

}  // namespace

class RemoveWait : public StartedLibrary {};

// A run that has begun, of every kind (a slow fixed-period task has several under way at once, and more handed
// over), has ended when the call returns; the argument is freed at once.
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

// A one-shot run the pool has not started is taken back and never starts: queued in the list, or being handed to a
// full list by the scheduler; removed from an application thread, or from a task on the only free worker.  The call
// waits for none of the held workers.
TEST_F(RemoveWait, ARunNotStartedIsTakenBackAndNeverStarts)
{
    struct Remover {
        Probe probe;  // the task taken back
        bool full = false;
        std::atomic<int> result{1}, token{-1};
        std::atomic<bool> done{false};
        static void run(void *arg)
        {
            Remover *r = static_cast<Remover *>(arg);
            if (r->full)  // the scheduler's hand-over has to wait for room
                for (int i = 0; i < gpool->queue_max; i++)
                    threadpool_add_task(
                        gpool, [](void *) {}, nullptr);
            int token = add_task(Probe::run, &r->probe, 0, 0);
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
            EXPECT_EQ(remover.result.load(), 0);
            EXPECT_EQ(remover.token.load(), 0);
            EXPECT_EQ(remover.probe.started.load(), 0);
        }
    }
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
// one-shot run queued in the pool, which is left alone.
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
    EXPECT_EQ(threadpool_task_size_lock(gpool), 1);
    drain(gate);
    EXPECT_TRUE(returned) << "a call with bad input waited";
    EXPECT_EQ(calls.get(), (std::vector<int>{-1, 0, 0, 0, 0}));
    EXPECT_EQ(probe.finished.load(), 1);
    EXPECT_EQ(lib_common_exit(), 0);

    token = 7;
    EXPECT_EQ(remove_task_wait(nullptr), -1);
    EXPECT_EQ(remove_task_wait(&token), -1);
    EXPECT_EQ(token, 7);
}

// The stop waits for a removal under way (which still uses the pool) before the pool goes: the run it waits for
// ends before lib_common_exit returns, and the removal gives 0.
TEST(RemoveWaitStop, ExitWaitsForTheRemovalUnderWay)
{
    ASSERT_EQ(lib_common_init(), 0);
    Gate gate;
    Probe *probe = new Probe;
    probe->gate = &gate;
    int token = add_task(Probe::run, probe, 0, 0);
    ASSERT_TRUE(wait_until([&] { return probe->started == 1; }));
    std::atomic<int> removed{1}, finished_at_exit{-1};
    std::atomic<pid_t> remover_tid{0}, exiter_tid{0};
    std::thread remover([&] {
        remover_tid = own_tid();
        removed = remove_task_wait(&token);
    });
    ASSERT_TRUE(wait_until([&] { return remover_tid != 0; }));
    ASSERT_TRUE(lc_test::asleep(remover_tid));  // inside its wait
    std::thread exiter([&] {
        exiter_tid = own_tid();
        EXPECT_EQ(lib_common_exit(), 0);
        finished_at_exit = probe->finished.load();
    });
    ASSERT_TRUE(wait_until([&] { return exiter_tid != 0; }));
    EXPECT_TRUE(lc_test::asleep(exiter_tid));  // waiting for the removal
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
