// Time values (carry, borrow, clamp, scaling, comparisons, the clock) and the delay queue: ordering by delta times,
// removal, tokens, firing each kind of entry.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <atomic>

using Ring = std::vector<DelayQueueEntry *>;
using Pair = std::pair<int32_t, int32_t>;

static const DelayInterval kForever(2147483647, 999999);
static const int64_t kSlackUs = 250000;  // a loaded machine, qemu, TSan

static const auto us = [](const Timeval &t) { return int64_t(t.seconds()) * 1000000 + t.useconds(); };
static const auto P = [](const Timeval &t) { return Pair{t.seconds(), t.useconds()}; };
static const lc_task_fn count_up = [](void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(1); };
static const lc_task_fn nothing = [](void *) {};

// Read by a static initialiser of this program, before main.
static const int32_t day_at_start = DELAY_DAY.seconds();

TEST(Timeval, ArithmeticCarriesOnceBorrowsOnceClampsAndComparesSigned)
{
    EXPECT_EQ((Pair{day_at_start, THE_END_OF_TIME.seconds()}), (Pair{86400, 2147483647}));
    struct Case {
        Pair a, b, sum, rest;  // a += b, a -= b
        int order;             // of a against b
    } cases[] = {
        {{5, 999999}, {0, 1}, {6, 0}, {5, 999998}, 1},
        {{0, 999999}, {0, 999999}, {1, 999998}, {0, 0}, 0},
        {{1, 0}, {2, 0}, {3, 0}, {0, 0}, -1},
        {{3, 100}, {3, 200}, {6, 300}, {0, 0}, -1},  // borrow makes -1 s: clamped
        {{3, 100}, {1, 200}, {4, 300}, {1, 999900}, 1},
        {{2, 500}, {1, 500}, {3, 1000}, {1, 0}, 1},             // no borrow for 0 microseconds
        {{0, 1500000}, {0, 0}, {1, 500000}, {0, 1500000}, 1},   // built un-normalised
        {{0, 2500000}, {0, 0}, {1, 1500000}, {0, 2500000}, 1},  // one carry only
        {{2, 0}, {1, 999999}, {3, 999999}, {0, 1}, 1},          // seconds first
        {{-1, 0}, {0, 0}, {-1, 0}, {0, 0}, -1},                 // signed
        {{0, -1}, {0, 0}, {0, -1}, {0, 0}, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.a) + " and " + ::testing::PrintToString(c.b));
        const Timeval a(c.a.first, c.a.second), b(c.b.first, c.b.second);
        Timeval sum = a, rest = a;
        sum += DelayInterval(c.b.first, c.b.second);
        rest -= DelayInterval(c.b.first, c.b.second);
        EXPECT_EQ((std::vector<Pair>{P(sum), P(rest)}), (std::vector<Pair>{c.sum, c.rest}));
        EXPECT_EQ((std::vector<bool>{a<b, a> b, a == b, a != b, a >= b}),
                  (std::vector<bool>{c.order<0, c.order> 0, c.order == 0, c.order != 0, c.order >= 0}));
    }
    EXPECT_EQ((std::vector<Pair>{P(Timeval(5, 100) - Timeval(5, 200)), P(Timeval(7, 0) - Timeval(5, 500000)),
                                 P(Timeval(5, 0) - Timeval(7, 0)), P(60 * DelayInterval(1, 500000)),
                                 P(3 * DelayInterval(0, 700000)), P(-2 * DelayInterval(1, 600000)),
                                 P(1000 * DelayInterval(0, 999999))}),
              (std::vector<Pair>{{0, 0}, {1, 500000}, {0, 0}, {90, 0}, {2, 100000}, {-3, -200000}, {999, 999000}}));

    const _EventTime before = TimeNow(), now = TimeNow();
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    EXPECT_TRUE(now >= before && now.useconds() >= 0 && now.useconds() <= 999999) << P(now).second;
    EXPECT_NEAR(now.seconds(), ts.tv_sec, 1) << "the monotonic clock";
}

static Ring ring(DelayQueue &q)
{
    Ring out;
    for (DelayQueueEntry *e = q.head(); e != &q; e = e->next())
        out.push_back(e);
    return out;
}

// Entries hold the delta to the one before; an equal delay goes behind its twin; taking an entry out (by pointer,
// token or destruction) hands its delta on; a parked entry stays behind every finite one.
TEST(DelayQueue, OrdersByDeltasAndKeepsExpiriesOnRemoval)
{
    DelayQueue q;
    EXPECT_TRUE(q.timeToNextAlarm() == kForever);
    auto entry = [](int secs) { return new DelayQueueEntry(DelayInterval(secs, 0)); };
    DelayQueueEntry *three = entry(3), *one = entry(1), *two = entry(2), *twin = entry(2);
    for (DelayQueueEntry *e : {three, one, two, twin})
        q.addEntry(e);
    EXPECT_EQ(ring(q), (Ring{one, two, twin, three}));
    for (DelayQueueEntry *e : {one, two, twin, three})
        EXPECT_NEAR(us(e->remaining()), e == twin ? 0 : 1000000, kSlackUs);

    for (DelayQueueEntry *e : {two, twin, two, (DelayQueueEntry *)nullptr, (DelayQueueEntry *)&q})
        q.removeEntry(e);  // then already out, null, the queue itself: nothing
    EXPECT_NEAR(us(three->remaining()), 2000000, kSlackUs);
    EXPECT_EQ(q.removeEntry(one->token()), one);
    EXPECT_NEAR(us(three->remaining()), 3000000, kSlackUs);
    const int32_t gone[2] = {one->token(), two->token()};
    for (DelayQueueEntry *e : {one, two, twin})
        delete e;
    for (int32_t token : {gone[0], gone[1], 0, q.token()}) {
        EXPECT_EQ((Ring{q.findEntryByToken(token), q.removeEntry(token)}), Ring(2, nullptr)) << token;
        EXPECT_EQ(q.updateEntry(token, DELAY_SECOND), -1) << token;
    }
    EXPECT_EQ((std::vector<int>{q.updateEntry(nullptr, DELAY_SECOND), q.updateEntry_Remaining(nullptr, DELAY_SECOND),
                                q.updateEntry_reset(nullptr)}),
              std::vector<int>(3, -1));
    q.addEntry(nullptr);
    q.addEntry(three);  // already queued: stays where it is

    DelayQueueEntry *parked = entry(9), *four = entry(4);
    ASSERT_EQ(q.updateEntry_Remaining(parked, kForever), 0);
    q.addEntry(four);
    EXPECT_EQ(ring(q), (Ring{three, four, parked}));
    EXPECT_TRUE(parked->interval() == DelayInterval(9, 0));
    delete three;
    EXPECT_EQ(ring(q), (Ring{four, parked}));
    EXPECT_NEAR(us(four->remaining()), 4000000, kSlackUs);
}

// One due entry per call, however many fell due since the last: a one-shot leaves and its own function goes to the
// pool; a fixed-period entry is re-armed one interval on; fixed-delay and persistent ones are parked, interval kept.
// The kept kinds reach the pool as their token's runner, which finds nothing on a queue not the scheduler's.
TEST(DelayQueue, HandleAlarmFiresEachKindAsItRequires)
{
    gpool = threadpool_create(1, 1, 15);
    ASSERT_NE(gpool, nullptr);
    std::atomic<int> once_ran{0}, kept_ran{0};
    DelayQueue q;
    AlarmHandler *kept[3];
    q.addEntry(new AlarmHandler(count_up, &once_ran, DELAY_ZERO));
    for (int i = 0; i < 3; i++) {
        kept[i] = new AlarmHandler(count_up, &kept_ran, DELAY_SECOND);
        kept[i]->kind = TASK_FIXPERIOD + i;  // then fixed delay, persistent
        q.addEntry(kept[i]);
        ASSERT_EQ(q.updateEntry_Remaining(kept[i], DelayInterval(0, i + 1)), 0);  // due at once, interval 1 s
    }
    const _EventTime added = TimeNow();
    while (TimeNow() - added < DelayInterval(0, 10)) {
    }
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(q.handleAlarm(), 1) << i;
    EXPECT_EQ(q.handleAlarm(), 0);
    EXPECT_EQ(ring(q), (Ring{kept[0], kept[1], kept[2]}));
    EXPECT_NEAR(us(q.timeToNextAlarm()), 1000000, kSlackUs);
    EXPECT_TRUE(kept[1]->interval() == DELAY_SECOND && kept[2]->interval() == DELAY_SECOND);
    delete q.removeEntry(kept[0]->token());
    EXPECT_GT(q.timeToNextAlarm().seconds(), 2000000000);  // only parked ones left
    EXPECT_EQ(q.handleAlarm(), 0);

    q.addEntry(new DelayQueueEntry(DELAY_ZERO));  // a plain entry: its timeout does nothing, then it is destroyed
    EXPECT_EQ(q.handleAlarm(), 1);
    EXPECT_EQ(ring(q), (Ring{kept[1], kept[2]}));

    ASSERT_EQ(threadpool_add_task_sync(gpool, nothing, nullptr), 0);  // one worker: all handed over ran
    EXPECT_EQ((std::vector<int>{once_ran, kept_ran, threadpool_destroy(gpool)}), (std::vector<int>{1, 0, 0}));
    gpool = nullptr;
}

// Tokens stay positive: after the largest one, and after a counter some program set below 1, the next is 1.
TEST(DelayQueue, TokensStartAgainAtOneAfterTheLargest)
{
    const int32_t saved = DelayQueueEntry::tokenCounter;
    for (const Pair &c : {Pair{INT32_MAX, 1}, Pair{0, 1}, Pair{-5, 1}, Pair{41, 42}}) {
        DelayQueueEntry::tokenCounter = c.first;
        EXPECT_EQ(DelayQueueEntry(DELAY_ZERO).token(), c.second) << c.first;
    }
    DelayQueueEntry::tokenCounter = saved;
}
