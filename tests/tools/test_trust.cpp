// test_trust.cpp - the control channel's trust boundary: a device process as root (umask 0, as on the device) against
// an intruder of the test's own, in private namespaces with their own /dev, folder and user list.
#include "processes.h"
#include "reply_protocol_internal.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>

using namespace lc_proc;
using namespace std::string_literals;

namespace {

std::string world_error;  // why the world could not be made: every test skips
std::string world;        // the world's own folder, a tmpfs
uid_t intruder = 61000;

bool bind_mount(const std::string &from, const std::string &to)
{
    return mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

std::string make_world()
{
    if (geteuid() != 0)
        return "not root: the intruder and a private /dev need root";
    std::string passwd = read_file("/etc/passwd");
    while (has(passwd, ":" + std::to_string(intruder) + ":"))  // a uid that no account has
        intruder++;
    passwd += "lc_intruder:x:" + std::to_string(intruder) + ":" + std::to_string(intruder) + "::/:/usr/sbin/nologin\n";
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return "no private namespaces: "s + strerror(errno);
    // The world's files in a tmpfs of its own: /tmp, where the programs may live, stays.
    char dir[] = "/tmp/lc_trust.XXXXXX";
    if (mkdtemp(dir) == nullptr || mount("tmpfs", dir, "tmpfs", 0, "mode=1777") != 0)
        return "no private folder: "s + strerror(errno);
    atexit([] {
        umount2(world.c_str(), MNT_DETACH);
        rmdir(world.c_str());
    });
    std::ofstream((world = dir) + "/.passwd") << passwd;
    std::ofstream(world + "/.null").put('\0');
    // The real null node is kept aside before /dev is covered; terminals come from a devpts of the world's own.
    if (!bind_mount("/dev/null", world + "/.null") || mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0 ||
        !std::ofstream("/dev/null").put('\0') || !bind_mount(world + "/.null", "/dev/null") ||
        mkdir("/dev/pts", 0755) != 0 ||
        mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") != 0 ||
        symlink("pts/ptmx", "/dev/ptmx") != 0 || !bind_mount(world + "/.passwd", "/etc/passwd"))
        return "cannot place the nodes or the user list: "s + strerror(errno);
    setenv("TMPDIR", world.c_str(), 1);  // where lcctl looks for old reply FIFOs first
    umask(0);                            // the device's processes make their nodes 0766
    return "";
}

class Trust : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!world_error.empty())
            GTEST_SKIP() << world_error;
        device_ = set_.serve({PEER_BIN, "device"});
        ASSERT_NE(device_, nullptr) << set_.failure;
        ASSERT_EQ(device_->pipe, "/dev/libfifo");
        pid_ = std::to_string(device_->pid);
    }

    static int open_pipe(int flags) { return open("/dev/libfifo", flags | O_CLOEXEC); }
    static bool write_all(int fd, const std::string &s) { return write(fd, s.data(), s.size()) == (ssize_t)s.size(); }
    static socklen_t address(sockaddr_un *a, const std::string &n) { return lc_ctl_address(a, n.data(), n.size()); }
    // Runs fn as the intruder in a child process that stays, stopped, until the test ends; its pid.
    pid_t intrude(const std::function<int()> &fn)
    {
        int status = 0;
        Child &c = set_.emplace_back();
        fflush(nullptr);
        if ((c.pid = fork()) == 0) {
            const int failed = setgroups(0, nullptr) || setgid(intruder) || setuid(intruder) ? 125 : fn();
            _exit(failed != 0 ? failed : raise(SIGSTOP));
        }
        c.ended = c.pid < 0 || waitpid(c.pid, &status, WUNTRACED) != c.pid || !WIFSTOPPED(status);
        EXPECT_FALSE(c.ended) << "the intruder failed its part: " << WEXITSTATUS(status);
        return c.pid;
    }
    // lcctl -p <the device> args, as root or as `as`.
    Child dev(std::vector<std::string> args, uid_t as = 0)
    {
        args.insert(args.begin(), {"-p", pid_});
        return ctl(args, 60, as);
    }
    // A connection to the device's control socket that has sent `bytes`; -1 when none.
    int knock(const std::string &bytes) const
    {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr;
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), address(&addr, LC_CTL_NAME_PREFIX + pid_)) != 0)
            return close(fd), -1;
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        return fd;
    }
    // What args printed with a terminal as their standard output.
    static std::string on_terminal(const std::vector<std::string> &args)
    {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return "no terminal";
        Child c = spawn(args, 0, ptsname(master));
        std::string got = finish(c, 30 * slow()).err;
        char buf[4096];
        pollfd p = {master, POLLIN, 0};
        for (ssize_t n; poll(&p, 1, 1000) == 1 && (n = read(master, buf, sizeof buf)) > 0;)  // EIO once it is closed
            got.append(buf, (size_t)n);
        close(master);
        return got;
    }
    // The largest gap between two starts of the device's 10 ms task since the last call, in microseconds.
    long largest_gap()
    {
        const std::string out = dev({"gap=1"}).out;
        return has(out, "]gap ") ? atol(out.c_str() + out.find("]gap ") + 5) : -1;
    }

    Children set_;
    Child *device_ = nullptr;
    std::string pid_;
};

// Old reply headers naming root's FIFOs (through links, /proc, renames, the pipe itself) open none of them; forged
// lines become none of the device's; refusals are traced at most twice in five seconds.
TEST_F(Trust, NothingTheIntruderWritesIsOpenedOrTraced)
{
    const std::string root = world + "/root", open_dir = world + "/open";
    ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(open_dir.c_str(), 0777), 0);
    ASSERT_EQ(mkfifo((root + "/lcctl-victim").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo("/dev/lcctl-root", 0600), 0);
    ASSERT_EQ(link("/dev/libfifo", "/dev/lcctl-x"), 0);  // as if hard links were not protected
    // The link to the pipe is the pipe, opened by every writer: only the trace count tells a loop.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    for (const std::string &watched : {root, open_dir, "/dev/lcctl-root"s})
        EXPECT_GE(inotify_add_watch(watch, watched.c_str(), IN_OPEN), 0) << watched;
    const std::string forged =
        "\0lcctl reply=/tmp/x\n[lib main +1   ]SIGSEGV, rebooting\x1b[2J follow;SIGSEGV\x1b[2J=r;"s;
    intrude([&] {
        const int w = open_pipe(O_WRONLY | O_NONBLOCK);
        if (symlink(root.c_str(), (open_dir + "/link").c_str()) != 0 ||
            mkfifo((open_dir + "/lcctl-a").c_str(), 0666) != 0)
            return 1;
        for (const std::string &path : {root + "/lcctl-victim", open_dir + "/link/lcctl-victim", "lcctl-victim"s,
                                        "/proc/" + pid_ + "/fd/0", "/dev/lcctl-x"s, "/dev/lcctl-root"s})
            if (!write_all(w, "\0lcctl reply="s + path + " follow;help=1"))
                return 2;
        for (int i = 0; i < 200; i++) {  // renamed back and forth while it is named
            rename((open_dir + (i % 2 ? "/lcctl-b" : "/lcctl-a")).c_str(),
                   (open_dir + (i % 2 ? "/lcctl-a" : "/lcctl-b")).c_str());
            write_all(w, "\0lcctl reply="s + open_dir + "/lcctl-a follow;");
            write_all(w, forged);
            close(knock(forged));
        }
        return close(w);
    });
    const Child get = dev({"get"});  // every write has been read then
    EXPECT_EQ(get.status, 0) << get.err;
    char events[4096];
    EXPECT_LE(read(watch, events, sizeof events), 0) << "a file the requester named was opened";
    close(watch);
    unlink("/dev/lcctl-x");
    unlink("/dev/lcctl-root");
    const std::string t = read_file(device_->err_path);  // the device's traces, "<level> text" lines
    EXPECT_EQ(count_of(t, "<0> ") + count_of(t, "<1> ") + count_of(t, "<2> ") + count_of(t, "<3> "), 0u) << t;
    EXPECT_LT(count_of(t, "\n"), 1000u) << "the device talks to itself";
    EXPECT_FALSE(has(t, "SIGSEGV") || has(t, "\x1b")) << t;
    EXPECT_LE(count_of(t, "]lcctl: refused uid " + std::to_string(intruder) + ": "), 2u) << t;
    const std::string shown = on_terminal({LCCTL_BIN, "-p", pid_, "say=\x1b[2Jcleared"});
    EXPECT_FALSE(has(shown, "\x1b")) << shown;
    EXPECT_TRUE(has(shown, "said \\x1b[2Jcleared")) << shown;
}

// The intruder's connections are denied before anything is read, taking no place; its lock on the node, escape-byte
// name and squatted socket names fool nobody: list shows the kernel's view, root's callers and followers get in.
TEST_F(Trust, OnlyRootGetsInAndTheKernelNamesTheServer)
{
    int attached = 0;  // of root's followers: four attach, the others are told the device is busy
    for (int i = 0; i < 8; i++) {
        set_.push_back(spawn({LCCTL_BIN, "-p", pid_, "follow"}));
        std::string err;
        ASSERT_TRUE(wait_until(
            [&] { return has(err = read_file(set_.back().err_path), "-- following") || has(err, "busy: too many"); },
            10 * slow()))
            << err;
        if (has(err, "-- following") && ++attached)
            kill(set_.back().pid, SIGSTOP);
    }
    EXPECT_EQ(attached, 4);
    largest_gap();
    const pid_t impostor = intrude([&] {
        for (int i = 0; i < 12; i++) {  // each connection kept open
            pollfd p = {knock("f\0"s), POLLIN, 0};
            char answer = 0;
            if (poll(&p, 1, (int)(1000 * slow())) != 1 || recv(p.fd, &answer, 1, 0) != 1 || answer != 'd')
                return 1;
        }
        prctl(PR_SET_NAME, "\x1b[2Jdevice", 0, 0, 0);
        const int lock = open_pipe(O_RDONLY | O_NONBLOCK);
        if (lock < 0 || flock(lock, LOCK_EX) != 0)
            return 2;
        for (const std::string &name : {LC_CTL_NAME_PREFIX + pid_ + ".1", LC_CTL_NAME_PREFIX "99999999"s}) {
            const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr;
            if (bind(fd, reinterpret_cast<sockaddr *>(&addr), address(&addr, name)) != 0 || listen(fd, 4) != 0)
                return 3;
        }
        return 0;
    });
    const Child denied = dev({"lib_level=debug"}, intruder);
    EXPECT_EQ(denied.status, 2);
    EXPECT_TRUE(has(denied.err, "permission denied")) << denied.err << denied.out;
    const Child once = dev({"say=once"});
    EXPECT_EQ(once.status, 0) << once.err;
    EXPECT_EQ(count_of(once.out, "]said once\n"), 1u) << once.out;
    EXPECT_TRUE(has(dev({"get"}).out, " lib=6 ")) << "the intruder's level was set";
    EXPECT_LT(largest_gap(), 200000 * slow()) << "stopped followers held the device back";

    const Child list = ctl({"list", "--json"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_TRUE(has(list.out, "{\"pipe\":\"/dev/libfifo\",\"pid\":" + pid_ + ",\"name\":\"device\"")) << list.out;
    EXPECT_EQ(count_of(list.out, "/dev/libfifo"), 1u) << list.out;
    EXPECT_EQ(count_of(list.out, "\"pid\":" + std::to_string(impostor) + ",\"name\":\"\\u001b[2Jdevice\""), 2u)
        << list.out;
    EXPECT_FALSE(has(on_terminal({LCCTL_BIN, "list"}), "\x1b"));
    EXPECT_EQ(ctl({"-n", "device", "get"}).out.find("pid=" + pid_ + " "), 0u);
}

// A killed lcctl leaves nothing and frees its place; a stopped device costs a caller its time-out and the request left
// behind never runs; clean removes a killed device's node once nobody holds it, and an old reply FIFO.
TEST_F(Trust, StoppedOrKilledEitherSideLeavesNothingBehind)
{
    const std::string old_reply = world + "/lcctl-1234-5678";  // left by an older lcctl in $TMPDIR
    ASSERT_EQ(mkfifo(old_reply.c_str(), 0600), 0);
    const auto listing = [] {  // what a program leaves behind shows here
        std::string names;
        for (const std::string &dir : {"/dev"s, world})
            for (const auto &entry : std::filesystem::directory_iterator(dir))
                names += entry.path().string() + "\n";
        return names;
    };
    const std::string before = listing();
    for (int i = 0; i < 5; i++) {  // more than there are places: each frees its own
        Child f = spawn({LCCTL_BIN, "-p", pid_, "follow"});
        EXPECT_TRUE(wait_for_text(f.err_path, "-- following", 10 * slow())) << i << read_file(f.err_path);
        end_child(f);
    }
    EXPECT_EQ(listing(), before);

    int stop = 0;  // the parent hears of the stop once every thread has stopped
    ASSERT_EQ(kill(device_->pid, SIGSTOP), 0);
    ASSERT_TRUE(waitpid(device_->pid, &stop, WUNTRACED) == device_->pid && WIFSTOPPED(stop));
    const Child stopped = dev({"-t", "1", "lib_level=debug"});
    EXPECT_EQ(stopped.status, 2);
    EXPECT_TRUE(has(stopped.err, "stopped: no answer within 1")) << stopped.err;
    EXPECT_LT(stopped.seconds, 1 + 2 * slow());
    ASSERT_EQ(kill(device_->pid, SIGCONT), 0);
    EXPECT_TRUE(has(dev({"get"}).out, " lib=6 ")) << "the left request ran";

    end_child(*device_);
    const std::string young = "/dev/libfifo_999999";  // no process of this world's, made just now: spared
    ASSERT_EQ(mkfifo(young.c_str(), 0600), 0);
    const Child fresh = ctl({"clean", young});
    EXPECT_EQ(fresh.status, 1);
    EXPECT_TRUE(has(fresh.err, "left " + young + ": made just now")) << fresh.err;
    struct stat st;
    ASSERT_EQ(stat(young.c_str(), &st), 0);
    ASSERT_TRUE(wait_until([&] { return time(nullptr) - st.st_ctime >= 2; }, 5));
    const int holder = open_pipe(O_RDONLY | O_NONBLOCK);  // whoever holds it: not stale
    const Child held = ctl({"clean", "/dev/libfifo", "/dev/null"});
    EXPECT_EQ(held.status, 2);
    EXPECT_TRUE(has(held.err, "left /dev/libfifo: held open by pid " + std::to_string(getpid()))) << held.err;
    EXPECT_TRUE(has(held.err, "not a debug pipe node nor an old reply FIFO of yours: /dev/null")) << held.err;
    close(holder);
    const Child clean = ctl({"clean"});
    EXPECT_EQ(clean.out, "removed /dev/libfifo\nremoved " + young + "\nremoved " + old_reply + "\n") << clean.err;
}

// A 2 s flood of 4 KiB writes does not starve the 10 ms task: its gap stays within 3x the quiet one (or 0.4 s).
TEST_F(Trust, AFloodOfWritesDoesNotHoldTimersBack)
{
    largest_gap();
    usleep(1000000);  // the quiet measure's span
    const long quiet = largest_gap();
    intrude([] {  // done when the flood is over
        const int w = open_pipe(O_WRONLY);
        for (const double end = now() + 2.0; now() < end && write_all(w, std::string(4096, ';'));) {
        }
        return 0;
    });
    const long flooded = largest_gap();
    EXPECT_GT(quiet, 0);
    EXPECT_LT(flooded, std::max(3 * quiet, (long)(400000 * slow()))) << "without the flood: " << quiet;
}

}  // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (!testing::GTEST_FLAG(list_tests))
        world_error = make_world();
    return RUN_ALL_TESTS();
}
