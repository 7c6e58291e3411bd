// Delay queue: ordering by delta times, removal, tokens, firing each kind
// of entry and handing it to the pool.
#include "../threadpool/pool_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

using lc_test::Gate;
using namespace std::chrono_literals;

static const DelayInterval kForever(2147483647, 999999);
// What may pass between two calls on a loaded machine, under qemu or TSan.
static const int64_t kSlackUs = 250000;

static int64_t us(const Timeval &t)
{
    return int64_t(t.seconds()) * 1000000 + t.useconds();
}

static std::vector<int32_t> ring_tokens(DelayQueue &q)
{
    std::vector<int32_t> out;
    for (DelayQueueEntry *e = q.head(); e != &q; e = e->next())
        out.push_back(e->token());
    return out;
}

static DelayQueueEntry *entry(int secs)
{
    return new DelayQueueEntry(DelayInterval(secs, 0));
}

// Makes gpool a one-worker pool whose worker is held, so that handed-over
// work stays visible in its list; restores gpool afterwards.
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
    // (function, argument) of every pending task, oldest first.
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

static void count_up(void *arg)
{
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

static void *as_arg(int32_t token)
{
    return reinterpret_cast<void *>(static_cast<intptr_t>(token));
}

TEST(DelayQueue, NewQueueIsEmptyAndTakesAToken)
{
    const int32_t before = DelayQueueEntry::tokenCounter;
    DelayQueue q;
    EXPECT_EQ(q.token(), before + 1);
    EXPECT_EQ(q.head(), &q);
    EXPECT_TRUE(q.timeToNextAlarm() == kForever);
    EXPECT_EQ(q.handleAlarm(), 0);
    EXPECT_EQ(q.findEntryByToken(q.token()), nullptr);
    EXPECT_EQ(q.findEntryByToken(0), nullptr);
    DelayQueueEntry *e = entry(1);
    EXPECT_EQ(e->token(), before + 2);
    q.addEntry(e);
    EXPECT_EQ(q.findEntryByToken(q.token()), nullptr);  // the queue's own token never matches
    EXPECT_EQ(q.findEntryByToken(e->token()), e);
}

TEST(DelayQueue, EntriesAreOrderedByExpiryAsDeltas)
{
    DelayQueue q;
    DelayQueueEntry *three = entry(3), *one = entry(1), *two = entry(2);
    q.addEntry(three);
    q.addEntry(one);
    q.addEntry(two);
    EXPECT_EQ(ring_tokens(q), (std::vector<int32_t>{one->token(), two->token(), three->token()}));
    for (DelayQueueEntry *e : {one, two, three})
        EXPECT_NEAR(us(e->remaining()), 1000000, kSlackUs);
    EXPECT_NEAR(us(q.timeToNextAlarm()), 1000000, kSlackUs);

    // Equal delays: insertion order, the later one a hair behind.
    DelayQueueEntry *twin = entry(2);
    q.addEntry(twin);
    EXPECT_EQ(ring_tokens(q), (std::vector<int32_t>{one->token(), two->token(), twin->token(), three->token()}));
    EXPECT_NEAR(us(twin->remaining()), 0, kSlackUs);
    EXPECT_GE(us(twin->remaining()), 0);

    // A parked entry goes behind every finite one and adds nothing to them.
    DelayQueueEntry *parked = entry(9);
    ASSERT_EQ(q.updateEntry_Remaining(parked, kForever), 0);
    DelayQueueEntry *four = entry(4);
    q.addEntry(four);
    EXPECT_EQ(q.head()->next()->next()->next()->next(), four);
    EXPECT_EQ(four->next(), parked);
    EXPECT_EQ(parked->next(), &q);
    EXPECT_TRUE(parked->interval() == DelayInterval(9, 0));
}

TEST(DelayQueue, RemovalKeepsTheExpiryOfTheNextEntry)
{
    DelayQueue q;
    DelayQueueEntry *one = entry(1), *two = entry(2), *three = entry(3);
    for (DelayQueueEntry *e : {one, two, three})
        q.addEntry(e);
    q.removeEntry(two);
    EXPECT_EQ(two->next(), nullptr);
    EXPECT_EQ(two->prev(), nullptr);
    EXPECT_NEAR(us(three->remaining()), 2000000, kSlackUs);
    q.removeEntry(two);  // a second time: nothing
    q.removeEntry(nullptr);
    q.removeEntry(&q);
    EXPECT_EQ(ring_tokens(q), (std::vector<int32_t>{one->token(), three->token()}));
    EXPECT_NEAR(us(three->remaining()), 2000000, kSlackUs);

    EXPECT_EQ(q.removeEntry(one->token()), one);  // now the caller's
    EXPECT_NEAR(us(three->remaining()), 3000000, kSlackUs);
    EXPECT_EQ(q.removeEntry(one->token()), nullptr);
    EXPECT_EQ(q.removeEntry(0), nullptr);
    EXPECT_EQ(q.findEntryByToken(two->token()), nullptr);
    const int32_t gone = two->token();
    delete one;
    delete two;
    EXPECT_EQ(q.findEntryByToken(gone), nullptr);

    // An entry destroyed while queued leaves the ring first.
    DelayQueueEntry *five = entry(5);
    q.addEntry(five);
    delete three;
    EXPECT_EQ(ring_tokens(q), (std::vector<int32_t>{five->token()}));
    EXPECT_NEAR(us(five->remaining()), 5000000, kSlackUs);
}

TEST(DelayQueue, UpdatesRequeueAndRefuseBadInput)
{
    DelayQueue q;
    DelayQueueEntry *a = entry(1), *b = entry(2);
    q.addEntry(a);
    q.addEntry(b);
    EXPECT_EQ(q.updateEntry(nullptr, DELAY_SECOND), -1);
    EXPECT_EQ(q.updateEntry(0, DELAY_SECOND), -1);
    EXPECT_EQ(q.updateEntry(q.token(), DELAY_SECOND), -1);
    EXPECT_EQ(q.updateEntry_Remaining(nullptr, DELAY_SECOND), -1);
    EXPECT_EQ(q.updateEntry_reset(nullptr), -1);
    q.addEntry(nullptr);
    q.addEntry(a);  // already queued: stays where it is
    EXPECT_EQ(ring_tokens(q), (std::vector<int32_t>{a->token(), b->token()}));

    EXPECT_EQ(q.updateEntry(a->token(), DelayInterval(5, 0)), 0);
    EXPECT_EQ(ring_tokens(q), (std::vector<int32_t>{b->token(), a->token()}));
    EXPECT_TRUE(a->interval() == DelayInterval(5, 0));
    EXPECT_NEAR(us(a->remaining()), 3000000, kSlackUs);

    EXPECT_EQ(q.updateEntry_Remaining(a, DELAY_ZERO), 0);  // interval kept
    EXPECT_EQ(q.head(), a);
    EXPECT_TRUE(a->interval() == DelayInterval(5, 0));
    EXPECT_EQ(q.updateEntry_reset(a), 0);  // one interval from now
    EXPECT_EQ(q.head(), b);
    EXPECT_NEAR(us(a->remaining()), 3000000, kSlackUs);
}

TEST_F(HandOver, EachKindIsFiredAndHandedOverAsItsKindRequires)
{
    std::atomic<int> once_ran{0}, kept_ran{0};
    DelayQueue q;
    AlarmHandler *once = new AlarmHandler(count_up, &once_ran, DELAY_ZERO);
    once->kind = TASK_ONCE;
    AlarmHandler *kept[3];
    const int kinds[3] = {TASK_FIXPERIOD, TASK_FIXDELAY, TASK_NODESTROY};
    q.addEntry(once);
    for (int i = 0; i < 3; i++) {
        kept[i] = new AlarmHandler(count_up, &kept_ran, DELAY_SECOND);
        kept[i]->kind = kinds[i];
        q.addEntry(kept[i]);
        ASSERT_EQ(q.updateEntry_Remaining(kept[i], DELAY_ZERO), 0);  // due now, interval 1 s
    }
    const int32_t once_token = once->token();
    const int32_t kept_tokens[3] = {kept[0]->token(), kept[1]->token(), kept[2]->token()};

    for (int i = 0; i < 4; i++)
        EXPECT_EQ(q.handleAlarm(), 1) << i;
    EXPECT_EQ(q.handleAlarm(), 0);

    // The one-shot entry is gone; the fixed-period one is re-armed one
    // interval from now; the other two are parked with their interval.
    EXPECT_EQ(q.findEntryByToken(once_token), nullptr);
    EXPECT_EQ(ring_tokens(q), std::vector<int32_t>(kept_tokens, kept_tokens + 3));
    EXPECT_NEAR(us(q.timeToNextAlarm()), 1000000, kSlackUs);
    for (AlarmHandler *h : kept)
        EXPECT_TRUE(h->interval() == DELAY_SECOND);
    delete q.removeEntry(kept_tokens[0]);
    EXPECT_GT(q.timeToNextAlarm().seconds(), 2000000000);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(q.handleAlarm(), 0);

    // The pool got the one-shot task's own function, and the kept-task
    // runner with the token for the others.
    auto tasks = pending();
    ASSERT_EQ(tasks.size(), 4u);
    EXPECT_EQ(tasks[0].first, &count_up);
    EXPECT_EQ(tasks[0].second, &once_ran);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(tasks[i + 1].first, &existEntry_handle);
        EXPECT_EQ(tasks[i + 1].second, as_arg(kept_tokens[i]));
    }
    // The library's queue does not exist here: the runner finds nothing.
    run_pending();
    EXPECT_EQ(once_ran.load(), 1);
    EXPECT_EQ(kept_ran.load(), 0);
}

TEST_F(HandOver, DueEntriesFireOnePerCallInRingOrder)
{
    DelayQueue q;
    std::atomic<int> ran[3] = {{0}, {0}, {0}};
    for (std::atomic<int> &r : ran)
        q.addEntry(new AlarmHandler(count_up, &r, DELAY_ZERO));
    EXPECT_TRUE(q.timeToNextAlarm() == DELAY_ZERO);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(q.handleAlarm(), 1);
        auto tasks = pending();
        ASSERT_EQ(tasks.size(), size_t(i + 1));
        EXPECT_EQ(tasks.back().second, &ran[i]);
    }
    EXPECT_EQ(q.handleAlarm(), 0);
    EXPECT_EQ(q.head(), &q);

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

TEST(DelayQueue, HandOverWithoutAPoolIsDropped)
{
    ASSERT_EQ(gpool, nullptr);
    std::atomic<int> ran{0};
    DelayQueue q;
    q.addEntry(new AlarmHandler(count_up, &ran, DELAY_ZERO));
    DelayQueueEntry *plain = new DelayQueueEntry(DELAY_ZERO);  // does nothing when fired
    q.addEntry(plain);
    EXPECT_EQ(q.handleAlarm(), 1);
    EXPECT_EQ(q.handleAlarm(), 1);
    EXPECT_EQ(q.head(), &q);
    EXPECT_EQ(ran.load(), 0);

    // Entries still queued are destroyed unfired with the queue.
    DelayQueue *doomed = new DelayQueue;
    for (int i = 0; i < 3; i++)
        doomed->addEntry(new AlarmHandler(count_up, &ran, DelayInterval(i, 0)));
    delete doomed;
    EXPECT_EQ(ran.load(), 0);
}

TEST(DelayQueue, KeptTaskRunnerFindsNothingWithoutTheScheduler)
{
    std::atomic<int> ran{0};
    DelayQueue q;
    AlarmHandler *h = new AlarmHandler(count_up, &ran, DELAY_SECOND);
    h->kind = TASK_NODESTROY;
    q.addEntry(h);  // a private queue is not the library's
    existEntry_handle(as_arg(h->token()));
    existEntry_handle(as_arg(0));
    existEntry_handle(as_arg(-5));
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(q.head(), h);
}

TEST(DelayQueue, TokensStayUniqueWhenEntriesAreMadeOnManyThreads)
{
    const int kThreads = 4, kEach = 500;
    std::vector<std::vector<DelayQueueEntry *>> made(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; i++)
                made[t].push_back(new DelayQueueEntry(DELAY_ZERO));
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
    EXPECT_EQ(tokens.size(), size_t(kThreads * kEach));
}
