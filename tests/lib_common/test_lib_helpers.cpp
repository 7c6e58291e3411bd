// lib_ helpers: time differences, strings, errno report, shell commands and
// the process lookup, against the real shell and process list.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

static struct timeval tv(long sec, long usec)
{
    struct timeval t;
    t.tv_sec = sec;
    t.tv_usec = usec;
    return t;
}

static struct timespec ts(long sec, long nsec)
{
    struct timespec t;
    t.tv_sec = sec;
    t.tv_nsec = nsec;
    return t;
}

TEST(LibTime, DifferencesTruncateAndNeverGoNegative)
{
    EXPECT_EQ(lib_common_diff_msec(tv(1, 999999), tv(2, 0)), 0);
    EXPECT_EQ(lib_common_diff_us(tv(1, 999999), tv(2, 0)), 1);
    EXPECT_EQ(lib_common_diff_msec(tv(10, 0), tv(12, 500000)), 2500);
    EXPECT_EQ(lib_common_diff_msec(tv(12, 500000), tv(10, 0)), 0);
    EXPECT_EQ(lib_common_diff_us(tv(12, 500000), tv(10, 0)), 0);
    EXPECT_EQ(lib_common_diff_us(tv(0, 0), tv(3600, 0)), INT64_C(3600000000));
    // Far apart: 32-bit seconds times a million needs 64-bit arithmetic.
    EXPECT_EQ(lib_common_diff_us(tv(-2147483647 - 1, 0), tv(2147483647, 0)),
              INT64_C(4294967295) * 1000000);
    EXPECT_EQ(lib_common_diff_msec(tv(5, 0), tv(5, 0)), 0);

    EXPECT_EQ(lib_common_diff_us_timespec(ts(0, 999), ts(0, 1001)), 0);
    EXPECT_EQ(lib_common_diff_us_timespec(ts(0, 0), ts(1, 1500)), 1000001);
    // The nanosecond difference truncates toward zero before it is added.
    EXPECT_EQ(lib_common_diff_us_timespec(ts(1, 1500), ts(2, 0)), 999999);
    EXPECT_EQ(lib_common_diff_msec_timespec(ts(0, 0), ts(2, 999999999)), 2999);
    EXPECT_EQ(lib_common_diff_msec_timespec(ts(3, 0), ts(2, 0)), 0);
    EXPECT_EQ(lib_common_diff_us_timespec(ts(0, 5000), ts(0, 1000)), 0);
}

TEST(LibString, DuplicatesLengthsAndDecimalText)
{
    EXPECT_EQ(lib_strdup(nullptr), nullptr);
    EXPECT_EQ(lib_strdup_reserved_bytes(nullptr, 4), nullptr);
    EXPECT_EQ(lib_strlen(nullptr), 0u);
    EXPECT_EQ(lib_strlen("abc"), 3u);

    char *copy = lib_strdup("hello");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "hello");
    free(copy);
    // 13 bytes: "ab", the terminator and 10 bytes for the caller.
    char *room = lib_strdup_reserved_bytes("ab", 10);
    ASSERT_NE(room, nullptr);
    EXPECT_STREQ(room, "ab");
    memset(room + 3, 'x', 10);  // ASan: the whole block is usable
    free(room);
    if (sizeof(size_t) == 4) {  // a size that wraps is refused, not shrunk
        EXPECT_EQ(lib_strdup_reserved_bytes("ab", UINT32_MAX), nullptr);
    }

    struct {
        int32_t n;
        const char *text;
    } cases[] = {{0, "0"},           {-5, "-5"},         {9, "9"},      {10, "10"},
                 {100, "100"},       {-1000000, "-1000000"}, {2147483647, "2147483647"},
                 {-2147483647 - 1, "-2147483648"}};
    for (const auto &c : cases) {
        char out[16];
        memset(out, '#', sizeof out);
        lib_itoa(c.n, out);
        EXPECT_STREQ(out, c.text);
        EXPECT_EQ(out[12], '#') << c.text;  // 12 bytes at most
    }
    lib_itoa(7, nullptr);  // ignored
}

TEST(LibString, TwoIntsSplitAtTheFirstSeparator)
{
    struct {
        const char *text;
        char sep;
        int32_t a, b;
    } cases[] = {{"1920x1080", 'x', 1920, 1080}, {"12:abc", ':', 12, 0}, {":5", ':', 0, 5},
                 {"1,2,3", ',', 1, 2},           {" -7 / +8", '/', -7, 8}};
    for (const auto &c : cases) {
        int32_t a = -1, b = -1;
        EXPECT_EQ(lib_get_two_int(c.text, &a, &b, c.sep), 0) << c.text;
        EXPECT_EQ(a, c.a) << c.text;
        EXPECT_EQ(b, c.b) << c.text;
    }

    int32_t a = 11, b = 22;
    CaptureStdout();
    EXPECT_EQ(lib_get_two_int("1920-1080", &a, &b, 'x'), -1);
    // A part longer than 15 characters does not fit the work text: refused.
    EXPECT_EQ(lib_get_two_int("1x1234567890123456", &a, &b, 'x'), -1);
    EXPECT_EQ(lib_get_two_int("1234567890123456x1", &a, &b, 'x'), -1);
    EXPECT_EQ(GetCapturedStdout(),
              "two int should be like AxB.\ntwo int should be like AxB.\n"
              "two int should be like AxB.\n");
    EXPECT_EQ(a, 11);
    EXPECT_EQ(b, 22);
    // 15 characters still fit.
    EXPECT_EQ(lib_get_two_int("000000000000042x1", &a, &b, 'x'), 0);
    EXPECT_EQ(a, 42);

    EXPECT_EQ(lib_get_two_int(nullptr, &a, &b, 'x'), -1);
    EXPECT_EQ(lib_get_two_int("1x2", nullptr, &b, 'x'), -1);
    EXPECT_EQ(lib_get_two_int("1x2", &a, nullptr, 'x'), -1);
}

TEST(LibProcess, ThreadIdsAndErrnoReport)
{
    EXPECT_EQ(lib_getpid(), getpid());
    int32_t other = 0;
    long expected = 0;
    std::thread t([&] {
        other = lib_getpid();
        expected = syscall(SYS_gettid);
    });
    t.join();
    EXPECT_EQ(other, expected);
    EXPECT_NE(other, getpid());

    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 6;
    errno = 0;
    lib_strerror("quiet");
    errno = ENOENT;
    lib_strerror("open x");
    dbgout_profile.lib_level = 5;
    errno = ENOENT;
    lib_strerror("gated");
    auto texts = capture.texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("[lib lib_strerror +", 0), 0u) << texts[0];
    EXPECT_NE(texts[0].find("]open x errno:2 No such file or directory\n"), std::string::npos) << texts[0];
    EXPECT_EQ(capture.lines()[0].level, 6);
}

TEST(LibProcess, Popen2CollectsCutsAndTraces)
{
    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 6;

    char out[16];
    memset(out, '#', sizeof out);
    EXPECT_EQ(lib_popen2("printf 'abc\\ndefgh\\nxyz\\n'", out, 8, nullptr), 0);
    EXPECT_STREQ(out, "abc\nde");
    EXPECT_EQ(std::string(out + 7, 9), std::string(9, '#'));  // nothing past outsize
    EXPECT_TRUE(capture.contains("]popen:printf 'abc\\ndefgh\\nxyz\\n'\n"));

    // Lines that fit whole leave two bytes of room unused.
    memset(out, '#', sizeof out);
    EXPECT_EQ(lib_popen2("printf 'ab\\ncd\\n'", out, 8, nullptr), 0);
    EXPECT_STREQ(out, "ab\ncd\n");
    memset(out, '#', sizeof out);
    EXPECT_EQ(lib_popen2("printf 'abcdef\\n'", out, 8, nullptr), 0);
    EXPECT_STREQ(out, "abcdef");  // cut: outsize - 2 characters
    // Nothing printed: out untouched, not even terminated.
    memset(out, '#', sizeof out);
    EXPECT_EQ(lib_popen2("true", out, 8, nullptr), 0);
    EXPECT_EQ(out[0], '#');
    // No room, no tag, or no buffer: nothing is written.
    EXPECT_EQ(lib_popen2("echo abc", out, 1, nullptr), 0);
    EXPECT_EQ(lib_popen2("echo abc", out, 0, nullptr), 0);
    EXPECT_EQ(lib_popen2("echo abc", nullptr, 8, nullptr), 0);
    EXPECT_EQ(out[0], '#');

    // With a tag: one ungated trace per line, pieces of 255 characters.
    capture.clear();
    dbgout_profile.lib_level = 0;
    EXPECT_EQ(lib_popen2("echo one; echo two; printf '%0300d\\n' 0", out, 8, "T"), 0);
    auto texts = capture.texts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], "T:one\n");
    EXPECT_EQ(texts[1], "T:two\n");
    EXPECT_EQ(texts[2], "T:" + std::string(255, '0'));
    EXPECT_EQ(texts[3], "T:" + std::string(45, '0') + "\n");
    EXPECT_EQ(out[0], '#');

    EXPECT_EQ(lib_popen2(nullptr, out, 8, nullptr), -1);
}

TEST(LibProcess, PopenReadsAtMostNAndWaits)
{
    char buf[8];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(lib_popen("echo 123456789", buf, 4), 0);
    EXPECT_EQ(std::string(buf, 8), "1234####");

    // The command has ended when the call returns; its status is ignored.
    char path[] = "/tmp/lc_popen_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    unlink(path);
    std::string cmd = std::string("sleep 0.2; echo x > ") + path + "; exit 3";
    EXPECT_EQ(lib_system(cmd.c_str()), 0);
    EXPECT_EQ(access(path, F_OK), 0);
    unlink(path);
    EXPECT_EQ(lib_popen("false", nullptr, 100), 0);
    EXPECT_EQ(lib_system(nullptr), -1);
    EXPECT_EQ(lib_popen(nullptr, buf, 4), -1);
}

// A process that cannot create a pipe cannot start commands.  The child
// checks everything itself and reports failed checks as exit-code bits.
TEST(LibProcess, CommandsThatCannotStartAreReported)
{
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        lc_test::TraceCapture capture;
        dbgout_profile.lib_level = 6;
        CaptureStderr();
        // No room for the two descriptors of a pipe.
        struct rlimit old, lim;
        getrlimit(RLIMIT_NOFILE, &old);
        lim = old;
        lim.rlim_cur = static_cast<rlim_t>(dup(0));
        close(static_cast<int>(lim.rlim_cur));
        setrlimit(RLIMIT_NOFILE, &lim);
        int code = 0;
        if (lib_popen2("echo x", nullptr, 0, nullptr) != -1)
            code |= 1;
        if (lib_system("echo x") != -1)
            code |= 2;
        if (lib_find_pid("init") != 0)
            code |= 4;
        setrlimit(RLIMIT_NOFILE, &old);
        std::string err = GetCapturedStderr();
        if (capture.count("]popen:echo x\n") != 2 || capture.count("]echo x errno:24 ") != 2)
            code |= 8;
        if (err.find("DBG_ERR:lib_common lib_find_pid[") == std::string::npos ||
            err.find("] fopen ps|grep \"init\"|grep -v grep failed\n") == std::string::npos)
            code |= 16;
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed checks (bits)";
}

TEST(LibProcess, FindPidByNameAndNotFound)
{
    char name[16];
    snprintf(name, sizeof name, "lcf%d", static_cast<int>(getpid()));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        prctl(PR_SET_NAME, name, 0, 0, 0);
        for (;;)
            pause();
    }
    struct Reap {
        pid_t pid;
        ~Reap()
        {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    } reap{child};

    lc_test::TraceCapture capture;
    dbgout_profile.cc_level = 6;
    int32_t found = 0;
    // The child renames itself right after the fork: poll until ps sees it.
    lc_test::wait_until([&] { return (found = lib_find_pid(name)) == child; },
                        std::chrono::milliseconds(10000));
    EXPECT_EQ(found, child);
    EXPECT_TRUE(capture.contains("[cc lib_find_pid +"));
    EXPECT_TRUE(capture.contains(std::string("]find pid: ") + name + ":" + std::to_string(child) + "\n\n"));
    EXPECT_TRUE(capture.contains("]popen res:"));

    std::string missing = std::string("no_such_process_") + std::to_string(getpid());
    CaptureStderr();
    EXPECT_EQ(lib_find_pid(missing.c_str()), 0);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("DBG_ERR:lib_common lib_find_pid["), std::string::npos) << err;
    EXPECT_NE(err.find("] fread ps|grep \"" + missing + "\"|grep -v grep failed\n"), std::string::npos)
        << err;

    // 104 characters still fit the command; 105 are refused without a run.
    CaptureStderr();
    EXPECT_EQ(lib_find_pid(std::string(104, 'q').c_str()), 0);
    EXPECT_NE(GetCapturedStderr().find("fread"), std::string::npos);
    capture.clear();
    CaptureStderr();
    EXPECT_EQ(lib_find_pid(std::string(105, 'q').c_str()), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(capture.texts().empty());
    EXPECT_EQ(lib_find_pid(nullptr), 0);
}
