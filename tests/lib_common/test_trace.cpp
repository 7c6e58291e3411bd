// Trace output (syslog, stamp, output_hook, gate, hex dump) and the rate limiter; syslog and clock replaced at link.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <stdarg.h>
#include <sys/time.h>

using Records = std::vector<std::pair<int, std::string>>;  // priority, text
static Records syslog_records;
extern "C" void syslog(int priority, const char *fmt, ...)
{
    char text[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    syslog_records.push_back({priority, text});
}

static struct timeval fake_now;
static bool clock_fails = false;
extern "C" int gettimeofday(struct timeval *tv, void *)
{
    *tv = fake_now;
    return clock_fails ? -1 : 0;
}

// How many of `calls` calls of the limiter at the set time pass.
static int passing(ratelimit_state *rs, time_t sec, suseconds_t usec, int calls = 1)
{
    int passed = 0;
    for (fake_now = {sec, usec}; calls-- > 0;)
        passed += ___ratelimit(rs, "rl");
    return passed;
}

struct Trace : ::testing::Test {
    void SetUp() override { syslog_records.clear(); }
    lc_test::TraceCapture capture_;  // puts the hook and the levels back
};

// The stamp "ss.mmm" (second of the minute, millisecond) counts in the 1023.
TEST_F(Trace, SyslogGetsPiecesOf160WithoutALoneLastCharacterCutAt1023)
{
    dbgout_profile.output_hook = nullptr;
    fake_now = {1000123, 7890};
    const std::vector<size_t> cut = {160, 160, 160, 160, 160, 160, 63};
    const std::tuple<size_t, int, std::vector<size_t>> cases[] = {
        // length, stamp, pieces
        {0, 0, {0}},     {160, 0, {160}},    {161, 0, {160}}, {162, 0, {160, 2}}, {322, 0, {160, 160, 2}},
        {155, 1, {160}}, {156, 1, {160, 2}}, {5000, 0, cut},  {2000, 1, cut}};
    for (const auto &[length, stamp, pieces] : cases) {
        dbgout_profile.time_enable = stamp;
        syslog_records.clear();
        std::string text;
        for (size_t i = 0; i < length; i++)
            text += "%d%%.abc"[i % 8];  // printed, never read as a format
        xel_traceout(4, "%s", text.c_str());
        std::string rest = (stamp ? "43.007" : "") + text;
        Records want;
        for (size_t n : pieces) {
            want.push_back({4, rest.substr(0, n)});
            rest.erase(0, n);
        }
        EXPECT_EQ(syslog_records, want) << length;
    }
}

// The hook gets texts whole, syslog nothing; gated traces evaluate nothing; dumps list 32 bytes at most; stamps past
// 2038; an unformattable text (a wide character the C locale cannot write) is empty; no clock, no stamp.
TEST_F(Trace, HookGetsWholeTextsGatedTaggedStampedAndDumps)
{
    dbgout_profile.cc_level = 7;
    int evaluated = 0;
    XEL_TRACE(lib, 7, "hidden %d\n", ++evaluated);
    const std::string line = std::to_string(__LINE__ + 1);
    XEL_TRACE(cc, 7, "shown %s\n", "debug");
    const char *null_format = nullptr;
    EXPECT_EQ(xel_traceout(3, "%s|%d", std::string(400, 'z').c_str(), 7), 0);
    EXPECT_EQ(xel_traceout(6, null_format), 0);
    EXPECT_EQ(evaluated, 0);
    std::string bytes(40, '\xab');
    bytes[1] = 0x07;
    std::string listed;  // the first 32 bytes
    for (int i = 0; i < 32; i++)
        listed += i == 1 ? "0x07," : "0xab,";
    xel_traceout_raw(6, "rx", bytes.data(), 2);
    xel_traceout_raw(6, "none", bytes.data(), 0);
    xel_traceout_raw(6, "blk", bytes.data(), 40);
    xel_traceout_raw(6, nullptr, nullptr, 5);
    xel_traceout_raw(6, "neg", bytes.data(), -3);
    dbgout_profile.time_enable = 1;
    fake_now = {1000083, 999999};
    xel_traceout(6, "[lib %s +%-4d]no data yet\n\n", "fifo_handle", 57);
    const wchar_t wide[] = {0x100, 0};
    xel_traceout(6, "abc%ls", wide);
    fake_now = {INT64_C(2147483657), 250000};  // 2038, second 17 of its minute
    xel_traceout(6, "late\n");
    clock_fails = true;
    xel_traceout(6, "no stamp\n");
    clock_fails = false;
    EXPECT_EQ(capture_.texts(),
              (std::vector<std::string>{"[cc TestBody +" + line + std::string(4 - line.size(), ' ') + "]shown debug\n",
                                        std::string(400, 'z') + "|7", "rx [len:2],data:0xab,0x07,",
                                        "none [len:0],data:", "blk [len:40],data:" + listed, " [len:5],data:",
                                        "neg [len:-3],data:", "03.999[lib fifo_handle +57  ]no data yet\n\n", "03.999",
                                        "17.250late\n", "no stamp\n"}));
    EXPECT_TRUE(syslog_records.empty());
}

// A window lasts through begin + interval to the microsecond (a clock stepped back stays in it); the next call reports
// refusals ungated at 6.  The start keeps 32 bits of seconds, so windows span 2038 and 2106.
TEST_F(Trace, RateLimiterWindowsBurstsAndReports)
{
    struct Step {
        time_t sec;
        suseconds_t usec;
        int calls, passed;
        time_t begin = -1;  // the window's start after the step, when not -1
    };
    dbgout_profile.output_hook = nullptr;  // reports land in syslog, with their level
    ratelimit_state zero = {9, 9, 9, 9, {9, 9}};
    ratelimit_state_init(&zero, 0, 0);
    ratelimit_state_init(nullptr, 1, 1);
    int passed = passing(&zero, 1000, 0, 50) + ___ratelimit(nullptr, "null");
    for (int i = 0; i < 49; i++)
        passed += trace_ratelimit();
    EXPECT_EQ(passed, 100);
    EXPECT_EQ((std::vector<int64_t>{zero.missed, zero.printed, (int64_t)zero.begin.tv_sec}), std::vector<int64_t>(3));
    EXPECT_TRUE(syslog_records.empty());
    dbgout_profile.lib_level = dbgout_profile.cc_level = 0;
    const auto run = [](const char *name, int interval, int burst, int stamp, const std::vector<Step> &steps,
                        const Records &reports, ratelimit_time begin = {}) {
        SCOPED_TRACE(name);
        dbgout_profile.time_enable = stamp;
        syslog_records.clear();
        ratelimit_state rs;
        ratelimit_state_init(&rs, interval, burst);
        if (begin.tv_sec != 0)
            rs.begin = begin, rs.printed = 1;
        for (const Step &s : steps) {
            EXPECT_EQ(passing(&rs, s.sec, s.usec, s.calls), s.passed) << s.sec << "." << s.usec;
            EXPECT_TRUE(s.begin == -1 || rs.begin.tv_sec == s.begin) << s.sec << ": " << rs.begin.tv_sec;
        }
        EXPECT_EQ(syslog_records, reports);
    };
    const time_t last32 = 2147483647, wrap32 = INT64_C(4294967296);
    run("burst 0", 2, 0, 0, {{1000, 0, 3, 0}, {1002, 1, 1, 0}}, {{6, "rl: 3 callbacks suppressed\n"}});
    run("window", 5, 10, 0,
        {{1000, 600000, 12, 10},
         {900, 0, 1, 0},
         {1005, 600000, 1, 0},
         {1005, 600001, 11, 10},
         {1010, 600001, 1, 0},
         {1010, 600002, 1, 1}},
        {{6, "rl: 4 callbacks suppressed\n"}, {6, "rl: 2 callbacks suppressed\n"}});
    run("no refusal", 2, 3, 0, {{1000, 0, 3, 3}, {1003, 0, 3, 3, 1003}}, {});
    run("2038", 5, 2, 1,
        {{last32 - 2, 500000, 3, 2, last32 - 2}, {last32 + 3, 500000, 1, 0}, {last32 + 3, 500001, 1, 1, INT32_MIN + 2}},
        {{6, "10.500rl: 2 callbacks suppressed\n"}});
    run("2106", 5, 2, 1, {{wrap32 - 2, 0, 3, 2}, {wrap32 + 3, 0, 1, 0}, {wrap32 + 3, 1, 1, 1}},
        {{6, "19.000rl: 2 callbacks suppressed\n"}});
    run("carry", 2, 1, 0, {{1003, 999999, 1, 0}, {1004, 0, 1, 1}}, {{6, "rl: 1 callbacks suppressed\n"}},
        {1000, 1999999});
}
