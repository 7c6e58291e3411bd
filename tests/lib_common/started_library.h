// started_library.h - the debug pipe under whichever name it got, written by
// name as echo does: FifoPipe serves it alone, StartedLibrary in the library.
#ifndef LC_TEST_STARTED_LIBRARY_H
#define LC_TEST_STARTED_LIBRARY_H

#include "lc_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using Texts = std::vector<std::string>;

class FifoPipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        capture_.clear();
        fd_ = fifo_init_fun();
        ASSERT_GE(fd_, 0);
        ASSERT_EQ(fcntl(fd_, F_SETFL, O_NONBLOCK), 0);  // a read of an empty pipe must not hang the test
        take_node();
    }
    // The node the start named in its "<path> is ready,fd:<fd>" trace: under
    // this process's name, and a pipe.
    void take_node()
    {
        for (const std::string &t : capture_.texts())
            if (t.find("[lib fifo_init_fun +") == 0 && t.find(" is ready,fd:") != std::string::npos)
                path_ = t.substr(t.find("] ") + 2, t.find(" is ready,fd:") - t.find("] ") - 2);
        ASSERT_TRUE(path_ == "/dev/libfifo" || path_ == "/dev/libfifo_" + std::to_string(getpid())) << path_;
        ASSERT_TRUE(stat(path_.c_str(), &node_) == 0 && S_ISFIFO(node_.st_mode)) << path_;
        capture_.clear();
    }
    void TearDown() override
    {
        fifo_exit_fun(fd_);
        struct stat now;  // gone, or the name already taken anew by another test run
        EXPECT_TRUE(stat(path_.c_str(), &now) != 0 || now.st_ino != node_.st_ino) << path_;
    }
    // Writes text into the pipe by its name, then handles `reads` reads.
    void send(const std::string &text, int reads = 1)
    {
        int w = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
        EXPECT_EQ(write(w, text.data(), text.size()), (ssize_t)text.size());
        close(w);
        while (reads-- > 0)
            fifo_handle(fd_);
    }
    size_t hints() const { return capture_.count("]please use echo \"help=1\" > /dev/libfifo \n"); }
    // Texts traced by `function`, without their tags.
    Texts traced_by(const std::string &function) const
    {
        Texts out;
        for (const std::string &t : capture_.texts())
            if (t.find(" " + function + " +") != std::string::npos)
                out.push_back(t.substr(t.find(']') + 1));
        return out;
    }

    lc_test::TraceCapture capture_;
    int fd_ = -1;
    std::string path_;
    struct stat node_ {};
};

// Commands run on the scheduler thread, so command() appends a marker row
// of its own and waits until the marker has run.
class StartedLibrary : public FifoPipe {
protected:
    static inline std::atomic<int> marks{0};
    static void mark(const char *, void *) { marks++; }
    static inline const fifo_cmd marker_row[] = {{"test_mark", nullptr, mark, nullptr}};

    void SetUp() override { start(); }
    void TearDown() override
    {
        EXPECT_EQ(lib_common_exit(), 0);
        EXPECT_EQ(gpool, nullptr);
        FifoPipe::TearDown();  // the node is gone (fd_ is -1: nothing else is done)
    }
    void start()
    {
        capture_.clear();
        ASSERT_EQ(lib_common_init(), 0);
        take_node();
        add_fifo_work(marker_row, 1);
    }
    // Writes text followed by the marker; true once the scheduler ran both.
    bool command(const std::string &text)
    {
        int before = marks;
        send(text + ";test_mark=1", 0);
        return lc_test::wait_until([&] { return marks > before; });
    }
};

#endif  // LC_TEST_STARTED_LIBRARY_H
