// Stress: four threads churn tasks of all kinds while commands arrive and the main loop adjusts the pool.
#include "../lib_common/started_library.h"

#include <algorithm>
#include <random>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

enum Kind { ONCE, FIXPERIOD, FIXDELAY, NODESTROY, KINDS };
int (*const add[KINDS])(lc_task_fn, void *, long, long) = {add_task, add_fixperiod_task, add_fixdelay_task,
                                                           add_nodestroy_task};
std::atomic<bool> library_stopped{false};
std::atomic<int> runs_after_stop{0};
std::chrono::microseconds work;  // of every run: enough for the pool's list to fill up

struct Task {
    Kind kind = ONCE;
    int token = 0;                      // the owning churn thread's only
    std::atomic<int> runs{0}, late{0};  // late: runs entered once removal had returned
    std::atomic<bool> removed{false};
    bool waited = false;  // removed with remove_task_wait: no run may enter afterwards
};

void run(void *arg)
{
    Task *t = static_cast<Task *>(arg);
    runs_after_stop += library_stopped;
    t->late += t->removed;
    t->runs++;
    std::this_thread::sleep_for(work);
}

// Adds at a steady pace, re-times one of the last 16 now and then, and removes or leaves to run the one 16 before.
void churn(Task *tasks, int count, unsigned seed, Clock::duration pace, std::atomic<int> *done)
{
    std::mt19937 random(seed);
    int kept_left = 4;
    const auto start = Clock::now();
    for (int i = 0; i < count + 16; i++) {
        if (i < count) {
            std::this_thread::sleep_until(start + pace * i);
            Task &t = tasks[i];
            t.kind = static_cast<Kind>(random() % KINDS);
            t.token = add[t.kind](run, &t, 0, t.kind == ONCE ? random() % 20000 : 1000 + random() % 19000);
            const Task &r = tasks[i - random() % std::min(i + 1, 16)];
            // Re-timed now and then: only a fired one-shot's token is dead.
            EXPECT_TRUE(random() % 3 != 0 || update_task(r.token, 0, 1000 + random() % 19000) == 0 || r.kind == ONCE);
        }
        if (i < 16)
            continue;
        Task &old = tasks[i - 16];
        const bool keep = old.kind == ONCE ? random() % 2 == 0 : kept_left > 0 && random() % 4 == 0;
        kept_left -= keep && old.kind != ONCE;
        if (!keep) {
            old.waited = random() % 4 == 0;
            EXPECT_EQ(old.waited ? remove_task_wait(&old.token) : remove_task(&old.token), 0);
            old.removed = true;
        }
    }
    (*done)++;
}

}  // namespace

struct Stress : StartedLibrary {
    void SetUp() override
    {
        common_profile.pool_max_threads = 8;  // the binary's only test: nothing to put back
        common_profile.pool_adjust_enable = 1;
        StartedLibrary::SetUp();
    }
};

TEST_F(Stress, ChurnOfAllKindsWhileCommandsArriveAndThePoolAdjusts)
{
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    const int sanitized = 2;
#else
    const int sanitized = 1;
#endif
    // Work shrinks where everything runs slower; the pacing keeps about 2 s of churn.
    const int slow = getenv("LC_UNDER_VALGRIND") ? 20 : lc_test::under_emulation() ? 4 : sanitized;
    const int threads = 4, per_thread = 3000 / slow, total = threads * per_thread;
    work = std::chrono::microseconds(300 * slow);
    ASSERT_EQ(threadpool_adjust_limit(gpool, 8), 0);
    std::vector<Task> tasks(total);
    std::atomic<int> churned{0};
    std::vector<std::thread> churners;
    for (int c = 0; c < threads; c++)
        churners.emplace_back(churn, &tasks[c * per_thread], per_thread, c + 1u, 2000000us / per_thread, &churned);
    // The process's main loop, watching the pool's size, while commands go into the pipe, each write waited for.
    int most = 0, fewest_after_most = 0;
    auto step = [&] {
        lib_common_main();
        pthread_mutex_lock(&gpool->count_lock);
        const int n = gpool->live;
        pthread_mutex_unlock(&gpool->count_lock);
        fewest_after_most = n > most ? (most = n) : std::min(fewest_after_most, n);
    };
    const std::string batches[] = {"gpool=statistics;lib_level=debug;help=1",
                                   "dbg_time=1;gpool=add_task;lib_level=info", "gpool=print_task;help=1;dbg_time=0",
                                   "all_level=info;gpool=print_task;cc_level=err"};
    long writes = 0;  // of three commands each
    for (; churned < threads; writes++, step())
        EXPECT_TRUE(command(batches[writes % 4])) << batches[writes % 4];
    for (std::thread &t : churners)
        t.join();

    // Kept tasks still answer; slowed down, they let the pool idle back down.
    int kept_lost = 0;
    for (const Task &t : tasks)
        kept_lost += t.kind != ONCE && !t.removed && update_task(t.token, 0, 100000) != 0;
    const auto unrun = [&] {
        return std::count_if(tasks.begin(), tasks.end(),
                             [](const Task &t) { return t.kind == ONCE && !t.removed && t.runs == 0; });
    };
    EXPECT_TRUE(lc_test::wait_until([&] { return step(), unrun() == 0; }, 30s)) << unrun();
    EXPECT_TRUE(lc_test::wait_until([&] { return step(), fewest_after_most < most; }, 10s));
    // A removed task left running would run every few milliseconds: more late runs than workers caught mid-call.
    int once_runs = 0, too_late = 0, late_after_wait = 0;
    for (const Task &t : tasks) {
        once_runs += t.kind == ONCE && (t.removed ? t.runs > 1 : t.runs != 1);
        too_late += t.late > 8;
        late_after_wait += t.waited && t.late > 0;
    }
    ASSERT_EQ(lib_common_exit(), 0);
    library_stopped = true;
    for (const char *name : {"threadpool_work", "task_process"})
        EXPECT_TRUE(lc_test::wait_until([name] { return lc_test::threads_named(name) == 0; })) << name;
    EXPECT_EQ((std::vector<int>{once_runs, too_late, late_after_wait, kept_lost, runs_after_stop}),
              std::vector<int>(5, 0))
        << "one-shots that did not run once, removed tasks that kept running, tasks that ran after remove_task_wait "
           "had returned, kept tasks whose token no longer answers, runs after the stop";
    EXPECT_GT(most, 2) << "grew beyond the two workers it started with, then shrank to " << fewest_after_most;
}
