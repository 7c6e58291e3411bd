// Crash report: the sections of "/dev/xel_core.file" in order, the copy
// into core_copy_dir, an unopenable crash file, and the deliberate fault.
// Every test works on the real crash file, so runs in parallel (other test
// binaries, other checkouts) take turns through a lock file in /tmp, and
// whatever crash file was there before is put back afterwards.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
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

static const char CORE_FILE[] = "/dev/xel_core.file";
static const char SEP[] = "---------------\n";

static bool read_whole(const char *path, std::string *out)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return false;
    out->clear();
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        out->append(chunk, static_cast<size_t>(n));
    close(fd);
    return true;
}

static void write_whole(const char *path, const std::string &text)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return;
    ssize_t n = write(fd, text.data(), text.size());
    (void)n;
    close(fd);
}

// Runs fn in a child process; returns its wait status.  The child's
// standard error goes to *err when err is not null.
static int in_child(const std::function<void()> &fn, std::string *err = nullptr)
{
    fflush(stdout);
    fflush(stderr);
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        if (err != nullptr)
            dup2(fds[1], 2);
        close(fds[1]);
        fn();
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char chunk[512];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    if (err != nullptr)
        *err = text;
    int status = -1;
    waitpid(child, &status, 0);
    return status;
}

class CrashFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access("/dev", W_OK) != 0)
            GTEST_SKIP() << "/dev is not writable here";
        lock_fd_ = open("/tmp/lc_xel_core.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        ASSERT_GE(lock_fd_, 0);
        ASSERT_EQ(flock(lock_fd_, LOCK_EX), 0);
        had_file_ = read_whole(CORE_FILE, &saved_);
        unlink(CORE_FILE);
        char dir[] = "/tmp/lc_core_copy_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        copy_dir_ = dir;
    }
    void TearDown() override
    {
        if (lock_fd_ < 0)
            return;
        rmdir(CORE_FILE);  // left by the open-failure test
        if (had_file_)
            write_whole(CORE_FILE, saved_);
        else
            unlink(CORE_FILE);
        if (!copy_dir_.empty()) {
            unlink((copy_dir_ + "/xel_core.file").c_str());
            rmdir(copy_dir_.c_str());
        }
        close(lock_fd_);  // releases the lock
    }
    int lock_fd_ = -1;
    bool had_file_ = false;
    std::string saved_;
    std::string copy_dir_;
};

// Checks one report of process pid and returns where it ends.
static size_t check_report(const std::string &file, size_t at, pid_t pid)
{
    const std::string p = std::to_string(pid);
    const std::string head = std::string(SEP) + "pid:" + p + SEP;
    EXPECT_EQ(file.compare(at, head.size(), head), 0) << file.substr(at, 80);

    size_t start = file.find(std::string(SEP) + "backtrace start\n", at);
    size_t end = file.find("backtrace end\n", at);
    size_t maps = file.find(std::string(SEP) + "cat /proc/" + p + "/maps\n", at);
    size_t fds = file.find(std::string(SEP) + "fd used:", at);
    size_t next = file.find(std::string(SEP) + "pid:", at + 1);
    if (next == std::string::npos)
        next = file.size();
    EXPECT_LT(fds, start);
    EXPECT_LT(start, end);
    EXPECT_LT(end, maps);
    EXPECT_LT(maps, next);
    if (maps >= next)
        return next;

    // Thread status and process status, both naming the process.
    std::string status = file.substr(at + head.size(), fds - at - head.size());
    size_t pid_lines = 0;
    for (size_t pos = 0; (pos = status.find("\nPid:\t" + p + "\n", pos)) != std::string::npos; pos++)
        pid_lines++;
    EXPECT_EQ(pid_lines, 2u) << status;
    EXPECT_TRUE(std::regex_search(file.substr(fds, start - fds), std::regex("^-+\nfd used:[0-9]+\n$")))
        << file.substr(fds, start - fds);

    // 128 lines of four words, 16 bytes apart.
    std::string dump = file.substr(start + strlen(SEP) + 16, end - start - strlen(SEP) - 16);
    std::regex line("(0x[0-9a-f]+):0x[ 0-9a-f]{16}\t0x[ 0-9a-f]{16}\t0x[ 0-9a-f]{16}\t0x[ 0-9a-f]{16}");
    std::vector<unsigned long> addrs;
    size_t pos = 0;
    while (pos < dump.size()) {
        size_t eol = dump.find('\n', pos);
        std::string one = dump.substr(pos, eol - pos);
        std::smatch m;
        EXPECT_TRUE(std::regex_match(one, m, line)) << one;
        if (m.size() > 1)
            addrs.push_back(strtoul(m[1].str().c_str(), nullptr, 16));
        pos = eol + 1;
    }
    EXPECT_EQ(addrs.size(), 128u);
    for (size_t i = 1; i < addrs.size(); i++)
        EXPECT_EQ(addrs[i] - addrs[i - 1], 16u);

    // The map: the command, then the mapping lines.
    std::string map = file.substr(maps, next - maps);
    EXPECT_TRUE(std::regex_search(map, std::regex("\n[0-9a-f]+-[0-9a-f]+ ")));
    return next;
}

TEST_F(CrashFile, ReportHoldsEverySectionInOrderAndAppends)
{
    pid_t self = 0;
    int status = in_child([] {
        printBackTrace();
        printBackTrace();
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string file;
    ASSERT_TRUE(read_whole(CORE_FILE, &file));
    // The child's id is the one the report names.
    size_t colon = file.find("pid:");
    ASSERT_NE(colon, std::string::npos);
    self = atoi(file.c_str() + colon + 4);
    ASSERT_GT(self, 0);
    struct stat st;
    ASSERT_EQ(stat(CORE_FILE, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    size_t second = check_report(file, 0, self);
    ASSERT_LT(second, file.size()) << "a second report follows the first";
    EXPECT_EQ(check_report(file, second, self), file.size());
    // No copy with the default settings.
    EXPECT_NE(access((copy_dir_ + "/xel_core.file").c_str(), F_OK), 0);
}

TEST_F(CrashFile, CopyGoesToCoreCopyDirWhenEnabled)
{
    const std::string dir = copy_dir_;
    const std::string copy = dir + "/xel_core.file";
    // Disabled: core_copy_dir alone does nothing.
    in_child([&] {
        common_profile.core_copy_dir = dir.c_str();
        printBackTrace();
    });
    EXPECT_NE(access(copy.c_str(), F_OK), 0);

    int status = in_child([&] {
        common_profile.core_copy_enable = 1;
        common_profile.core_copy_dir = dir.c_str();
        printBackTrace();
    });
    ASSERT_TRUE(WIFEXITED(status)) << status;
    std::string original, copied;
    ASSERT_TRUE(read_whole(CORE_FILE, &original));
    ASSERT_TRUE(read_whole(copy.c_str(), &copied));
    EXPECT_EQ(copied, original);  // both reports, as the file holds them

    // A directory too long for the command is skipped, never cut.
    unlink(copy.c_str());
    const std::string longdir = dir + "/" + std::string(110, 'd');
    std::string err;
    in_child([&] {
        common_profile.core_copy_enable = 1;
        common_profile.core_copy_dir = longdir.c_str();
        printBackTrace();
    }, &err);
    EXPECT_NE(err.find("skipped"), std::string::npos) << err;
    EXPECT_NE(access(copy.c_str(), F_OK), 0);
}

TEST_F(CrashFile, UnopenableFileGivesOneLineAndNoCopy)
{
    ASSERT_EQ(mkdir(CORE_FILE, 0755), 0);  // open for writing fails: a directory
    const std::string dir = copy_dir_;
    std::string err;
    int status = in_child([&] {
        common_profile.core_copy_enable = 1;
        common_profile.core_copy_dir = dir.c_str();
        printBackTrace();
    }, &err);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(err, "open /dev/xel_core.file fail \n");
    EXPECT_NE(access((dir + "/xel_core.file").c_str(), F_OK), 0);
}

TEST(CoreTest, FaultsTheCallingThread)
{
    int status = in_child([] {
        // Sanitizers catch the fault themselves unless the default action
        // is back in place; the device's processes have no sanitizer.
        signal(SIGSEGV, SIG_DFL);
        struct rlimit none = {0, 0};  // no core file left behind
        setrlimit(RLIMIT_CORE, &none);
        lib_core_test();
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
}
