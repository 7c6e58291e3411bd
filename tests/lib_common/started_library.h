// started_library.h - a started library and its debug pipe under whichever name it got, written as echo does.
#ifndef LC_TEST_STARTED_LIBRARY_H
#define LC_TEST_STARTED_LIBRARY_H

#include "lc_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using Texts = std::vector<std::string>;

// command() appends a marker row and waits until the scheduler ran it; the node is the one the start named in its
// "<path> is ready,fd:" trace (the shared name or this process's).
class StartedLibrary : public ::testing::Test {
protected:
    static inline std::atomic<int> marks{0};
    static inline const fifo_cmd marker_row[] = {
        {"test_mark", nullptr, [](const char *, void *) { marks++; }, nullptr}};

    void SetUp() override
    {
        ASSERT_EQ(lib_common_init(), 0);
        add_fifo_work(marker_row, 1);
        path_ = capture_.contains("] /dev/libfifo is ready,fd:") ? "/dev/libfifo"
                                                                 : "/dev/libfifo_" + std::to_string(getpid());
        ASSERT_TRUE(capture_.contains("] " + path_ + " is ready,fd:")) << path_;
        ASSERT_TRUE(stat(path_.c_str(), &node_) == 0 && S_ISFIFO(node_.st_mode)) << path_;
        capture_.clear();
    }
    void TearDown() override
    {
        EXPECT_EQ(lib_common_exit(), 0);
        EXPECT_EQ(gpool, nullptr);
        struct stat now;  // gone, or the name already taken anew by another test run
        EXPECT_TRUE(stat(path_.c_str(), &now) != 0 || now.st_ino != node_.st_ino) << path_ << " left behind";
    }
    void send(const std::string &text)
    {
        int w = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
        EXPECT_EQ(write(w, text.data(), text.size()), (ssize_t)text.size());
        close(w);
    }
    // Bytes written into the pipe that no read has taken yet (-1: unknown).
    int pipe_holds() const
    {
        int w = open(path_.c_str(), O_WRONLY | O_NONBLOCK), n = -1;
        n = w >= 0 && ioctl(w, FIONREAD, &n) == 0 ? n : -1;
        close(w);
        return n;
    }
    // Writes text followed by the marker; true once the scheduler ran both.
    bool command(const std::string &text)
    {
        int before = marks;
        send(text + ";test_mark=1");
        return lc_test::wait_until([&] { return marks > before; });
    }
    // Texts traced by `function`, without their tags.
    Texts traced_by(const std::string &function) const
    {
        Texts out;
        for (const std::string &t : capture_.texts())
            if (t.find(" " + function + " +") != std::string::npos)
                out.push_back(t.substr(t.find(']') + 1));
        return out;
    }

    // The rows "help" lists, in order; one without a value has no '='.
    static Texts listed_rows()
    {
        Texts rows = {"help"};
        for (const char *m : {"lib", "para", "cc", "visca", "module", "net", "mpp", "all"})
            for (const char *l : {"err", "info", "debug"})
                rows.push_back(std::string(m) + "_level=" + l);
        rows.insert(rows.end(), {"dbg_time=1", "dbg_time=0", "gpool=statistics", "gpool=print_task", "gpool=add_task",
                                 "test_mark"});
        return rows;
    }

    lc_test::TraceCapture capture_;
    std::string path_;
    struct stat node_ {};
};

#endif  // LC_TEST_STARTED_LIBRARY_H
