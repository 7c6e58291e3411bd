// fifo_pipe.h - a test's own debug pipe: opened in SetUp, written by name as
// echo does, closed and removed in TearDown.  Works whether or not another
// process holds "/dev/libfifo".
#ifndef LC_TEST_FIFO_PIPE_H
#define LC_TEST_FIFO_PIPE_H

#include "lc_test.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

class FifoPipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        fd_ = fifo_init_fun();
        ASSERT_GE(fd_, 0);
        for (const std::string &t : capture_.texts()) {
            size_t at = t.find(" is ready,fd:" + std::to_string(fd_) + "\n\n"), from = t.find("] ");
            if (at != std::string::npos && from < at)
                path_ = t.substr(from + 2, at - from - 2);
        }
        std::string own = "/dev/libfifo_" + std::to_string(syscall(SYS_gettid));
        ASSERT_TRUE(path_ == "/dev/libfifo" || path_ == own) << "path: " << path_;
        ASSERT_EQ(stat(path_.c_str(), &node_), 0);
        EXPECT_TRUE(S_ISFIFO(node_.st_mode));
        capture_.clear();
    }
    void TearDown() override
    {
        fifo_exit_fun(fd_);
        // Another test run may make "/dev/libfifo" anew at once: ours is gone
        // when the path is free or names another node.
        struct stat now;
        EXPECT_TRUE(stat(path_.c_str(), &now) != 0 || now.st_ino != node_.st_ino) << path_ << " left behind";
    }
    // Writes text into the pipe by its name, then handles `reads` reads.
    void send(const std::string &text, int reads = 1)
    {
        int w = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(w, 0);
        EXPECT_EQ(write(w, text.data(), text.size()), (ssize_t)text.size());
        close(w);
        for (int i = 0; i < reads; i++)
            fifo_handle(fd_);
    }
    size_t hints() const { return capture_.count("]please use echo \"help=1\" > /dev/libfifo \n"); }

    lc_test::TraceCapture capture_;
    int fd_ = -1;
    std::string path_;
    struct stat node_ {};
};

#endif  // LC_TEST_FIFO_PIPE_H
