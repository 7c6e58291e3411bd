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

using Texts = std::vector<std::string>;

// The path named by the "<path> is ready,fd:<fd>" trace of a start.
inline std::string served_path(const lc_test::TraceCapture &capture)
{
    for (const std::string &t : capture.texts())
        if (t.find("[lib fifo_init_fun +") == 0 && t.find(" is ready,fd:") != std::string::npos)
            return t.substr(t.find("] ") + 2, t.find(" is ready,fd:") - t.find("] ") - 2);
    return "";
}

class FifoPipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        capture_.clear();
        fd_ = fifo_init_fun();
        ASSERT_GE(fd_, 0);
        ASSERT_EQ(fcntl(fd_, F_SETFL, O_NONBLOCK), 0);  // a failed write must not hang the test
        take_node();
    }
    // The node just made: under this process's name, and a pipe.
    void take_node()
    {
        path_ = served_path(capture_);
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
        for (int i = 0; i < reads; i++)
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

#endif  // LC_TEST_FIFO_PIPE_H
