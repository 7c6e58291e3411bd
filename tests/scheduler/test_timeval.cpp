// Time values: constants set at load, carry, borrow, clamp, scaling,
// comparisons, the clock.
#include "lc_test.h"

#include <gtest/gtest.h>

using Pair = std::pair<int32_t, int32_t>;

static Pair P(const Timeval &t) { return {t.seconds(), t.useconds()}; }

// Read by a static initialiser of this program, before main.
static const int32_t day_at_start = DELAY_DAY.seconds();

TEST(Timeval, ConstantsAreSetAtLoadAndArithmeticCarriesOnceBorrowsOnceAndClamps)
{
    EXPECT_EQ(day_at_start, 86400);
    EXPECT_EQ((std::vector<Pair>{P(DELAY_ZERO), P(DELAY_SECOND), P(DELAY_MINUTE), P(DELAY_HOUR), P(THE_END_OF_TIME)}),
              (std::vector<Pair>{{0, 0}, {1, 0}, {60, 0}, {3600, 0}, {2147483647, 0}}));
    struct Case {
        Pair a, b, sum, rest;  // a += b, a -= b
    } cases[] = {
        {{5, 999999}, {0, 1}, {6, 0}, {5, 999998}},
        {{0, 999999}, {0, 999999}, {1, 999998}, {0, 0}},
        {{1, 0}, {2, 0}, {3, 0}, {0, 0}},
        {{3, 100}, {3, 200}, {6, 300}, {0, 0}},  // borrow makes -1 s: clamped
        {{3, 100}, {1, 200}, {4, 300}, {1, 999900}},
        {{0, 1500000}, {0, 0}, {1, 500000}, {0, 1500000}},   // built un-normalised
        {{0, 2500000}, {0, 0}, {1, 1500000}, {0, 2500000}},  // one carry only
    };
    for (const Case &c : cases) {
        Timeval sum(c.a.first, c.a.second), rest = sum;
        sum += DelayInterval(c.b.first, c.b.second);
        rest -= DelayInterval(c.b.first, c.b.second);
        EXPECT_EQ(P(sum), c.sum) << c.a.first << "," << c.a.second;
        EXPECT_EQ(P(rest), c.rest) << c.a.first << "," << c.a.second;
    }
    EXPECT_EQ(P(Timeval(5, 100) - Timeval(5, 200)), Pair(0, 0));
    EXPECT_EQ(P(Timeval(7, 0) - Timeval(5, 500000)), Pair(1, 500000));
    EXPECT_EQ(P(Timeval(5, 0) - Timeval(7, 0)), Pair(0, 0));

    EXPECT_EQ(P(60 * DelayInterval(1, 500000)), Pair(90, 0));
    EXPECT_EQ(P(3 * DelayInterval(0, 700000)), Pair(2, 100000));
    EXPECT_EQ(P(-2 * DelayInterval(1, 600000)), Pair(-3, -200000));  // truncated toward zero
    EXPECT_EQ(P(1000 * DelayInterval(0, 999999)), Pair(999, 999000));
}

TEST(Timeval, ComparisonsAreSignedAndTheClockNeverGoesBack)
{
    const Timeval a(4, 20), same(4, 20);
    EXPECT_TRUE(a == same && a >= same && !(a > same) && !(a < same) && !(a != same));
    EXPECT_TRUE(Timeval(1, 0) < Timeval(1, 1) && Timeval(2, 0) > Timeval(1, 999999));
    EXPECT_TRUE(Timeval(-1, 0) < Timeval(0, 0) && Timeval(0, -1) < Timeval(0, 0));

    _EventTime prev = TimeNow();
    for (int i = 0; i < 20000; i++) {
        _EventTime now = TimeNow();
        ASSERT_TRUE(now.useconds() >= 0 && now.useconds() <= 999999);
        ASSERT_TRUE(now >= prev);
        prev = now;
    }
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    EXPECT_NEAR(prev.seconds(), ts.tv_sec, 1);
}
