// Stress: several threads add, re-time and remove thousands of tasks of all
// four kinds while commands arrive through the pipe and the main loop
// adjusts a pool that grows and shrinks.  Counted invariants at the end:
//  - a one-shot task that was not removed ran exactly once, a removed one
//    at most once (one already handed to the pool still runs);
//  - a removed kept task stops running: it may still enter a run it had
//    begun, never later ones;
//  - a fixed-delay task that was never re-timed never overlapped itself;
//    a persistent task ran at most once per arming;
//  - a kept task that was never removed still answers update_task;
//  - nothing runs after lib_common_exit; every token is distinct.
// Bounded in count and in time; the figures go to standard output.
#include "../lib_common/started_library.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <random>
#include <stdio.h>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

enum Kind { ONCE, FIXPERIOD, FIXDELAY, NODESTROY, KINDS };

std::atomic<bool> library_stopped{false};
std::atomic<int> runs_after_stop{0};

struct Task {
    Kind kind = ONCE;
    int token = 0;  // the owning churn thread's only
    int issued = 0; // the token add gave
    std::atomic<int> runs{0};
    std::atomic<int> running{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> late{0};    // runs entered once removal had returned
    std::atomic<int> armings{0}; // persistent kind: the start and every re-timing
    std::atomic<bool> retimed{false};
    std::atomic<bool> removed{false};
};

std::chrono::microseconds work; // of every run: enough for the pool's list to fill up

void run(void *arg)
{
    Task *t = static_cast<Task *>(arg);
    if (library_stopped)
        runs_after_stop++;
    if (t->removed)
        t->late++;
    if (t->running.fetch_add(1) != 0)
        t->overlaps++;
    t->runs++;
    std::this_thread::sleep_for(work);
    t->running--;
}

// Work shrinks where everything runs slower; the pacing keeps a few seconds.
int slowdown()
{
#if defined(__SANITIZE_THREAD__)
    const int sanitizer = 2;
#elif defined(__SANITIZE_ADDRESS__)
    const int sanitizer = 2;
#else
    const int sanitizer = 1;
#endif
    if (getenv("LC_UNDER_VALGRIND") != nullptr)
        return 20;
    return lc_test::under_emulation() ? 4 : sanitizer;
}

std::atomic<long> traces{0};
void count_trace(int32_t, const char *)
{
    traces++;
}

}  // namespace

class Stress : public StartedLibrary {
protected:
    void SetUp() override
    {
        saved_ = common_profile;
        common_profile.pool_max_threads = 8;
        common_profile.pool_adjust_enable = 1;
        StartedLibrary::SetUp();
    }
    void TearDown() override
    {
        StartedLibrary::TearDown();
        common_profile = saved_;
    }
    common_profile_t saved_{};
};

// One churn thread: adds its tasks at a steady pace, re-times a random live
// one now and then, and decides the fate of the oldest once its window is
// full: removed, or left to run (half the one-shots, and a few kept ones).
static void churn(Task *tasks, int count, unsigned seed, Clock::duration pace, std::atomic<int> *done)
{
    using add_fn = int (*)(lc_task_fn, void *, long, long);
    static const add_fn add[KINDS] = {add_task, add_fixperiod_task, add_fixdelay_task, add_nodestroy_task};
    std::mt19937 random(seed);
    std::deque<Task *> window;
    int kept_left = 4;
    auto retire = [&](Task *t) {
        const bool keep = t->kind == ONCE ? random() % 2 == 0 : kept_left > 0 && random() % 4 == 0;
        kept_left -= keep && t->kind != ONCE;
        if (keep)
            return;
        EXPECT_EQ(remove_task(&t->token), 0);
        EXPECT_EQ(t->token, 0);
        t->removed = true;
    };
    const auto start = Clock::now();
    for (int i = 0; i < count; i++) {
        std::this_thread::sleep_until(start + pace * i);
        Task *t = &tasks[i];
        t->kind = static_cast<Kind>(random() % KINDS);
        t->armings = 1;
        const long delay = t->kind == ONCE ? random() % 20000 : 1000 + random() % 19000;
        t->issued = t->token = add[t->kind](run, t, 0, delay);
        EXPECT_GT(t->token, 0);
        window.push_back(t);
        if (random() % 3 == 0) {
            Task *r = window[random() % window.size()];
            r->retimed = true;
            r->armings++;
            const int rc = update_task(r->token, 0, 1000 + random() % 19000);
            if (r->kind != ONCE)  // only a fired one-shot's token is dead
                EXPECT_EQ(rc, 0);
            else if (rc != 0)
                r->armings--;
        }
        if (window.size() > 16) {
            retire(window.front());
            window.pop_front();
        }
    }
    for (Task *t : window)
        retire(t);
    (*done)++;
}

TEST_F(Stress, ChurnOfAllKindsWhileCommandsArriveAndThePoolAdjusts)
{
    const int slow = slowdown();
    const int threads = 4, per_thread = 3000 / slow, total = threads * per_thread;
    const auto pace = std::chrono::microseconds(2000000 / per_thread);  // about 2 s of churn
    work = std::chrono::microseconds(300 * slow);
    ASSERT_EQ(threadpool_adjust_limit(gpool, 8), 0);
    __atomic_store_n(&dbgout_profile.output_hook, &count_trace, __ATOMIC_RELAXED);
    std::unique_ptr<Task[]> tasks(new Task[total]);
    const auto began = Clock::now();

    std::atomic<int> churned{0};
    std::vector<std::thread> churners;
    for (int c = 0; c < threads; c++)
        churners.emplace_back(churn, &tasks[c * per_thread], per_thread, c + 1u, pace, &churned);
    // Commands in small writes (one read each), every one waited for.
    static const std::pair<const char *, int> batches[] = {
        {"gpool=statistics;lib_level=debug", 2},
        {"dbg_time=1;gpool=add_task;lib_level=info", 3},
        {"gpool=print_task;help=1;dbg_time=0", 3},
        {"all_level=info;gpool=print_task;cc_level=err", 3},
    };
    long commands = 0, writes = 0;
    std::thread commander([&] {
        for (int b = 0; churned < threads; b = (b + 1) % 4, writes++) {
            EXPECT_TRUE(command(batches[b].first)) << batches[b].first;
            commands += batches[b].second;
        }
    });
    // The process's main loop, watching the pool's size.
    int most = 0, fewest_after_most = 0;
    auto live = [] {
        pthread_mutex_lock(&gpool->count_lock);
        const int n = gpool->live;
        pthread_mutex_unlock(&gpool->count_lock);
        return n;
    };
    auto step = [&] {
        lib_common_main();
        const int n = live();
        if (n > most)
            most = fewest_after_most = n;
        fewest_after_most = std::min(fewest_after_most, n);
        std::this_thread::sleep_for(2ms);
    };
    while (churned < threads)
        step();
    for (std::thread &t : churners)
        t.join();
    commander.join();
    const auto churn_end = Clock::now();

    // Kept tasks still answer; slowed down, they let the pool idle back
    // down, and the one-shots left to run all run.
    int kept = 0, kept_lost = 0;
    for (int i = 0; i < total; i++) {
        Task &t = tasks[i];
        if (t.kind != ONCE && !t.removed) {
            kept++;
            t.armings++;
            kept_lost += update_task(t.token, 0, 100000) != 0;
        }
    }
    auto unrun_once = [&] {
        int n = 0;
        for (int i = 0; i < total; i++)
            n += tasks[i].kind == ONCE && !tasks[i].removed && tasks[i].runs == 0;
        return n;
    };
    EXPECT_TRUE(lc_test::wait_until([&] { step(); return unrun_once() == 0; }, 30s)) << unrun_once();
    EXPECT_TRUE(lc_test::wait_until([&] { step(); return fewest_after_most < most; }, 10s));
    // Runs begun before a removal have long ended: no count but a kept
    // task's moves any more.
    std::this_thread::sleep_for(100ms);
    std::vector<int> before;
    for (int i = 0; i < total; i++)
        before.push_back(tasks[i].runs);
    std::this_thread::sleep_for(150ms);

    struct { int moved, once_runs, overlaps, over_armed, too_late, duplicate; } bad = {};
    int runs[KINDS] = {}, added[KINDS] = {}, removed = 0, retimed = 0, late[2] = {};
    for (int i = 0; i < total; i++) {
        Task &t = tasks[i];
        bad.moved += (t.kind == ONCE || t.removed) && t.runs != before[i];
        if (t.kind == ONCE)
            bad.once_runs += t.removed ? t.runs > 1 : t.runs != 1;
        bad.overlaps += t.kind == FIXDELAY && !t.retimed && t.overlaps > 0;
        bad.over_armed += t.kind == NODESTROY && t.runs > t.armings;
        bad.too_late += t.late > 8;  // more than the workers that can be caught between look-up and call
        added[t.kind]++, runs[t.kind] += t.runs, removed += t.removed, retimed += t.retimed;
        late[t.kind != ONCE] += t.late;
    }
    ASSERT_EQ(lib_common_exit(), 0);
    library_stopped = true;
    std::this_thread::sleep_for(50ms);
    const auto ended = Clock::now();

    std::vector<int> tokens;
    for (int i = 0; i < total; i++)
        tokens.push_back(tasks[i].issued);
    std::sort(tokens.begin(), tokens.end());
    bad.duplicate = static_cast<int>(tokens.end() - std::unique(tokens.begin(), tokens.end()));
    EXPECT_EQ(bad.moved, 0) << "tasks still running after removal";
    EXPECT_EQ(bad.once_runs, 0) << "one-shots that did not run once";
    EXPECT_EQ(bad.overlaps, 0) << "fixed-delay tasks that overlapped";
    EXPECT_EQ(bad.over_armed, 0) << "persistent tasks that ran more often than armed";
    EXPECT_EQ(bad.too_late, 0) << "removed tasks that kept running";
    EXPECT_EQ(kept_lost, 0) << "kept tasks whose token no longer answers";
    EXPECT_EQ(bad.duplicate, 0) << "tokens handed out twice";
    EXPECT_EQ(runs_after_stop, 0);
    EXPECT_GT(most, 2);  // grew beyond the two workers it started with
    EXPECT_LT(fewest_after_most, most);

    printf("stress: %d tasks scheduled by %d threads (%d one-shot, %d fixed-period, %d fixed-delay, "
           "%d persistent), %d re-timed, %d removed, %d kept to the end\n",
           total, threads, added[ONCE], added[FIXPERIOD], added[FIXDELAY], added[NODESTROY], retimed,
           removed, kept);
    printf("stress: %d runs (%d one-shot, %d fixed-period, %d fixed-delay, %d persistent), "
           "%d one-shots ran after their removal returned (already handed over), "
           "%d runs of kept tasks entered after it\n",
           runs[ONCE] + runs[FIXPERIOD] + runs[FIXDELAY] + runs[NODESTROY], runs[ONCE], runs[FIXPERIOD],
           runs[FIXDELAY], runs[NODESTROY], late[0], late[1]);
    printf("stress: %ld commands in %ld writes, %ld traces; pool grew from 2 to %d workers, then shrank to %d\n",
           commands, writes, traces.load(), most, fewest_after_most);
    printf("stress: %.2f s churning, %.2f s in all (slowdown factor %d)\n",
           std::chrono::duration<double>(churn_end - began).count(),
           std::chrono::duration<double>(ended - began).count(), slow);
}
