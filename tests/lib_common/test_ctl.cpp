// The control socket as lcctl drives it: answers, refusals that run nothing, followers, slow and idle readers.
#include "started_library.h"

#include "reply_protocol_internal.h"

#include <algorithm>
#include <poll.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <utility>

namespace {

using Record = std::pair<char, std::string>;
using Records = std::vector<Record>;

// A connection of the test's own to this process's control socket; `first` is sent at once.
struct Client {
    explicit Client(const std::string &first = "")
    {
        const struct timeval patience = {10, 0};  // an answer that never ends fails the test, not hangs it
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        struct sockaddr_un addr;
        const std::string name = LC_CTL_NAME_PREFIX + std::to_string(getpid());
        const socklen_t size = lc_ctl_address(&addr, name.data(), name.size());
        EXPECT_EQ(connect(fd_, reinterpret_cast<struct sockaddr *>(&addr), size), 0);
        EXPECT_TRUE(first.empty() || send(fd_, first.data(), first.size(), MSG_NOSIGNAL) == (ssize_t)first.size());
    }
    ~Client() { close(fd_); }
    // Records until one of type `last` (included) or the end of the connection.
    Records until(char last)
    {
        Records all;
        for (char buf[4096];;) {
            for (size_t nul; (nul = pending_.find('\0')) != std::string::npos;) {
                all.emplace_back(nul > 0 ? pending_[0] : '?', nul > 1 ? pending_.substr(1, nul - 1) : "");
                pending_.erase(0, nul + 1);
                if (all.back().first == last)
                    return all;
            }
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                return all;
            pending_.append(buf, n);
        }
    }
    // Everything that has come, waiting at most 100 ms for more.
    void drain()
    {
        char buf[65536];
        for (struct pollfd p = {fd_, POLLIN, 0}; poll(&p, 1, 100) == 1 && recv(fd_, buf, sizeof buf, 0) > 0;)
            continue;
        pending_.clear();
    }
    int fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string pending_;
};

const auto req = [](char type) { return std::string{type, '\0'}; };
const auto follow = [] { return std::make_unique<Client>(req(LC_REQ_FOLLOW)); };

std::string types(const Records &records)
{
    std::string t;
    for (const Record &r : records)
        t += r.first;
    return t;
}

// The status text, all levels at the start's 6 but lib's.
struct Ctl : StartedLibrary {
    std::string status(char lib) const
    {
        return "pid=" + std::to_string(getpid()) + " pipe=" + path_ + " version=" LC_VERSION_EXPECTED " lib=" + lib +
               " para=6 cc=6 visca=6 module=6 net=6 mpp=6 time=0";
    }
};

// Each kind of request and its answer; a refused one runs none of its pieces and never traces the pipe's hint.
TEST_F(Ctl, EachRequestGetsItsAnswerAndARefusalRunsNothing)
{
    const struct {
        std::string request;
        std::string types;
        std::string last;  // text of the last record but the end
    } cases[] = {
        {"clib_level=debug", "stse", status('7')},
        {"c ;lib_level=info; ;test_mark=1;", "sse", status('6')},  // blank pieces are no commands
        {"g", "se", status('6')},
        {"clib_level=err;foo=1", "ne", "no row matches \"foo=1\"; nothing was run"},
        {"cdbg_time=1;lib_level=debug\x1b[2J", "ne", "no row matches \"lib_level=debug\\x1b[2J\"; nothing was run"},
        {"clib_level=" + std::string(300, 'x'), "ne",
         "no row matches \"lib_level=" + std::string(117, 'x') + "\"; nothing was run"},
        {"z", "ne", "unknown request"},
        {"", "ne", "empty request"},
    };
    for (const auto &c : cases) {
        const Records answer = Client(c.request + '\0').until(LC_REC_END);
        ASSERT_EQ(types(answer), c.types) << c.request;
        EXPECT_EQ(answer[answer.size() - 2].second, c.last) << c.request;
        if (c.types == "stse") {
            EXPECT_EQ(answer[1].second.substr(0, 23) + answer[1].second.substr(answer[1].second.find(']')),
                      "7[lib set_debug_level +]L7\n");
        }
    }
    EXPECT_EQ((std::vector<int>{dbgout_profile.time_enable, XEL_LEVEL(lib), marks, (int)capture_.count("please use")}),
              (std::vector<int>{0, 6, 1, 0}));
    std::string listed;
    for (const Record &r : Client(req(LC_REQ_ROWS)).until(LC_REC_END))
        listed += std::string(1, r.first) + r.second + "\n";
    std::string expected;
    for (const std::string &row : listed_rows())
        expected += (row.find('=') == std::string::npos ? "R" : "r") + row + "\n";
    EXPECT_EQ(listed, expected + "s" + status('6') + "\ne\n");
}

// Unfinished requests hold their places a second at most; meanwhile more are told "busy", traced at most twice.
TEST_F(Ctl, UnfinishedRequestsAreDroppedAndTheirPlacesFreed)
{
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < LC_CTL_CONNECTIONS; i++)
        idle.push_back(std::make_unique<Client>("g"));  // no NUL: never complete
    for (int i = 0; i < 5; i++)                         // more than the rate limiter lets through
        EXPECT_EQ(types(Client().until(LC_REC_END)), "be") << i;
    for (auto &c : idle)
        EXPECT_EQ(c->until(LC_REC_END), (Records{{'n', "request not complete in time"}, {'e', ""}}));
    EXPECT_EQ(types(Client(req(LC_REQ_GET)).until(LC_REC_END)), "se");
    EXPECT_EQ(capture_.count("]lcctl: refused uid " + std::to_string(geteuid()) + ": too many connections\n"), 2u)
        << "two in five seconds";
}

// An answer too big for the socket is cut with a count of the rest, then status and end; the scheduler never waits.
TEST_F(Ctl, AnswerThatDoesNotFitIsCutWithACountAndStillEnds)
{
    static std::vector<std::string> keys;
    static std::vector<fifo_cmd> many;
    for (int i = keys.size(); i < 2000; i++)
        keys.push_back("a_long_row_name_for_the_listing_" + std::to_string(i));
    many.clear();
    for (const std::string &k : keys)
        many.push_back({k.c_str(), nullptr, [](const char *, void *) {}, nullptr});
    add_fifo_work(many.data(), (int32_t)many.size());
    Client client(req(LC_REQ_ROWS));
    static char queued[1 << 20];  // whatever the socket holds: wait for the end without reading
    ASSERT_TRUE(lc_test::wait_until([&] {
        const ssize_t n = recv(client.fd_, queued, sizeof queued, MSG_PEEK | MSG_DONTWAIT);
        return n >= 2 && queued[n - 2] == LC_REC_END && queued[n - 1] == '\0';
    }));
    const Records answer = client.until(LC_REC_END);
    const std::string t = types(answer);
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(t.substr(t.find_first_not_of("rR")), "xse");
    const size_t rows = 1 + 26 + 3 + 1 + 2000;
    EXPECT_EQ(std::stoul(answer[answer.size() - 3].second), rows - (t.size() - 3));
    EXPECT_GT(t.size() - 3, 30u);
}

// Runs of a 10 ms fixed-period task in half a second; each traces a line that followers who never read cannot take.
int runs_in_half_a_second()
{
    static std::atomic<int> runs;
    runs = 0;
    int token = add_fixperiod_task(
        [](void *) {
            runs++;
            XEL_TRACE(lib, 6, "%0500d\n", 7);
        },
        nullptr, 0, 10000);
    usleep(500000);
    remove_task_wait(&token);
    return runs;
}

// Followers: every thread's traces, four at most, losses counted once read again, never slowing a 10 ms task much.
TEST_F(Ctl, FollowersGetEveryThreadsTracesAreLimitedAndNeverDelayTimers)
{
    const int alone = runs_in_half_a_second();
    std::vector<std::unique_ptr<Client>> followers;
    for (int i = 0; i < LC_CTL_FOLLOWERS; i++) {
        followers.push_back(follow());
        ASSERT_EQ(types(followers.back()->until(LC_REC_STATUS)), "s") << i;
    }
    EXPECT_EQ(follow()->until(LC_REC_END), (Records{{'b', "followers"}, {'e', ""}}));
    XEL_TRACE(lib, 3, "from the test's thread\n");
    EXPECT_GT(add_task([](void *) { XEL_TRACE(lib, 6, "from a pool worker\n"); }, nullptr, 0, 0), 0);
    std::vector<std::string> texts;  // the two above, whatever else the process traced meanwhile
    EXPECT_TRUE(lc_test::wait_until([&] {
        for (const Record &r : followers[0]->until(LC_REC_TRACE))
            if (r.second.find("]from ") != std::string::npos)
                texts.push_back(r.second.substr(0, 1) + r.second.substr(r.second.find(']') + 1));
        return texts.size() >= 2;
    }));
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, (std::vector<std::string>{"3from the test's thread\n", "6from a pool worker\n"}));
    for (int i = 0; i < 2000; i++)  // more than their buffers hold
        XEL_TRACE(lib, 6, "%0500d\n", i);
    EXPECT_GE(runs_in_half_a_second(), alone / 2);
    followers[1]->drain();  // room again
    XEL_TRACE(lib, 3, "read again\n");
    const std::string t = types(followers[1]->until(LC_REC_TRACE));
    EXPECT_EQ(t.substr(t.size() - 2), "xt");
    close(std::exchange(followers[0]->fd_, -1));
    XEL_TRACE(lib, 6, "nobody reads this follower\n");  // EPIPE, never SIGPIPE
    EXPECT_EQ(types(follow()->until(LC_REC_STATUS)), "s");
}

}  // namespace
