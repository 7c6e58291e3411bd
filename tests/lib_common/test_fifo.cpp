// Debug command pipe: other processes, registration while commands run.
// (Splitting and matching are checked against a model by the fuzz corpus,
// the commands through a started library by the lifecycle tests.)
#include "started_library.h"

#include <sys/wait.h>
#include <thread>

static Texts calls;  // the values given to any_row, in order
static const fifo_cmd rows[] = {{"help", nullptr, fifo_print_debug, nullptr},
                                {"any", nullptr, [](const char *value, void *) { calls.push_back(value); }, nullptr}};

class Fifo : public FifoPipe {
protected:
    void SetUp() override
    {
        FifoPipe::SetUp();
        add_fifo_work(rows, 2);
        calls.clear();
    }
};

// A child finds "/dev/libfifo" taken (by this test or another process),
// serves its own node and removes only that; when its own name is taken too
// it serves nothing, leaves that node alone and makes none later.
TEST_F(Fifo, LaterProcessesServeTheirOwnNodeAndRemoveOnlyThat)
{
    pid_t child = fork();
    if (child == 0) {
        const std::string own = "/dev/libfifo_" + std::to_string(getpid());
        int fd = fifo_init_fun();
        add_fifo_work(rows, 2);
        int w = open(own.c_str(), O_WRONLY | O_NONBLOCK);
        bool wrote = fd >= 0 && w >= 0 && write(w, "any=child\n", 10) == 10;
        fifo_handle(fd);
        fifo_exit_fun(fd);
        if (!wrote || calls != Texts{"child"} || access(own.c_str(), F_OK) == 0 || access(path_.c_str(), F_OK) != 0)
            _exit(1);
        mkfifo(own.c_str(), 0600);
        fifo_exit_fun(fd = fifo_init_fun());
        _exit(fd == -1 && remove(own.c_str()) == 0 && fifo_init_fun() == -1 && access(own.c_str(), F_OK) != 0 ? 0 : 2);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    send("any=parent");
    EXPECT_EQ(calls, Texts{"parent"});
}

// Tables registered while "help" walks the rows; empty tables are dropped.
TEST_F(Fifo, TablesRegisterWhileCommandsAreHandled)
{
    dbgout_profile.cc_level = 5;  // walk the rows for "help" without tracing them
    std::atomic<bool> done{false};
    std::thread registrar([&] {
        for (int i = 0; i < 200; i++)
            add_fifo_work(rows + 1, 1);
        add_fifo_work(nullptr, 2);
        add_fifo_work(rows, 0);
        done = true;
    });
    size_t handled = 0;
    for (; handled < 50 || !done; handled++)
        send("help=1;any=1");
    registrar.join();
    EXPECT_EQ(calls, Texts(handled, "1"));
    EXPECT_EQ(capture_.count("]command table dropped: no rows\n"), 2u);
    int registered = 0;
    for (fifo_link *l = fifo_queue.link.next; l != &fifo_queue.link; l = l->next)
        registered++;
    EXPECT_EQ(registered, 201);
}
