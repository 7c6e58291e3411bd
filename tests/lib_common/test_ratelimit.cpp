// Rate limiter: windows, bursts, the report of refused messages.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <sys/time.h>
#include <time.h>

// Link-time seam: the library reads the wall clock here, so that the test
// decides what time it is.  Without a fake time it tells the real time.
static bool fake_clock = false;
static struct timeval fake_now;

extern "C" int gettimeofday(struct timeval *tv, void *)
{
    if (fake_clock) {
        *tv = fake_now;
        return 0;
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}

class RateLimit : public ::testing::Test {
protected:
    void SetUp() override { set_time(1000, 0); }
    void TearDown() override { fake_clock = false; }
    static void set_time(long sec, long usec)
    {
        fake_now.tv_sec = sec;
        fake_now.tv_usec = usec;
        fake_clock = true;
    }
    lc_test::TraceCapture capture_;
};

TEST_F(RateLimit, IntervalZeroLetsEverythingThroughUncounted)
{
    ratelimit_state rs;
    ratelimit_state_init(&rs, 0, 0);
    for (int i = 0; i < 50; i++)
        EXPECT_EQ(___ratelimit(&rs, "off"), 1);
    EXPECT_EQ(rs.missed, 0);
    EXPECT_EQ(rs.printed, 0);
    EXPECT_EQ(rs.begin.tv_sec, 0);  // not even the clock was read
    EXPECT_TRUE(capture_.lines().empty());
}

TEST_F(RateLimit, InitClearsTheWholeRecord)
{
    ratelimit_state rs = {9, 9, 9, 9, {9, 9}};
    ratelimit_state_init(&rs, 5, 10);
    EXPECT_EQ(rs.interval, 5);
    EXPECT_EQ(rs.burst, 10);
    EXPECT_EQ(rs.printed, 0);
    EXPECT_EQ(rs.missed, 0);
    EXPECT_EQ(rs.begin.tv_sec, 0);
    EXPECT_EQ(rs.begin.tv_usec, 0);
}

TEST_F(RateLimit, BurstZeroRefusesAllAndReportsEachWindow)
{
    ratelimit_state rs;
    ratelimit_state_init(&rs, 2, 0);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(___ratelimit(&rs, "quiet"), 0);
    set_time(1002, 1);  // past the end of the first window
    EXPECT_EQ(___ratelimit(&rs, "quiet"), 0);
    EXPECT_EQ(capture_.texts(), std::vector<std::string>{"quiet: 3 callbacks suppressed\n"});
    EXPECT_EQ(rs.missed, 1);
}

TEST_F(RateLimit, BurstOfTenThenReportAtTheFirstCallAfterTheWindow)
{
    ratelimit_state rs;
    ratelimit_state_init(&rs, 5, 10);
    for (int i = 1; i <= 10; i++)
        EXPECT_EQ(___ratelimit(&rs, "trace_ratelimit"), 1) << "call " << i;
    EXPECT_EQ(___ratelimit(&rs, "trace_ratelimit"), 0);
    EXPECT_TRUE(capture_.lines().empty());

    // Exactly at the window end (begin + 5 s) still belongs to the old window.
    set_time(1005, 0);
    EXPECT_EQ(___ratelimit(&rs, "trace_ratelimit"), 0);
    EXPECT_TRUE(capture_.lines().empty());

    set_time(1005, 1);
    EXPECT_EQ(___ratelimit(&rs, "trace_ratelimit"), 1);
    auto lines = capture_.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 6);
    EXPECT_EQ(lines[0].text, "trace_ratelimit: 2 callbacks suppressed\n");
    EXPECT_EQ(rs.begin.tv_sec, 1005);
    EXPECT_EQ(rs.begin.tv_usec, 1);
    EXPECT_EQ(rs.printed, 1);
    EXPECT_EQ(rs.missed, 0);
}

TEST_F(RateLimit, WindowEndCarriesMicroseconds)
{
    ratelimit_state rs;
    ratelimit_state_init(&rs, 1, 1);
    set_time(1000, 600000);
    EXPECT_EQ(___ratelimit(&rs, "w"), 1);
    EXPECT_EQ(___ratelimit(&rs, "w"), 0);
    set_time(1001, 600000);  // end is (1001, 600000): still inside
    EXPECT_EQ(___ratelimit(&rs, "w"), 0);
    set_time(1001, 600001);
    EXPECT_EQ(___ratelimit(&rs, "w"), 1);
    EXPECT_EQ(capture_.count("w: 2 callbacks suppressed\n"), 1u);
}

TEST_F(RateLimit, ReportIsNotGatedByLevels)
{
    dbgout_profile.lib_level = 3;
    dbgout_profile.cc_level = 3;
    ratelimit_state rs;
    ratelimit_state_init(&rs, 1, 1);
    ___ratelimit(&rs, "gate");
    ___ratelimit(&rs, "gate");
    set_time(1002, 0);
    ___ratelimit(&rs, "gate");
    EXPECT_EQ(capture_.count("gate: 1 callbacks suppressed"), 1u);
}

TEST_F(RateLimit, ClockStepsMoveTheWindowEnd)
{
    ratelimit_state rs;
    ratelimit_state_init(&rs, 5, 1);
    EXPECT_EQ(___ratelimit(&rs, "step"), 1);
    set_time(900, 0);  // backwards: still the same window
    EXPECT_EQ(___ratelimit(&rs, "step"), 0);
    set_time(2000, 0);  // forwards: the window is over
    EXPECT_EQ(___ratelimit(&rs, "step"), 1);
}

TEST_F(RateLimit, TraceLimiterIsOpenUntilSetUp)
{
    for (int i = 0; i < 100; i++)
        EXPECT_EQ(trace_ratelimit(), 1);
}

TEST_F(RateLimit, NullLimiterLetsThrough)
{
    EXPECT_EQ(___ratelimit(nullptr, "null"), 1);
    ratelimit_state_init(nullptr, 1, 1);  // ignored, no crash
}
