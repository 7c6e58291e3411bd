// Crash report in "/dev/xel_core.file": sections in order, the copy into
// core_copy_dir, an unopenable file, and the deliberate fault.  Runs of the
// suite in parallel take turns through a lock file in /tmp, and the crash
// file that was there before is put back afterwards.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

static const char CORE[] = "/dev/xel_core.file";
static const std::string SEP = "---------------\n";

static bool slurp(const std::string &path, std::string *out)
{
    char *text = read_file_to_buf(path.c_str());
    *out = text ? text : "";
    free(text);
    return text != nullptr;
}

// Runs fn in a child process with standard error in a file; wait status.
static int in_child(const std::function<void()> &fn, std::string *err = nullptr)
{
    fflush(stdout);
    std::string err_file = "/tmp/lc_crash_err_" + std::to_string(getpid());
    pid_t child = fork();
    if (child == 0) {
        dup2(open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        fn();
        _exit(0);
    }
    int status = -1;
    waitpid(child, &status, 0);
    if (err != nullptr)
        slurp(err_file, err);
    unlink(err_file.c_str());
    return status;
}

class CrashFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access("/dev", W_OK) != 0)
            GTEST_SKIP() << "/dev is not writable";
        lock_ = open("/tmp/lc_xel_core.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        ASSERT_EQ(flock(lock_, LOCK_EX), 0);
        had_ = slurp(CORE, &saved_);
        unlink(CORE);
        char dir[] = "/tmp/lc_core_copy_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        copy_ = dir_ + "/xel_core.file";
    }
    void TearDown() override
    {
        if (lock_ < 0)
            return;
        rmdir(CORE);
        unlink(CORE);
        if (had_)
            write_file(CORE, saved_.data(), static_cast<uint32_t>(saved_.size()));
        unlink(copy_.c_str());
        rmdir(dir_.c_str());
        close(lock_);
    }
    int lock_ = -1;
    bool had_ = false;
    std::string saved_, dir_, copy_;
};

// One letter per line of the report, so that the order of the sections is
// one small pattern; stack line addresses go to *stack.
static std::string skeleton(const std::string &file, const std::string &pid, std::vector<unsigned long> *stack)
{
    const std::regex dump("(0x[0-9a-f]+):(0x[ 0-9a-f]{16}\t){3}0x[ 0-9a-f]{16}");
    std::string out, line;
    for (size_t at = 0, eol; (eol = file.find('\n', at)) != std::string::npos; at = eol + 1) {
        line = file.substr(at, eol - at);
        std::smatch m;
        if (line == SEP.substr(0, 15))
            out += '-';
        else if (line == "pid:" + pid + SEP.substr(0, 15))
            out += 'P';
        else if (line == "Pid:\t" + pid)
            out += 'I';
        else if (std::regex_match(line, std::regex("fd used:[0-9]+")))
            out += 'F';
        else if (line == "backtrace start" || line == "backtrace end")
            out += line[10] == 's' ? 'B' : 'E';
        else if (std::regex_match(line, m, dump))
            out += 'S', stack->push_back(strtoul(m[1].str().c_str(), nullptr, 16));
        else if (line == "cat /proc/" + pid + "/maps")
            out += 'M';
        else if (std::regex_search(line, std::regex("^[0-9a-f]+-[0-9a-f]+ ")))
            out += 'm';
        else
            out += '.';
    }
    return out;
}

TEST_F(CrashFile, ReportsAppendEverySectionInOrder)
{
    ASSERT_EQ(in_child([] { printBackTrace(), printBackTrace(); }), 0);
    std::string file;
    ASSERT_TRUE(slurp(CORE, &file));
    struct stat st;
    ASSERT_EQ(stat(CORE, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    std::vector<unsigned long> stack;
    const std::string pid = std::to_string(atoi(file.c_str() + SEP.size() + 4));
    const std::string shape = skeleton(file, pid, &stack);
    const std::string report = "-P\\.*I\\.*-\\.*I\\.*-F-BS{128}E-Mm+";
    EXPECT_TRUE(std::regex_match(shape, std::regex("(" + report + "){2}"))) << shape;
    ASSERT_EQ(stack.size(), 256u);
    for (size_t i = 1; i < 128; i++)  // up the stack, 16 bytes a line
        EXPECT_EQ(stack[i] - stack[i - 1], 16u);
    EXPECT_NE(access(copy_.c_str(), F_OK), 0) << "no copy by default";
}

TEST_F(CrashFile, CopyGoesToCoreCopyDirOnlyWhenEnabledAndItFits)
{
    const std::string dir = dir_, longdir = dir_ + "/" + std::string(110, 'd');
    in_child([&] { common_profile.core_copy_dir = dir.c_str(), printBackTrace(); });
    EXPECT_NE(access(copy_.c_str(), F_OK), 0);
    in_child([&] {
        common_profile.core_copy_enable = 1;
        common_profile.core_copy_dir = dir.c_str();
        printBackTrace();
    });
    std::string original, copied, err;
    ASSERT_TRUE(slurp(CORE, &original));
    ASSERT_TRUE(slurp(copy_, &copied));
    EXPECT_EQ(copied, original);  // both reports

    unlink(copy_.c_str());  // too long for the command: skipped, never cut
    in_child([&] {
        common_profile.core_copy_enable = 1;
        common_profile.core_copy_dir = longdir.c_str();
        printBackTrace();
    }, &err);
    EXPECT_NE(err.find("skipped"), std::string::npos) << err;
    EXPECT_NE(access(copy_.c_str(), F_OK), 0);

    ASSERT_EQ(unlink(CORE), 0);
    ASSERT_EQ(mkdir(CORE, 0755), 0);  // a directory cannot be opened for writing
    in_child([&] {
        common_profile.core_copy_enable = 1;
        common_profile.core_copy_dir = dir.c_str();
        printBackTrace();
    }, &err);
    EXPECT_EQ(err, "open /dev/xel_core.file fail \n");
    EXPECT_NE(access(copy_.c_str(), F_OK), 0);
}

TEST(CoreTest, FaultsTheCallingThread)
{
    int status = in_child([] {
        signal(SIGSEGV, SIG_DFL);  // the sanitizers would catch it first
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        lib_core_test();
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
}
