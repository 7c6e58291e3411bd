// Debug command pipe: commands written into the real pipe, the registration
// list, the "help" listing, bad input, other processes, concurrent use.
#include "fifo_pipe.h"

#include <atomic>
#include <functional>
#include <new>
#include <stdlib.h>
#include <sys/wait.h>
#include <thread>

// Link-time seam: the library's nothrow new comes here, so a test can make
// it fail.  Otherwise it takes the ordinary allocator, matching delete.
static bool fail_nothrow_new = false;
void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    return fail_nothrow_new ? nullptr : ::operator new(size);
}

static std::vector<std::string> calls;  // "<row data>:<value>", in order
static void record(const char *value, void *data)
{
    calls.push_back(std::string(static_cast<const char *>(data)) + ":" + value);
}

static const fifo_cmd rows[] = {
    {"help", nullptr, fifo_print_debug, nullptr},
    {"mode", "debug", record, (void *)"debug"},
    {"mode", "debug", record, (void *)"shadowed"},  // the earlier row wins
    {"any", nullptr, record, (void *)"any"},
    {nullptr, "x", record, (void *)"nokey"},        // never matches
    {"nohandler", nullptr, nullptr, nullptr},       // never matches
};

class Fifo : public FifoPipe {
protected:
    void SetUp() override
    {
        FifoPipe::SetUp();
        add_fifo_work(rows, sizeof rows / sizeof rows[0]);
        calls.clear();
    }
    // Texts traced by `function`, without their tags.
    std::vector<std::string> traced_by(const std::string &function) const
    {
        std::vector<std::string> out;
        for (const std::string &t : capture_.texts())
            if (t.find(" " + function + " +") != std::string::npos)
                out.push_back(t.substr(t.find(']') + 1));
        return out;
    }
    // Handles reads until the pipe is empty; returns the reads with data.
    int drain()
    {
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
        int reads = 0;
        for (capture_.clear(); !capture_.contains("]no data yet\n\n") && reads < 10000; reads++)
            fifo_handle(fd_);
        return reads - 1;
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
        std::vector<std::string> calls;
        size_t hints;
    } cases[] = {
        {"mode=debug", {"debug:debug"}, 0},
        {" \"mode\"\t= \"debug\"\n", {"debug:debug"}, 0},  // quoted, with echo's line feed
        {"mode=Debug", {}, 1},                             // letter case counts
        {"mode", {}, 1},
        {"=debug", {}, 1},
        {"any=", {"any:"}, 0},
        {"mode=debug=1;any=a=1", {"any:a=1"}, 1},          // only the first '=' splits
        {"mode=debug;", {"debug:debug"}, 0},
        {"mode=debug;;any=2", {"debug:debug", "any:2"}, 1},
        {"any=1\nmode=debug", {"any:1\nmode=debug"}, 0},   // a line feed separates nothing
        {"mode=debug\nany=1", {}, 1},
        {std::string("mode=debug\0junk;any=2", 21), {"debug:debug", "any:2"}, 0},
        {std::string("\0;any=3", 7), {"any:3"}, 1},
        {"=x;nohandler=1", {}, 1},
    };
    for (const auto &c : cases) {
        calls.clear();
        capture_.clear();
        send(c.text);
        EXPECT_EQ(calls, c.calls) << c.text;
        EXPECT_EQ(hints(), c.hints) << c.text;
    }
}

TEST_F(Fifo, LongTextsAreRefusedWholeOrReadInPieces)
{
    const std::string v99(99, 'v'), x80 = "any=" + std::string(80, 'x') + ";";
    send("any=" + v99);
    send("any=" + v99 + "w;" + std::string(120, 'k') + "=1");
    // Cutting the value to 99 characters would have run mode=debug.
    send("mode=debug" + std::string(95, ' ') + "junk");
    send("any=" + std::string(120, ' ') + "v" + std::string(120, ' '));
    EXPECT_EQ(calls, (std::vector<std::string>{"any:" + v99, "any:v"}));
    EXPECT_EQ(hints(), 2u);

    // 266 bytes take two reads; the command cut at byte 256 fails in both.
    calls.clear();
    capture_.clear();
    send(x80 + x80 + x80 + "mode=debug", 2);
    EXPECT_EQ(calls, std::vector<std::string>(3, "any:" + std::string(80, 'x')));
    EXPECT_EQ(hints(), 2u);
}

TEST_F(Fifo, GarbageReadErrorsAndFloodsNeverStall)
{
    unsigned seed = 7;
    size_t bytes = 0;
    for (int i = 0; i < 40; i++) {
        std::string junk(1 + rand_r(&seed) % 300, '\0');
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
    EXPECT_EQ(calls, std::vector<std::string>(1000, "any:123"));
    EXPECT_EQ(hints(), 0u);

    dbgout_profile.lib_level = 5;  // "no data yet" is a level-6 trace
    capture_.clear();
    fifo_handle(fd_);
    EXPECT_TRUE(capture_.lines().empty());
    dbgout_profile.lib_level = 6;
    capture_.clear();
    fifo_handle(-1);  // a failed read runs the empty text, which fails
    EXPECT_EQ(hints(), 1u);
}

TEST_F(Fifo, HelpListsUsableRowsInOrderGatedByCcLevel)
{
    send("help=");
    EXPECT_EQ(traced_by("fifo_print_debug"),
              (std::vector<std::string>{"help=NULL\n", "mode=debug\n", "mode=debug\n", "any=NULL\n"}));
    EXPECT_TRUE(capture_.contains("[cc fifo_print_debug +"));
    dbgout_profile.cc_level = 7;
    capture_.clear();
    send("help=1\nsecond line");
    auto listed = traced_by("fifo_print_debug");
    ASSERT_EQ(listed.size(), 6u);
    EXPECT_EQ(listed.front() + listed.back(), "enter\nLeave\n");
    dbgout_profile.cc_level = 5;
    capture_.clear();
    send("help=1");
    EXPECT_TRUE(capture_.lines().empty());
}

TEST_F(Fifo, DroppedRegistrationsLeaveTheListIntact)
{
    add_fifo_work(nullptr, 2);
    add_fifo_work(rows, 0);
    fail_nothrow_new = true;
    add_fifo_work(rows, 1);
    fail_nothrow_new = false;
    EXPECT_EQ(registrations(), 1);
    EXPECT_EQ(capture_.count("]command table dropped: "), 3u);
    send("mode=debug");
    EXPECT_EQ(calls, std::vector<std::string>{"debug:debug"});
}

TEST_F(Fifo, NodeModeAndAFreshStartAfterExit)
{
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(node_.st_mode & 0777, 0766u & ~mask);

    // A second start without an exit removes the first node and the list.
    int first = fd_;
    std::string first_path = path_;
    struct stat first_node = node_;
    FifoPipe::SetUp();
    close(first);
    struct stat now;
    EXPECT_TRUE(stat(first_path.c_str(), &now) != 0 || now.st_ino != first_node.st_ino);
    EXPECT_EQ(registrations(), 0);

    fifo_exit_fun(fd_);
    EXPECT_EQ(traced_by("fifo_exit_fun"), (std::vector<std::string>{"enter\n", "Leave\n"}));
    FifoPipe::SetUp();
    send("mode=debug");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(hints(), 1u);
}

// Runs body in a child process and returns its exit status.
static int in_child(const std::function<int()> &body)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST_F(Fifo, LaterProcessesServeTheirOwnNodeAndRemoveOnlyThat)
{
    // "/dev/libfifo" is taken (by this process or another one).
    EXPECT_EQ(in_child([this] {
                  std::string own = "/dev/libfifo_" + std::to_string(getpid());
                  int fd = fifo_init_fun();
                  add_fifo_work(rows, 4);
                  int w = open(own.c_str(), O_WRONLY | O_NONBLOCK);
                  if (fd < 0 || w < 0 || write(w, "any=child\n", 10) != 10)
                      return 1;
                  close(w);
                  fifo_handle(fd);
                  fifo_exit_fun(fd);
                  if (calls != std::vector<std::string>{"any:child"} || access(own.c_str(), F_OK) == 0)
                      return 2;
                  return access(path_.c_str(), F_OK) == 0 ? 0 : 3;
              }),
              0);
    // A process that finds its node present serves no pipe, leaves that node
    // alone, and never makes one later.
    EXPECT_EQ(in_child([this] {
                  std::string own = "/dev/libfifo_" + std::to_string(getpid());
                  if (mkfifo(own.c_str(), 0600) != 0)
                      return 1;
                  int fd = fifo_init_fun();
                  fifo_exit_fun(fd);
                  bool left = access(own.c_str(), F_OK) == 0;
                  remove(own.c_str());
                  if (fd != -1 || !left || !capture_.contains("]can not create fifo server 17 File exists\n"))
                      return 2;
                  fd = fifo_init_fun();
                  fifo_exit_fun(fd);
                  return fd == -1 && access(own.c_str(), F_OK) != 0 ? 0 : 3;
              }),
              0);
    send("any=parent");
    EXPECT_EQ(calls, std::vector<std::string>{"any:parent"});
}

TEST_F(Fifo, TablesRegisterWhileCommandsAreHandled)
{
    dbgout_profile.cc_level = 5;  // list the rows without tracing them
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
    EXPECT_EQ(calls, std::vector<std::string>(handled, "any:1"));
    EXPECT_EQ(registrations(), 201);
}
