// Debug command pipe: commands through the real pipe, registrations, "help",
// bad input, other processes, registration while commands are handled.
#include "fifo_pipe.h"

#include <atomic>
#include <new>
#include <sys/wait.h>
#include <thread>

static std::vector<std::string> calls;  // "<row data>:<value>", in order
static void record(const char *value, void *data)
{
    calls.push_back(std::string(static_cast<const char *>(data)) + ":" + value);
}
static const fifo_cmd rows[] = {
    {"help", nullptr, fifo_print_debug, nullptr},  {"mode", "debug", record, (void *)"debug"},
    {"mode", "debug", record, (void *)"late"},     {"any", nullptr, record, (void *)"any"},
    {nullptr, "x", record, (void *)"nokey"},       {"nohandler", nullptr, nullptr, nullptr},
};
using Texts = std::vector<std::string>;

class Fifo : public FifoPipe {
protected:
    void SetUp() override
    {
        FifoPipe::SetUp();
        add_fifo_work(rows, 6);
        calls.clear();
    }
};

static int registrations()
{
    int n = 0;
    for (fifo_link *l = fifo_queue.link.next; l != &fifo_queue.link; l = l->next)
        n++;
    return n;
}

TEST_F(Fifo, PiecesSplitTrimAndMatchWithOneHintPerWrite)
{
    const struct {
        std::string text;
        Texts calls;
        size_t hints;
    } cases[] = {
        {" \"mode\"\t= \"debug\"\n", {"debug:debug"}, 0},  // quoted, with echo's line feed
        {"mode=Debug", {}, 1},
        {"mode", {}, 1},
        {"=debug", {}, 1},
        {"any=", {"any:"}, 0},
        {"mode=debug=1;any=a=1", {"any:a=1"}, 1},  // only the first '=' splits
        {"mode=debug;", {"debug:debug"}, 0},
        {"mode=debug;;any=2", {"debug:debug", "any:2"}, 1},
        {"any=1\nmode=debug", {"any:1\nmode=debug"}, 0},  // a line feed separates nothing
        {"mode=debug\nany=1", {}, 1},
        {std::string("mode=debug\0junk;any=2", 21), {"debug:debug", "any:2"}, 0},
        {std::string("\0;any=3", 7), {"any:3"}, 1},
        {"=x;nohandler=1", {}, 1},
        // Over 99 characters once trimmed: refused, never cut (a cut value
        // would run mode=debug here).
        {"mode=debug" + std::string(95, ' ') + "junk;" + std::string(100, 'k') + "=1", {}, 1},
        {"any=" + std::string(99, 'v') + ";any=" + std::string(120, ' ') + "v ", {"any:" + std::string(99, 'v'), "any:v"}, 0},
    };
    for (const auto &c : cases) {
        calls.clear();
        capture_.clear();
        send(c.text);
        EXPECT_EQ(calls, c.calls) << c.text;
        EXPECT_EQ(hints(), c.hints) << c.text;
    }
    // 266 bytes take two reads; the command cut at byte 256 fails in both.
    std::string x80 = "any=" + std::string(80, 'x') + ";";
    calls.clear();
    capture_.clear();
    send(x80 + x80 + x80 + "mode=debug", 2);
    EXPECT_EQ(calls, Texts(3, "any:" + std::string(80, 'x')));
    EXPECT_EQ(hints(), 2u);
}

TEST_F(Fifo, GarbageReadErrorsAndFloodsNeverStall)
{
    auto drain = [this] {  // reads with data until the pipe is empty
        int reads = 0;
        for (capture_.clear(); !capture_.contains("]no data yet\n\n") && reads < 10000; reads++)
            fifo_handle(fd_);
        return reads - 1;
    };
    unsigned seed = 7;
    size_t bytes = 0;
    for (int i = 0; i < 40; i++) {
        std::string junk(1 + rand_r(&seed) % 300, '\0');  // binary, NULs too
        for (char &ch : junk)
            ch = static_cast<char>(rand_r(&seed));
        send(junk, 0);
        bytes += junk.size();
    }
    EXPECT_EQ(drain(), (int)((bytes + 255) / 256));
    calls.clear();
    for (int i = 0; i < 1000; i++)
        send("any=123;", 0);
    EXPECT_EQ(drain(), 8000 / 256 + 1);
    EXPECT_EQ(calls, Texts(1000, "any:123"));
    EXPECT_EQ(hints(), 0u);
    capture_.clear();
    fifo_handle(-1);  // a failed read runs the empty text, which fails
    EXPECT_EQ(hints(), 1u);
}

TEST_F(Fifo, HelpListsUsableRowsInOrderGatedByCcLevel)
{
    send("help=");
    EXPECT_EQ(capture_.count("[cc fifo_print_debug +"), 4u);
    EXPECT_EQ(traced_by("fifo_print_debug"), (Texts{"help=NULL\n", "mode=debug\n", "mode=debug\n", "any=NULL\n"}));
    dbgout_profile.cc_level = 7;
    capture_.clear();
    send("help=1\nsecond line");
    Texts listed = traced_by("fifo_print_debug");
    EXPECT_EQ(listed.size() == 6 ? listed.front() + listed.back() : "", "enter\nLeave\n");
}

TEST_F(Fifo, DroppedRegistrationsLeaveTheListIntact)
{
    add_fifo_work(nullptr, 2);
    add_fifo_work(rows, 0);
    add_fifo_work(rows, 1);
    EXPECT_EQ(registrations(), 2);
    EXPECT_EQ(capture_.count("]command table dropped: "), 2u);
    send("mode=debug");
    EXPECT_EQ(calls, Texts{"debug:debug"});
}

TEST_F(Fifo, NodeModeExitTracesAndAFreshStart)
{
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(node_.st_mode & 0777, 0766u & ~mask);
    fifo_exit_fun(fd_);
    EXPECT_EQ(traced_by("fifo_exit_fun"), (Texts{"enter\n", "Leave\n"}));
    EXPECT_EQ(registrations(), 0);
    FifoPipe::SetUp();
    send("mode=debug");  // the list starts empty again
    EXPECT_EQ(hints(), 1u);
}

TEST_F(Fifo, LaterProcessesServeTheirOwnNodeAndRemoveOnlyThat)
{
    pid_t child = fork();
    if (child == 0) {  // "/dev/libfifo" is taken, by this test or another process
        std::string own = "/dev/libfifo_" + std::to_string(getpid());
        int fd = fifo_init_fun();
        add_fifo_work(rows, 4);
        int w = open(own.c_str(), O_WRONLY | O_NONBLOCK);
        bool wrote = fd >= 0 && w >= 0 && write(w, "any=child\n", 10) == 10;
        fifo_handle(fd);
        fifo_exit_fun(fd);
        if (!wrote || calls != Texts{"any:child"} || access(own.c_str(), F_OK) == 0 || access(path_.c_str(), F_OK) != 0)
            _exit(1);
        // A node found present: no pipe, the node is left, and none is made later.
        mkfifo(own.c_str(), 0600);
        fd = fifo_init_fun();
        fifo_exit_fun(fd);
        bool left = remove(own.c_str()) == 0;
        if (fd != -1 || !left || !capture_.contains("]can not create fifo server 17 File exists\n"))
            _exit(2);
        fd = fifo_init_fun();
        fifo_exit_fun(fd);
        _exit(fd == -1 && access(own.c_str(), F_OK) != 0 ? 0 : 3);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    send("any=parent");
    EXPECT_EQ(calls, Texts{"any:parent"});
}

TEST_F(Fifo, TablesRegisterWhileCommandsAreHandled)
{
    dbgout_profile.cc_level = 5;  // walk the rows for "help" without tracing them
    std::atomic<bool> done{false};
    std::thread registrar([&] {
        for (int i = 0; i < 200; i++)
            add_fifo_work(rows + 3, 1);
        done = true;
    });
    size_t handled = 0;
    for (; handled < 50 || !done; handled++)
        send("help=1;any=1");
    registrar.join();
    EXPECT_EQ(calls, Texts(handled, "any:1"));
    EXPECT_EQ(registrations(), 201);
}
