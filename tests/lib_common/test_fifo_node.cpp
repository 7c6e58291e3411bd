// The debug pipe's node when its creation does not go as planned, through link-time seams for access and mkfifo:
// a creation that fails, the shared name taken by another process between the look and the creation, and a node
// already present.  The seams answer for the shared name themselves, so no node of another process is touched.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string shared = "/dev/libfifo";
bool shared_present = false;    // what access says of the shared name
int shared_error = EEXIST;      // errno of every mkfifo of the shared name (never the real call)
int own_error = 0;              // errno of mkfifo of any other name (0: the real call)
std::vector<std::string> made;  // every name mkfifo was called with
std::vector<std::string> real;  // the nodes the real mkfifo made

// Removes the nodes this process made that are still there, also when a test fails half-way.
struct RemoveOwnNodes {
    ~RemoveOwnNodes()
    {
        for (const std::string &node : real)
            unlink(node.c_str());
    }
} remove_own_nodes;

}  // namespace

extern "C" int __real_access(const char *path, int mode);
extern "C" int __real_mkfifo(const char *path, mode_t mode);

extern "C" int __wrap_access(const char *path, int mode)
{
    if (shared != path)
        return __real_access(path, mode);
    if (shared_present)
        return 0;
    errno = ENOENT;
    return -1;
}

extern "C" int __wrap_mkfifo(const char *path, mode_t mode)
{
    made.push_back(path);
    const int err = shared == path ? shared_error : own_error;
    if (err != 0) {
        errno = err;
        return -1;
    }
    const int rc = __real_mkfifo(path, mode);
    if (rc == 0)
        real.push_back(path);
    return rc;
}

// Before the first start nothing can be registered: the table is dropped with a level-3 trace.  (First in the file:
// when all its tests run in one process, the start below has not happened yet.)
TEST(FifoNodeCreation, TablesBeforeTheFirstStartAreDropped)
{
    lc_test::TraceCapture capture;
    static const fifo_cmd row[] = {{"early", nullptr, [](const char *, void *) {}, nullptr}};
    add_fifo_work(row, 1);
    EXPECT_EQ(capture.texts(),
              (std::vector<std::string>{lc_test::traced_tag("lib", "lib_common/fifo.cpp", "add_fifo_work",
                                                            "command table dropped: fifo not") +
                                        "command table dropped: fifo not initialised\n"}));
}

// One sequence: the state it ends in (a node once found present) lasts for the rest of the process.
TEST(FifoNodeCreation, FailureLostRaceAndANodeAlreadyPresent)
{
    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 6;
    const std::string file = "lib_common/fifo.cpp";
    const std::string not_created = lc_test::traced_tag("lib", file, "fifo_init_fun", "can not create fifo server ");
    const std::string own = "/dev/libfifo_" + std::to_string(getpid());  // the main thread's id
    struct stat node;
    ASSERT_NE(stat(own.c_str(), &node), 0) << own << " was left behind by an earlier process of this id";

    // Another failure: no node, so nothing is opened, and the next start tries again.
    shared_present = true;
    own_error = EACCES;
    EXPECT_EQ(fifo_init_fun(), -1);
    EXPECT_EQ(made, (std::vector<std::string>{own}));
    EXPECT_EQ(capture.texts(),
              (std::vector<std::string>{not_created + "can not create fifo server 13 Permission denied\n",
                                        lc_test::traced_tag("lib", file, "fifo_init_fun", "fifo open erro") +
                                            "fifo open erro\n\n"}));

    // The shared name was free when looked at and taken before the creation: this process's own name.
    made.clear();
    capture.clear();
    shared_present = false;
    own_error = 0;
    const int fd = fifo_init_fun();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(made, (std::vector<std::string>{shared, own}));
    made.clear();
    EXPECT_TRUE(capture.contains("] " + own + " is ready,fd:" + std::to_string(fd) + "\n\n"));
    EXPECT_EQ(stat(own.c_str(), &node), 0);
    EXPECT_TRUE(S_ISFIFO(node.st_mode));
    // A start without a stop first removes the node the earlier start made, then makes its own again.
    const int again = fifo_init_fun();
    ASSERT_GE(again, 0);
    struct stat first;
    EXPECT_EQ(fstat(fd, &first), 0);
    EXPECT_EQ(first.st_nlink, 0u);  // the first node is gone
    close(fd);
    EXPECT_EQ(made, (std::vector<std::string>{shared, own}));
    EXPECT_EQ(stat(own.c_str(), &node), 0);
    fifo_exit_fun(again);
    EXPECT_NE(stat(own.c_str(), &node), 0);  // removed by the process that made it

    // A node already present: refused, and from then on no pipe is served and no node is made.
    made.clear();
    capture.clear();
    shared_present = true;
    own_error = EEXIST;
    EXPECT_EQ(fifo_init_fun(), -1);
    own_error = 0;
    EXPECT_EQ(fifo_init_fun(), -1);
    EXPECT_EQ(made, (std::vector<std::string>{own}));
    EXPECT_EQ(capture.texts(), (std::vector<std::string>{not_created + "can not create fifo server 17 File exists\n"}));
    EXPECT_NE(stat(own.c_str(), &node), 0);
}

// Reads that bring no command: the end of the input does nothing; an empty pipe read without blocking traces that
// nothing came yet.
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
    const std::string tag = lc_test::traced_tag("lib", "lib_common/fifo.cpp", "fifo_handle", "no data yet");
    EXPECT_EQ(capture.texts(), std::vector<std::string>{tag + "no data yet\n\n"});
}
