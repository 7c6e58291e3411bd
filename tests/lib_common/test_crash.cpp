// Crash reports in /dev/xel_core.file (made in a child; runs take turns; the old file is put back); the fault.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>

static const char CORE[] = "/dev/xel_core.file";

static bool slurp(const std::string &path, std::string *out)
{
    std::ifstream in(path);
    *out = std::string(std::istreambuf_iterator<char>(in), {});
    return in.is_open();
}

struct CrashFile : ::testing::Test {
    void SetUp() override
    {
        if (access("/dev", W_OK) != 0)
            GTEST_SKIP() << "/dev is not writable";
        lock_ = open("/tmp/lc_xel_core.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        ASSERT_EQ(flock(lock_, LOCK_EX), 0);
        had_ = slurp(CORE, &saved_);
        unlink(CORE);
        ASSERT_NE(mkdtemp(&dir_[0]), nullptr);
    }
    void TearDown() override
    {
        if (lock_ < 0)
            return;
        rmdir(CORE), unlink(CORE), unlink((dir_ + "/xel_core.file").c_str()), rmdir(dir_.c_str());
        if (had_)
            write_file(CORE, saved_.data(), static_cast<uint32_t>(saved_.size()));
        close(lock_);
    }
    int lock_ = -1;
    bool had_ = false;
    std::string saved_, dir_ = "/tmp/lc_core_copy_XXXXXX";
};

// Reports append, copied whole when enabled; a letter per line makes the section order a pattern.  No file, none.
TEST_F(CrashFile, ReportsAppendEverySectionInOrderAndAreCopied)
{
    const auto report = [](int times, const char *copy_dir) {
        common_profile.core_copy_enable = copy_dir != nullptr, common_profile.core_copy_dir = copy_dir;
        while (times-- > 0)
            printBackTrace();
        exit(0);
    };
    EXPECT_EXIT(report(2, dir_.c_str()), testing::ExitedWithCode(0), "^$");
    std::string file, copied, shape;
    ASSERT_TRUE(slurp(CORE, &file));
    ASSERT_TRUE(slurp(dir_ + "/xel_core.file", &copied));
    EXPECT_EQ(copied, file);
    const std::string pid = std::to_string(atoi(file.c_str() + 20)), sep(15, '-');
    const std::string known[] = {
        sep, "pid:" + pid + sep, "Pid:\t" + pid, "backtrace start", "backtrace end", "cat /proc/" + pid + "/maps"};
    const std::pair<std::regex, char> kinds[] = {{std::regex("0x[0-9a-f]+:(0x[ 0-9a-f]{16}\t){3}0x[ 0-9a-f]{16}"), 'S'},
                                                 {std::regex("[0-9a-f]+-[0-9a-f]+ .*"), 'm'},
                                                 {std::regex("fd used:[0-9]+"), 'F'}};
    for (size_t at = 0, eol; (eol = file.find('\n', at)) != std::string::npos; at = eol + 1) {
        const std::string line = file.substr(at, eol - at);
        char kind = "-PIBEM."[std::find(known, known + 6, line) - known];
        for (const auto &[pattern, letter] : kinds)
            kind = std::regex_match(line, pattern) ? letter : kind;
        shape += kind;
    }
    EXPECT_TRUE(std::regex_match(shape, std::regex("(-P\\.*I\\.*-\\.*I\\.*-F-BS{128}E-Mm+){2}"))) << shape;
    ASSERT_EQ(unlink(CORE), 0);
    ASSERT_EQ(mkdir(CORE, 0755), 0);  // a directory: not writable
    EXPECT_EXIT(report(1, nullptr), testing::ExitedWithCode(0), "^open /dev/xel_core.file fail \n$");
}

TEST(CoreTest, FaultsTheCallingThread)
{
    const struct rlimit no_core = {0, 0};
    EXPECT_EXIT((signal(SIGSEGV, SIG_DFL), setrlimit(RLIMIT_CORE, &no_core), lib_core_test()),
                testing::KilledBySignal(SIGSEGV), "");  // default action: the sanitizers would catch it first
}
