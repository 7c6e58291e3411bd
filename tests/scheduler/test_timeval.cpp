// Time values: constants, carry and borrow, clamping, scaling, comparisons,
// the monotonic clock.
#include "lc_test.h"

#include <gtest/gtest.h>

static ::testing::AssertionResult Is(const Timeval &t, int32_t secs, int32_t usecs)
{
    if (t.seconds() == secs && t.useconds() == usecs)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "(" << t.seconds() << ", " << t.useconds()
                                         << ") instead of (" << secs << ", " << usecs << ")";
}

// Read by a static initialiser of this program, which runs after the
// library is loaded but before main.
static const int32_t day_seen_at_start = DELAY_DAY.seconds();

TEST(Timeval, ConstantsAreSetBeforeAnyCodeRuns)
{
    EXPECT_EQ(day_seen_at_start, 86400);
    EXPECT_TRUE(Is(DELAY_ZERO, 0, 0));
    EXPECT_TRUE(Is(DELAY_SECOND, 1, 0));
    EXPECT_TRUE(Is(DELAY_MINUTE, 60, 0));
    EXPECT_TRUE(Is(DELAY_HOUR, 3600, 0));
    EXPECT_TRUE(Is(DELAY_DAY, 86400, 0));
    EXPECT_TRUE(Is(THE_END_OF_TIME, 2147483647, 0));
}

TEST(Timeval, AdditionCarriesOnceAndNeverNormalisesOtherwise)
{
    Timeval a(5, 999999);
    a += DelayInterval(0, 1);
    EXPECT_TRUE(Is(a, 6, 0));
    Timeval b(0, 999999);
    b += DelayInterval(0, 999999);
    EXPECT_TRUE(Is(b, 1, 999998));

    Timeval raw(0, 1500000);  // stays as built
    EXPECT_TRUE(Is(raw, 0, 1500000));
    raw += DELAY_ZERO;
    EXPECT_TRUE(Is(raw, 1, 500000));
    Timeval twice(0, 2500000);
    twice += DELAY_ZERO;  // one carry only
    EXPECT_TRUE(Is(twice, 1, 1500000));

    Timeval w(1, 2);
    w.secs() = 7;
    w.usecs() = 8;
    EXPECT_TRUE(Is(w, 7, 8));
}

TEST(Timeval, SubtractionBorrowsOnceAndClampsAtZero)
{
    struct {
        Timeval from;
        DelayInterval take;
        int32_t secs, usecs;
    } cases[] = {
        {Timeval(1, 0), DelayInterval(2, 0), 0, 0},
        {Timeval(3, 100), DelayInterval(3, 200), 0, 0},  // borrow gives -1 s, then clamp
        {Timeval(3, 100), DelayInterval(1, 200), 1, 999900},
        {Timeval(5, 0), DelayInterval(0, 1), 4, 999999},
        {Timeval(2, 5), DelayInterval(2, 5), 0, 0},
    };
    for (auto &c : cases) {
        Timeval t = c.from;
        t -= c.take;
        EXPECT_TRUE(Is(t, c.secs, c.usecs)) << c.from.seconds() << "," << c.from.useconds();
    }

    EXPECT_TRUE(Is(Timeval(5, 100) - Timeval(5, 200), 0, 0));
    EXPECT_TRUE(Is(Timeval(7, 0) - Timeval(5, 500000), 1, 500000));
    EXPECT_TRUE(Is(Timeval(5, 0) - Timeval(7, 0), 0, 0));
    EXPECT_TRUE(Is(_EventTime(10, 1) - _EventTime(10, 1), 0, 0));
}

TEST(Timeval, ScalingCarriesTheMicroseconds)
{
    EXPECT_TRUE(Is(60 * DelayInterval(1, 500000), 90, 0));
    EXPECT_TRUE(Is(3 * DelayInterval(0, 700000), 2, 100000));
    EXPECT_TRUE(Is(0 * DelayInterval(5, 5), 0, 0));
    EXPECT_TRUE(Is(-2 * DelayInterval(1, 600000), -3, -200000));  // carry truncates toward zero
    EXPECT_TRUE(Is(static_cast<int16_t>(1000) * DelayInterval(0, 999999), 999, 999000));
}

TEST(Timeval, ComparisonsAreSignedAndConsistent)
{
    const Timeval a(4, 20), same(4, 20);
    EXPECT_TRUE(a == same);
    EXPECT_TRUE(a >= same);
    EXPECT_FALSE(a > same);
    EXPECT_FALSE(a < same);
    EXPECT_FALSE(a != same);

    EXPECT_TRUE(Timeval(1, 0) < Timeval(1, 1));
    EXPECT_TRUE(Timeval(2, 0) > Timeval(1, 999999));
    EXPECT_FALSE(Timeval(1, 999999) >= Timeval(2, 0));
    EXPECT_TRUE(Timeval(-1, 0) < Timeval(0, 0));        // signed seconds
    EXPECT_TRUE(Timeval(0, -1) < Timeval(0, 0));        // signed microseconds
    EXPECT_TRUE(DelayInterval(3, 0) != _EventTime(3, 1));
    EXPECT_TRUE(THE_END_OF_TIME < DelayInterval(2147483647, 999999));
}

TEST(Timeval, TimeNowIsNormalisedAndNeverGoesBack)
{
    _EventTime prev = TimeNow();
    for (int i = 0; i < 20000; i++) {
        _EventTime now = TimeNow();
        ASSERT_GE(now.useconds(), 0);
        ASSERT_LE(now.useconds(), 999999);
        ASSERT_TRUE(now >= prev);
        prev = now;
    }
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    EXPECT_LE(std::abs(static_cast<long>(prev.seconds()) - static_cast<long>(ts.tv_sec)), 1L);
}
