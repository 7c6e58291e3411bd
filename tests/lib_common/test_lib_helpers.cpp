// lib_ helpers: time differences, strings, errno report, shell commands and
// the process lookup, against the real shell and process list.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

static struct timeval tv(long s, long us) { return {s, us}; }
static struct timespec ts(long s, long ns) { return {s, ns}; }

TEST(LibHelpers, TimeDifferencesTruncateAndClampToZero)
{
    EXPECT_EQ(lib_common_diff_msec(tv(1, 999999), tv(2, 0)), 0);
    EXPECT_EQ(lib_common_diff_msec(tv(10, 0), tv(12, 500000)), 2500);
    EXPECT_EQ(lib_common_diff_msec(tv(12, 500000), tv(10, 0)), 0);
    EXPECT_EQ(lib_common_diff_us(tv(-2147483647 - 1, 0), tv(2147483647, 0)), INT64_C(4294967295000000));
    EXPECT_EQ(lib_common_diff_us(tv(2, 1), tv(2, 0)), 0);
    EXPECT_EQ(lib_common_diff_us_timespec(ts(0, 999), ts(0, 1001)), 0);
    EXPECT_EQ(lib_common_diff_us_timespec(ts(1, 1500), ts(2, 0)), 999999);  // -1.5 us truncates to -1
    EXPECT_EQ(lib_common_diff_us_timespec(ts(0, 5000), ts(0, 1000)), 0);
    EXPECT_EQ(lib_common_diff_msec_timespec(ts(0, 0), ts(2, 999999999)), 2999);
    EXPECT_EQ(lib_common_diff_msec_timespec(ts(3, 0), ts(2, 0)), 0);
}

TEST(LibHelpers, StringCopiesDecimalTextAndTwoInts)
{
    EXPECT_TRUE(lib_strdup(nullptr) == nullptr && lib_strdup_reserved_bytes(nullptr, 4) == nullptr);
    EXPECT_EQ(lib_strlen(nullptr), 0u);
    char *room = lib_strdup_reserved_bytes("ab", 10);
    EXPECT_STREQ(room, "ab");
    memset(room + 3, 'x', 10);  // the sanitizers see 13 usable bytes
    free(room);

    const std::pair<int32_t, const char *> numbers[] = {
        {0, "0"}, {-5, "-5"}, {10, "10"}, {2147483647, "2147483647"}, {-2147483647 - 1, "-2147483648"}};
    for (const auto &c : numbers) {
        char out[16];
        memset(out, '#', sizeof out);
        lib_itoa(c.first, out);
        EXPECT_STREQ(out, c.second);
        EXPECT_EQ(out[12], '#');
    }

    struct { const char *text; char sep; int32_t a, b; } pairs[] = {
        {"1920x1080", 'x', 1920, 1080}, {"12:abc", ':', 12, 0}, {":5", ':', 0, 5},
        {"1,2,3", ',', 1, 2}, {"000000000000042x-1", 'x', 42, -1}};
    for (const auto &c : pairs) {
        int32_t a = 7, b = 7;
        EXPECT_EQ(lib_get_two_int(c.text, &a, &b, c.sep), 0) << c.text;
        EXPECT_EQ(a * 100000 + b, c.a * 100000 + c.b) << c.text;
    }
    // A missing separator, or a part longer than the 15-character work text.
    int32_t a = 11, b = 22;
    CaptureStdout();
    EXPECT_EQ(lib_get_two_int("1920-1080", &a, &b, 'x'), -1);
    EXPECT_EQ(lib_get_two_int("1x1234567890123456", &a, &b, 'x'), -1);
    EXPECT_EQ(lib_get_two_int("1234567890123456x1", &a, &b, 'x'), -1);
    EXPECT_EQ(GetCapturedStdout(),
              "two int should be like AxB.\ntwo int should be like AxB.\ntwo int should be like AxB.\n");
    EXPECT_EQ(a * 100 + b, 1122);
    EXPECT_EQ(lib_get_two_int(nullptr, &a, &b, 'x') + lib_get_two_int("1x2", nullptr, &b, 'x'), -2);
}

TEST(LibHelpers, ThreadIdsAndErrnoReport)
{
    EXPECT_EQ(lib_getpid(), getpid());
    long other = 0, expected = 0;
    std::thread([&] { other = lib_getpid(), expected = syscall(SYS_gettid); }).join();
    EXPECT_EQ(other, expected);
    EXPECT_NE(other, getpid());

    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 6;
    errno = 0;
    lib_strerror("quiet");
    errno = ENOENT;
    lib_strerror("open x");
    dbgout_profile.lib_level = 5;
    lib_strerror("gated");
    ASSERT_EQ(capture.texts().size(), 1u);
    EXPECT_EQ(capture.texts()[0].rfind("[lib lib_strerror +", 0), 0u);
    EXPECT_TRUE(capture.contains("]open x errno:2 No such file or directory\n"));
}

TEST(LibHelpers, CommandOutputIsCollectedCutOrTraced)
{
    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 6;
    const char *cmd = "printf 'abc\\ndefgh\\nxyz\\n'";
    char out[16];
    memset(out, '#', sizeof out);
    EXPECT_EQ(lib_popen2(cmd, out, 8, nullptr), 0);
    EXPECT_EQ(std::string(out, 16), std::string("abc\nde\0#########", 16));  // later lines dropped
    EXPECT_TRUE(capture.contains(std::string("]popen:") + cmd + "\n"));
    memset(out, '#', sizeof out);
    EXPECT_EQ(lib_popen2("true", out, 8, nullptr), 0);  // no output: untouched
    EXPECT_EQ(lib_popen2("echo abc", out, 1, nullptr), 0);
    EXPECT_EQ(lib_popen2("echo abc", nullptr, 8, nullptr), 0);
    EXPECT_EQ(out[0], '#');

    capture.clear();
    dbgout_profile.lib_level = 0;  // the tagged lines are not gated
    EXPECT_EQ(lib_popen2("echo one; printf '%0300d\\n' 0", out, 8, "T"), 0);
    EXPECT_EQ(capture.texts(), (std::vector<std::string>{"T:one\n", "T:" + std::string(255, '0'),
                                                         "T:" + std::string(45, '0') + "\n"}));
    EXPECT_EQ(out[0], '#');

    memset(out, '#', sizeof out);
    EXPECT_EQ(lib_popen("echo 123456789", out, 4), 0);
    EXPECT_EQ(std::string(out, 5), "1234#");
    // The command has ended on return; a failing status still gives 0.
    std::string file = "/tmp/lc_popen_" + std::to_string(getpid());
    EXPECT_EQ(lib_system(("sleep 0.2; echo x > " + file + "; exit 3").c_str()), 0);
    EXPECT_EQ(unlink(file.c_str()), 0);
    EXPECT_EQ(lib_system(nullptr), -1);
    EXPECT_EQ(lib_popen2(nullptr, out, 8, nullptr), -1);
}

// Without room for a pipe's descriptors no command can start.  The child
// checks and reports failed checks as exit-code bits.
TEST(LibHelpers, CommandsThatCannotStartAreReported)
{
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        lc_test::TraceCapture capture;
        dbgout_profile.lib_level = 6;
        CaptureStderr();
        struct rlimit old, lim;
        getrlimit(RLIMIT_NOFILE, &old);
        lim = old;
        lim.rlim_cur = static_cast<rlim_t>(dup(0));  // the lowest free descriptor
        close(static_cast<int>(lim.rlim_cur));
        setrlimit(RLIMIT_NOFILE, &lim);
        int code = (lib_popen2("echo x", nullptr, 0, nullptr) != -1) | (lib_system("echo x") != -1) << 1 |
                   (lib_find_pid("init") != 0) << 2;
        setrlimit(RLIMIT_NOFILE, &old);
        std::string err = GetCapturedStderr();
        code |= (capture.count("]popen:echo x\n") != 2 || capture.count("]echo x errno:24 ") != 2) << 3;
        code |= (err.find("DBG_ERR:lib_common lib_find_pid[") != 0 ||
                 err.find("] fopen ps|grep \"init\"|grep -v grep failed\n") == std::string::npos) << 4;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "failed checks (bits): " << WEXITSTATUS(status);
}

TEST(LibHelpers, FindPidByNameOrZero)
{
    char name[16];
    snprintf(name, sizeof name, "lcf%d", static_cast<int>(getpid()));
    pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_NAME, name, 0, 0, 0);
        for (;;)
            pause();
    }
    lc_test::TraceCapture capture;
    dbgout_profile.cc_level = 6;
    int32_t found = 0;
    // The child renames itself after the fork: poll until ps shows it.
    lc_test::wait_until([&] { return (found = lib_find_pid(name)) == child; }, std::chrono::seconds(10));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(found, child);
    EXPECT_TRUE(capture.contains("[cc lib_find_pid +"));
    EXPECT_TRUE(capture.contains("]popen res:"));
    EXPECT_TRUE(capture.contains("]find pid: " + std::string(name) + ":" + std::to_string(child) + "\n\n"));

    std::string none = "no_such_process_" + std::to_string(getpid()), longest(104, 'q');
    CaptureStderr();
    EXPECT_EQ(lib_find_pid(none.c_str()), 0);
    EXPECT_EQ(lib_find_pid(longest.c_str()), 0);  // still fits the command
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err.find("DBG_ERR:lib_common lib_find_pid["), 0u) << err;
    EXPECT_NE(err.find("] fread ps|grep \"" + none + "\"|grep -v grep failed\n"), std::string::npos) << err;
    EXPECT_NE(err.find("\"" + longest + "\""), std::string::npos);
    capture.clear();
    CaptureStderr();
    EXPECT_EQ(lib_find_pid((longest + "q").c_str()), 0);  // too long: refused, nothing run
    EXPECT_EQ(lib_find_pid(nullptr), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(capture.texts().empty());
}
