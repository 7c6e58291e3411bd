// fifo_pipe.h - a test's own debug pipe under whichever name it gets (another
// process may hold "/dev/libfifo"), written by name as echo does.
#ifndef LC_TEST_FIFO_PIPE_H
#define LC_TEST_FIFO_PIPE_H

#include "lc_test.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

class FifoPipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        capture_.clear();
        fd_ = fifo_init_fun();
        ASSERT_GE(fd_, 0);
        std::string ready = capture_.texts().at(0);  // "[lib ...] <path> is ready,fd:<fd>\n\n"
        size_t from = ready.find("] ") + 2;
        path_ = ready.substr(from, ready.find(" is ready,fd:" + std::to_string(fd_) + "\n\n") - from);
        ASSERT_TRUE(path_ == "/dev/libfifo" || path_ == "/dev/libfifo_" + std::to_string(getpid())) << ready;
        ASSERT_EQ(stat(path_.c_str(), &node_), 0);
        ASSERT_TRUE(S_ISFIFO(node_.st_mode));
        ASSERT_EQ(fcntl(fd_, F_SETFL, O_NONBLOCK), 0);  // a failed write must not hang the test
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
        for (int i = 0; i < reads; i++)
            fifo_handle(fd_);
    }
    size_t hints() const { return capture_.count("]please use echo \"help=1\" > /dev/libfifo \n"); }
    // Texts traced by `function`, without their tags.
    std::vector<std::string> traced_by(const std::string &function) const
    {
        std::vector<std::string> out;
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

#endif  // LC_TEST_FIFO_PIPE_H
