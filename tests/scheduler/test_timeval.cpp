// Time values: constants set at load, carry, borrow, clamp, scaling, comparisons, the clock.  Their layout is
// abi.matches_baseline's.
#include "lc_test.h"

#include <gtest/gtest.h>

using Pair = std::pair<int32_t, int32_t>;

static const auto P = [](const Timeval &t) { return Pair{t.seconds(), t.useconds()}; };

// Read by a static initialiser of this program, before main.
static const int32_t day_at_start = DELAY_DAY.seconds();

TEST(Timeval, ArithmeticCarriesOnceBorrowsOnceClampsAndComparesSigned)
{
    EXPECT_EQ(day_at_start, 86400);
    EXPECT_EQ(THE_END_OF_TIME.seconds(), 2147483647);
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
