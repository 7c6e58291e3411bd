// The pipe's node when its creation goes wrong; the seams answer for the shared name, so no other node is touched.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <errno.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Texts = std::vector<std::string>;
const std::string shared = "/dev/libfifo";
bool shared_present = false;  // what access says of the shared name
int own_error = 0;            // errno of mkfifo of any other name (0: the real call); the shared name's is EEXIST
Texts made;                   // every name mkfifo was called with
struct Nodes : Texts {        // the nodes the real mkfifo made, removed at exit also when a test fails half-way
    ~Nodes()
    {
        std::for_each(begin(), end(), [](const std::string &node) { unlink(node.c_str()); });
    }
} real;

}  // namespace

extern "C" int __real_access(const char *path, int mode);
extern "C" int __real_mkfifo(const char *path, mode_t mode);

extern "C" int __wrap_access(const char *path, int mode)
{
    if (shared != path)
        return __real_access(path, mode);
    errno = ENOENT;
    return shared_present ? 0 : -1;
}

extern "C" int __wrap_mkfifo(const char *path, mode_t mode)
{
    made.push_back(path);
    errno = shared == path ? EEXIST : own_error;
    if (errno != 0)
        return -1;
    const int rc = __real_mkfifo(path, mode);
    if (rc == 0)
        real.push_back(path);
    return rc;
}

// Before the first start a table is dropped with a level-3 trace (first in the file: no start has happened yet); a
// table without rows (no array, or a count below 1, each alone) is dropped for that first.
TEST(FifoNodeCreation, TablesBeforeTheFirstStartAreDropped)
{
    lc_test::TraceCapture capture;
    static const fifo_cmd row[] = {{"early", nullptr, [](const char *, void *) {}, nullptr}};
    add_fifo_work(nullptr, 1), add_fifo_work(row, 0), add_fifo_work(row, -1), add_fifo_work(row, 1);
    const auto traced = [](const std::string &text) {
        return lc_test::traced_tag("lib", "lib_common/fifo.cpp", "add_fifo_work", text) + text + "\n";
    };
    const std::string no_rows = traced("command table dropped: no rows");
    EXPECT_EQ(capture.texts(),
              (Texts{no_rows, no_rows, no_rows, traced("command table dropped: fifo not initialised")}));
}

// One sequence: the state it ends in (a node once found present) lasts for the rest of the process.
TEST(FifoNodeCreation, FailureLostRaceAndANodeAlreadyPresent)
{
    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 6;
    const auto tag = [](const std::string &format) {
        return lc_test::traced_tag("lib", "lib_common/fifo.cpp", "fifo_init_fun", format) + format;
    };
    const auto made_then = [&](const Texts &want) {  // the names since the last look; a fresh capture
        EXPECT_EQ(made, want);
        made.clear();
        capture.clear();
    };
    const std::string own = "/dev/libfifo_" + std::to_string(getpid());  // the main thread's id
    struct stat node;
    ASSERT_NE(stat(own.c_str(), &node), 0) << own << " was left behind by an earlier process of this id";
    // Another failure: no node, so nothing is opened, and the next start tries again.
    shared_present = true, own_error = EACCES;
    EXPECT_EQ(fifo_init_fun(), -1);
    EXPECT_EQ(capture.texts(),
              (Texts{tag("can not create fifo server ") + "13 Permission denied\n", tag("fifo open erro") + "\n\n"}));
    made_then({own});
    // The shared name was free when looked at and taken before the creation: this process's own name.
    shared_present = false, own_error = 0;
    const int fd = fifo_init_fun();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(capture.contains("] " + own + " is ready,fd:" + std::to_string(fd) + "\n\n"));
    made_then({shared, own});
    EXPECT_TRUE(stat(own.c_str(), &node) == 0 && S_ISFIFO(node.st_mode));
    // A start without a stop first removes the node the earlier start made, then makes its own again.
    const int again = fifo_init_fun();
    ASSERT_GE(again, 0);
    EXPECT_TRUE(fstat(fd, &node) == 0 && node.st_nlink == 0) << node.st_nlink;
    close(fd);
    EXPECT_EQ(stat(own.c_str(), &node), 0);
    fifo_exit_fun(again);
    EXPECT_NE(stat(own.c_str(), &node), 0);  // removed by the process that made it
    made_then({shared, own});
    // A node already present: refused, and from then on no pipe is served and no node is made.
    shared_present = true, own_error = EEXIST;
    EXPECT_EQ(fifo_init_fun(), -1);
    own_error = 0;
    EXPECT_EQ(fifo_init_fun(), -1);
    EXPECT_EQ(capture.texts(), Texts{tag("can not create fifo server ") + "17 File exists\n"});
    made_then({own});
    EXPECT_NE(stat(own.c_str(), &node), 0);
}

// The end of the input does nothing; an empty pipe read without blocking traces that nothing came yet.
TEST(FifoHandle, EndOfInputAndNothingToRead)
{
    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 6;
    const int null_fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(null_fd, 0);
    fifo_handle(null_fd);
    close(null_fd);
    EXPECT_TRUE(capture.texts().empty());
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
    fifo_handle(ends[0]);
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(capture.texts(), Texts{lc_test::traced_tag("lib", "lib_common/fifo.cpp", "fifo_handle", "no data yet") +
                                     "no data yet\n\n"});
}
