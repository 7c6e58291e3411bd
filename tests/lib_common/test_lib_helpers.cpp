// lib_ helpers against the real shell and process list: trimming, numbers, time differences, commands, lookup.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <limits>
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

// Trimming (the fuzz corpus does more), INT_MIN, two numbers (bad: refused, nothing written), null input, errno 0.
TEST(LibHelpers, TrimDecimalTextAndTwoInts)
{
    for (auto fn : {lib_trim, trim}) {
        char text[] = "  \"a \"b\"\r\n", any[] = " any ", empty[] = "";
        EXPECT_EQ((std::vector<char *>{fn(text, nullptr), fn(any, ""), fn(empty, nullptr), fn(nullptr, nullptr)}),
                  (std::vector<char *>{text, any, empty, nullptr}));
        EXPECT_EQ(std::string(text) + "|" + any + "|" + empty, "a \"b| any |");
    }
    for (const auto &[n, text] : std::vector<std::pair<int32_t, std::string>>{
             {-2147483647 - 1, "-2147483648"}, {2147483647, "2147483647"}, {0, "0"}, {-1, "-1"}}) {
        char out[16] = "###############";
        lib_itoa(n, out);
        EXPECT_EQ(std::string(out, text.size() + 2), text + std::string("\0#", 2)) << n;
    }
    lib_itoa(5, nullptr);
    int32_t a = 7, b = 7;
    testing::internal::CaptureStdout();
    EXPECT_EQ((std::vector<int>{lib_get_two_int("12", &a, &b, ':'), lib_get_two_int("12", &a, &b, '\0')}),
              (std::vector<int>{-1, -1}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("two int should be like A:B.\ntwo int should be like A") + '\0' + "B.\n");
    EXPECT_EQ(
        (std::vector<int>{lib_get_two_int("1x1234567890123456", &a, &b, 'x'), lib_get_two_int(nullptr, &a, &b, 'x')}),
        (std::vector<int>{-1, -1}));
    EXPECT_EQ(std::make_pair(a, b), std::make_pair(7, 7));
    EXPECT_EQ(lib_get_two_int("000000000000042:abc", &a, &b, ':'), 0);
    EXPECT_EQ(std::make_pair(a, b), std::make_pair(42, 0));
    EXPECT_EQ(lib_strlen(nullptr), 0u);
    EXPECT_EQ(lib_strdup(nullptr), nullptr);
    char *room = lib_strdup_reserved_bytes("ab", 10);  // the sanitizers see 13 usable bytes
    EXPECT_STREQ(room, "ab");
    memset(room + 3, 'x', 10);
    EXPECT_EQ(lib_strdup_reserved_bytes(nullptr, 4), nullptr);
    free(room);
#if SIZE_MAX <= UINT32_MAX  // a reserve that would wrap a 32-bit size is refused, not given too little room
    EXPECT_EQ(lib_strdup_reserved_bytes("ab", UINT32_MAX), nullptr);
    EXPECT_EQ(lib_strdup_reserved_bytes("", UINT32_MAX), nullptr);
#endif
    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 7;
    errno = 0;
    lib_strerror("nothing");
    EXPECT_TRUE(capture.texts().empty());
}

// The names a program built with 64-bit time_t on a 32-bit target calls.
extern "C" int64_t lib_common_diff_msec_time64(struct timeval a, struct timeval b);
extern "C" int64_t lib_common_diff_us_time64(struct timeval a, struct timeval b);
extern "C" int64_t lib_common_diff_msec_timespec_time64(struct timespec a, struct timespec b);
extern "C" int64_t lib_common_diff_us_timespec_time64(struct timespec a, struct timespec b);

// Truncated toward zero; an end before the start gives 0; spans past 64 bits of microseconds clamp; both names agree.
TEST(LibHelpers, TimeDifferencesTruncateAndClamp)
{
    const time_t lo = std::numeric_limits<time_t>::min(), hi = std::numeric_limits<time_t>::max();
    const int64_t max_ms = INT64_MAX / 1000;
    const struct {
        bool nanos;  // timespec (the part below the second in ns), else timeval (in us)
        time_t a;
        long a_part;  // long, as tv_nsec is on every target
        time_t b;
        long b_part;
        int64_t msec, us;
    } cases[] = {
        {false, 10, 0, 12, 500000, 2500, 2500000},
        {false, -2147483647 - 1, 0, 2147483647, 0, INT64_C(4294967295000), INT64_C(4294967295000000)},
        {false, 12, 500000, 10, 0, 0, 0},
        {false, 2, 1, 2, 0, 0, 0},
        {false, lo, 0, hi, 0, max_ms, INT64_MAX},
        {false, hi, 0, lo, 0, 0, 0},
        {false, 0, 0, hi / 1000, 999999, max_ms, INT64_MAX},
        {true, 1, 1500, 2, 0, 999, 999999},  // -1.5 us truncates to -1
        {true, 0, 0, 2, 999999999, 2999, 2999999},
        {true, 0, 5000, 0, 1000, 0, 0},
        {true, 3, 0, 2, 0, 0, 0},
        {true, lo, 999999999, hi, -999999999, max_ms, INT64_MAX},
        {true, hi, 0, lo, 0, 0, 0},
    };
    for (const auto &c : cases) {
        std::vector<int64_t> got;
        if (c.nanos) {
            const struct timespec a = {c.a, c.a_part}, b = {c.b, c.b_part};
            got = {lib_common_diff_msec_timespec(a, b), lib_common_diff_msec_timespec_time64(a, b),
                   lib_common_diff_us_timespec(a, b), lib_common_diff_us_timespec_time64(a, b)};
        } else {
            const struct timeval a = {c.a, c.a_part}, b = {c.b, c.b_part};
            got = {lib_common_diff_msec(a, b), lib_common_diff_msec_time64(a, b), lib_common_diff_us(a, b),
                   lib_common_diff_us_time64(a, b)};
        }
        EXPECT_EQ(got, (std::vector<int64_t>{c.msec, c.msec, c.us, c.us}))
            << c.a << "." << c.a_part << " to " << c.b << "." << c.b_part;
    }
}

// Output lines kept until one is cut; tagged ones traced ungated in pieces of 255.  Too long a name is refused.
TEST(LibHelpers, CommandOutputAndFindPid)
{
    lc_test::TraceCapture capture;
    char out[16] = "###############", name[16];
    EXPECT_EQ(lib_popen2("printf 'abc\\ndefgh\\nxyz\\n'", out, 8, nullptr), 0);
    EXPECT_EQ(std::string(out, 9), std::string("abc\nde\0##", 9));
    EXPECT_EQ(
        (std::vector<int>{lib_popen2("echo abc", out + 8, 1, nullptr), lib_popen2("echo abc", nullptr, 8, nullptr),
                          lib_popen("echo 123456789", out + 9, 4), lib_popen2(nullptr, out, 8, nullptr)}),
        (std::vector<int>{0, 0, 0, -1}));
    EXPECT_EQ(std::string(out + 8, 6), "#1234#");
    capture.clear();
    dbgout_profile.lib_level = 0;
    EXPECT_EQ(lib_popen2("echo one; printf '%0300d\\n' 0", out, 8, "T"), 0);
    EXPECT_EQ(capture.texts(),
              (std::vector<std::string>{"T:one\n", "T:" + std::string(255, '0'), "T:" + std::string(45, '0') + "\n"}));
    snprintf(name, sizeof name, "lcf%d", static_cast<int>(getpid()));
    pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_NAME, name, 0, 0, 0);
        for (;;)
            pause();
    }
    int32_t found = 0;  // the child renames itself after the fork: poll until ps shows it
    lc_test::wait_until([&] { return (found = lib_find_pid(name)) == child; }, std::chrono::seconds(10));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(found, child);
    const std::string none = "no_such_process_" + std::to_string(getpid());
    EXPECT_EQ((std::vector<int>{lib_find_pid(none.c_str()), lib_find_pid(std::string(105, 'q').c_str()),
                                lib_find_pid(nullptr)}),
              std::vector<int>(3));
}

// Starts traced by the function called (lib_system by lib_popen); with no free descriptor: -1 and errno's trace.
TEST(LibHelpers, CommandStartsAreTracedAndMayFail)
{
    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 6;
    dbgout_profile.time_enable = 0;
    EXPECT_EQ(
        (std::vector<int>{lib_popen2("true", nullptr, 0, nullptr), lib_popen("true", nullptr, 0), lib_system("true")}),
        std::vector<int>(3));
    testing::internal::CaptureStderr();
    struct rlimit saved, none;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    none = {0, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    char out[8] = "#######";
    const std::vector<int> got = {lib_popen2("echo x", out, sizeof out, nullptr), lib_popen("echo y", out, sizeof out),
                                  lib_find_pid("init")};  // in this order: the traces below
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(got, (std::vector<int>{-1, -1, 0}));
    EXPECT_STREQ(out, "#######");
    const std::string file = "lib_common/lib_helpers.cpp";
    const std::string popen2 = lc_test::traced_tag("lib", file, "lib_popen2", "popen:") + "popen:";
    const std::string popen = lc_test::traced_tag("lib", file, "lib_popen", "popen:") + "popen:";
    const std::string error = lc_test::traced_tag("lib", file, "lib_strerror", "%s errno:");
    const std::string no_descriptor = "errno:" + std::to_string(EMFILE) + " " + strerror(EMFILE) + "\n";
    EXPECT_EQ(capture.texts(), (std::vector<std::string>{popen2 + "true\n", popen + "true\n", popen + "true\n",
                                                         popen2 + "echo x\n", error + "echo x " + no_descriptor,
                                                         popen + "echo y\n", error + "echo y " + no_descriptor}));
    EXPECT_NE(err.find("DBG_ERR:lib_common lib_find_pid["), std::string::npos) << err;
    EXPECT_NE(err.find("] fopen ps|grep \"init\"|grep -v grep failed\n"), std::string::npos) << err;
}
