// Delay queue: ordering by delta times, removal, tokens, firing each kind
// of entry and handing it to the pool.
#include "../threadpool/pool_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

using lc_test::Gate;

static const DelayInterval kForever(2147483647, 999999);
static const int64_t kSlackUs = 250000;  // a loaded machine, qemu, TSan

static int64_t us(const Timeval &t)
{
    return int64_t(t.seconds()) * 1000000 + t.useconds();
}

static std::vector<DelayQueueEntry *> ring(DelayQueue &q)
{
    std::vector<DelayQueueEntry *> out;
    for (DelayQueueEntry *e = q.head(); e != &q; e = e->next())
        out.push_back(e);
    return out;
}

static DelayQueueEntry *entry(int secs)
{
    return new DelayQueueEntry(DelayInterval(secs, 0));
}

static void count_up(void *arg)
{
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

static void *as_arg(int32_t token)
{
    return reinterpret_cast<void *>(static_cast<intptr_t>(token));
}

TEST(DelayQueue, OrdersByExpiryWithDeltasAndKeepsExpiriesOnRemoval)
{
    const int32_t before = DelayQueueEntry::tokenCounter;
    DelayQueue q;
    EXPECT_EQ(q.token(), before + 1);
    EXPECT_EQ(q.head(), &q);
    EXPECT_TRUE(q.timeToNextAlarm() == kForever);
    EXPECT_EQ(q.handleAlarm(), 0);

    DelayQueueEntry *three = entry(3), *one = entry(1), *two = entry(2), *twin = entry(2);
    EXPECT_EQ(three->token(), before + 2);
    for (DelayQueueEntry *e : {three, one, two, twin})
        q.addEntry(e);
    EXPECT_EQ(ring(q), (std::vector<DelayQueueEntry *>{one, two, twin, three}));
    for (DelayQueueEntry *e : {one, two, three})
        EXPECT_NEAR(us(e->remaining()), 1000000, kSlackUs);
    EXPECT_NEAR(us(twin->remaining()), 0, kSlackUs);  // equal delay: behind, a hair later
    EXPECT_NEAR(us(q.timeToNextAlarm()), 1000000, kSlackUs);

    q.removeEntry(two);
    q.removeEntry(twin);
    EXPECT_EQ(two->next(), nullptr);
    q.removeEntry(two);  // already out: nothing
    q.removeEntry(nullptr);
    q.removeEntry(&q);
    EXPECT_NEAR(us(three->remaining()), 2000000, kSlackUs);
    EXPECT_EQ(q.removeEntry(one->token()), one);
    EXPECT_NEAR(us(three->remaining()), 3000000, kSlackUs);

    // Token lookups that miss: removed, destroyed, 0, the queue's own.
    const int32_t gone = two->token();
    EXPECT_EQ(q.removeEntry(one->token()), nullptr);
    delete one;
    delete two;
    delete twin;
    for (int32_t token : {gone, 0, q.token()}) {
        EXPECT_EQ(q.findEntryByToken(token), nullptr);
        EXPECT_EQ(q.removeEntry(token), nullptr);
        EXPECT_EQ(q.updateEntry(token, DELAY_SECOND), -1);
    }

    // A parked entry goes behind every finite one; an entry destroyed while
    // queued leaves the ring and the next one keeps its expiry.
    DelayQueueEntry *parked = entry(9), *four = entry(4);
    ASSERT_EQ(q.updateEntry_Remaining(parked, kForever), 0);
    q.addEntry(four);
    EXPECT_EQ(ring(q), (std::vector<DelayQueueEntry *>{three, four, parked}));
    EXPECT_TRUE(parked->interval() == DelayInterval(9, 0));
    delete three;
    EXPECT_EQ(ring(q), (std::vector<DelayQueueEntry *>{four, parked}));
    EXPECT_NEAR(us(four->remaining()), 4000000, kSlackUs);
}

TEST(DelayQueue, UpdatesRequeueAndRefuseBadInput)
{
    DelayQueue q;
    DelayQueueEntry *a = entry(1), *b = entry(2);
    q.addEntry(a);
    q.addEntry(b);
    EXPECT_EQ(q.updateEntry(nullptr, DELAY_SECOND), -1);
    EXPECT_EQ(q.updateEntry_Remaining(nullptr, DELAY_SECOND), -1);
    EXPECT_EQ(q.updateEntry_reset(nullptr), -1);
    q.addEntry(nullptr);
    q.addEntry(a);  // already queued: stays where it is
    EXPECT_EQ(ring(q), (std::vector<DelayQueueEntry *>{a, b}));

    EXPECT_EQ(q.updateEntry(a->token(), DelayInterval(5, 0)), 0);
    EXPECT_EQ(ring(q), (std::vector<DelayQueueEntry *>{b, a}));
    EXPECT_NEAR(us(a->remaining()), 3000000, kSlackUs);
    EXPECT_EQ(q.updateEntry_Remaining(a, DELAY_ZERO), 0);
    EXPECT_EQ(q.head(), a);
    EXPECT_EQ(q.updateEntry_reset(a), 0);  // the kept interval, from now
    EXPECT_EQ(ring(q), (std::vector<DelayQueueEntry *>{b, a}));
    EXPECT_NEAR(us(a->remaining()), 3000000, kSlackUs);
}

// gpool becomes a one-worker pool whose worker is held, so that handed-over
// work stays visible in its list.
class HandOver : public ::testing::Test {
protected:
    void SetUp() override
    {
        pool_ = threadpool_create(1, 1, 15);
        ASSERT_NE(pool_, nullptr);
        ASSERT_EQ(threadpool_add_task(pool_, Gate::hold, &gate_), 0);
        ASSERT_TRUE(gate_.wait_inside(1));
        gpool = pool_;
    }
    void TearDown() override
    {
        gpool = nullptr;
        gate_.release();
        threadpool_destroy(pool_);
    }
    // (function, argument) of each pending task, oldest first.
    std::vector<std::pair<lc_task_fn, void *>> pending()
    {
        std::vector<std::pair<lc_task_fn, void *>> out;
        pthread_mutex_lock(&pool_->task_lock);
        for (threadpool_task *t = pool_->task_list->prev; t != pool_->task_list; t = t->prev)
            out.push_back({t->function, t->arg});
        pthread_mutex_unlock(&pool_->task_lock);
        return out;
    }
    void run_pending()
    {
        gate_.release();
        ASSERT_EQ(threadpool_add_task_sync(pool_, [](void *) {}, nullptr), 0);
    }
    threadpool *pool_ = nullptr;
    Gate gate_;
};

TEST_F(HandOver, EachKindIsFiredAndHandedOverAsItsKindRequires)
{
    std::atomic<int> once_ran{0}, kept_ran{0};
    DelayQueue q;
    AlarmHandler *once = new AlarmHandler(count_up, &once_ran, DELAY_ZERO);
    q.addEntry(once);
    const int kinds[3] = {TASK_FIXPERIOD, TASK_FIXDELAY, TASK_NODESTROY};
    AlarmHandler *kept[3];
    for (int i = 0; i < 3; i++) {
        kept[i] = new AlarmHandler(count_up, &kept_ran, DELAY_SECOND);
        kept[i]->kind = kinds[i];
        q.addEntry(kept[i]);
        ASSERT_EQ(q.updateEntry_Remaining(kept[i], DELAY_ZERO), 0);  // due now, interval 1 s
    }
    const int32_t once_token = once->token();
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(q.handleAlarm(), 1) << i;
    EXPECT_EQ(q.handleAlarm(), 0);

    // One-shot: gone.  Fixed period: re-armed one interval from now.  The
    // others: parked, interval kept; they never fire.
    EXPECT_EQ(q.findEntryByToken(once_token), nullptr);
    EXPECT_EQ(ring(q), (std::vector<DelayQueueEntry *>{kept[0], kept[1], kept[2]}));
    EXPECT_NEAR(us(q.timeToNextAlarm()), 1000000, kSlackUs);
    EXPECT_TRUE(kept[1]->interval() == DELAY_SECOND && kept[2]->interval() == DELAY_SECOND);
    const int32_t tokens[3] = {kept[0]->token(), kept[1]->token(), kept[2]->token()};
    delete q.removeEntry(tokens[0]);
    EXPECT_GT(q.timeToNextAlarm().seconds(), 2000000000);
    EXPECT_EQ(q.handleAlarm(), 0);

    // The pool got the one-shot task's own function, and the kept-task
    // runner with the token for the others.
    auto tasks = pending();
    ASSERT_EQ(tasks.size(), 4u);
    EXPECT_EQ(tasks[0], std::make_pair(lc_task_fn(count_up), static_cast<void *>(&once_ran)));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(tasks[i + 1], std::make_pair(lc_task_fn(existEntry_handle), as_arg(tokens[i])));
    run_pending();  // without the scheduler, the runner finds nothing
    EXPECT_EQ(once_ran.load(), 1);
    EXPECT_EQ(kept_ran.load(), 0);
}

TEST_F(HandOver, DueEntriesFireOnePerCallInRingOrder)
{
    DelayQueue q;
    std::atomic<int> ran[3] = {{0}, {0}, {0}};
    for (std::atomic<int> &r : ran)
        q.addEntry(new AlarmHandler(count_up, &r, DELAY_ZERO));
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(q.handleAlarm(), 1);
        EXPECT_EQ(pending().back().second, &ran[i]);
    }
    EXPECT_EQ(q.handleAlarm(), 0);

    // A fixed-period entry with a zero interval is due again at once.
    AlarmHandler *spin = new AlarmHandler(count_up, &ran[0], DELAY_ZERO);
    spin->kind = TASK_FIXPERIOD;
    q.addEntry(spin);
    EXPECT_EQ(q.handleAlarm(), 1);
    EXPECT_EQ(q.handleAlarm(), 1);
    EXPECT_EQ(q.head(), spin);
    run_pending();
    for (std::atomic<int> &r : ran)
        EXPECT_EQ(r.load(), 1);
}

TEST(DelayQueue, WithoutPoolOrSchedulerNothingRuns)
{
    ASSERT_EQ(gpool, nullptr);
    std::atomic<int> ran{0};
    DelayQueue q;
    q.addEntry(new AlarmHandler(count_up, &ran, DELAY_ZERO));  // dropped
    q.addEntry(new DelayQueueEntry(DELAY_ZERO));                // does nothing
    EXPECT_EQ(q.handleAlarm(), 1);
    EXPECT_EQ(q.handleAlarm(), 1);
    EXPECT_EQ(q.head(), &q);

    AlarmHandler *kept = new AlarmHandler(count_up, &ran, DELAY_SECOND);
    kept->kind = TASK_NODESTROY;
    q.addEntry(kept);  // a private queue is not the library's
    for (int32_t token : {kept->token(), 0, -5})
        existEntry_handle(as_arg(token));

    DelayQueue *doomed = new DelayQueue;  // destroys its entries unfired
    for (int i = 0; i < 3; i++)
        doomed->addEntry(new AlarmHandler(count_up, &ran, DelayInterval(i, 0)));
    delete doomed;
    EXPECT_EQ(ran.load(), 0);
}

TEST(DelayQueue, TokensStayUniqueWhenEntriesAreMadeOnManyThreads)
{
    std::vector<DelayQueueEntry *> made[4];
    std::vector<std::thread> threads;
    for (auto &list : made)
        threads.emplace_back([&list] {
            for (int i = 0; i < 500; i++)
                list.push_back(new DelayQueueEntry(DELAY_ZERO));
        });
    for (std::thread &t : threads)
        t.join();
    std::set<int32_t> tokens;
    for (auto &list : made)
        for (DelayQueueEntry *e : list) {
            EXPECT_GT(e->token(), 0);
            tokens.insert(e->token());
            delete e;
        }
    EXPECT_EQ(tokens.size(), 2000u);
}
