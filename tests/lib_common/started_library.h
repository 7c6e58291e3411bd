// started_library.h - the whole library brought up by lib_common_init, its
// real debug pipe written by name as echo does, and lib_common_exit at the
// end.  Commands run on the scheduler thread, so command() appends a marker
// row of its own and waits until the marker has run.
#ifndef LC_TEST_STARTED_LIBRARY_H
#define LC_TEST_STARTED_LIBRARY_H

#include "fifo_pipe.h"

#include <atomic>

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
