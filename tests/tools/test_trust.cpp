// test_trust.cpp - the run-time control's trust boundary, played from both
// sides: a device process running as root (with umask 0, so that its pipe
// node is writable by every user, as on the device) and an intruder, an
// unprivileged user the test makes for itself.  Everything happens in a
// world of the test's own, made before the first test: private mount and
// network namespaces with their own /dev, folder and user list, so that no
// real node, file, account or socket is touched, and nothing is left when
// the test process ends.
#include "processes.h"
#include "reply_protocol_internal.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <algorithm>

using namespace lc_proc;
using namespace std::string_literals;

namespace {

const std::string lcctl = LCCTL_BIN;
const std::string peer = PEER_BIN;

std::string world_error;  // why the world could not be made: every test skips
std::string world;        // the world's own folder, a tmpfs
uid_t intruder = 0;

double slow()
{
    return getenv("LC_UNDER_EMULATION") != nullptr ? 4 : 1;
}

// An unprivileged uid that no account and no process has.
uid_t unused_uid()
{
    const std::string passwd = read_file("/etc/passwd");
    for (uid_t uid = 61000; uid < 65000; uid++) {
        const std::string id = ":" + std::to_string(uid) + ":";
        if (passwd.find(id) == std::string::npos)
            return uid;
    }
    return 0;
}

bool bind_mount(const std::string &from, const std::string &to)
{
    return mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

// Private namespaces; a tmpfs of the world's own, and one on /dev holding the nodes
// programs need (null, and terminals); /etc/passwd with the intruder's
// account, bound over the real one.  Empty, or why not.
std::string make_world()
{
    if (geteuid() != 0)
        return "not root: the intruder and a private /dev need root";
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        return std::string("no private namespaces: ") + strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("mounts stay shared: ") + strerror(errno);
    intruder = unused_uid();
    const std::string passwd = read_file("/etc/passwd") + "lc_intruder:x:" + std::to_string(intruder) + ":" +
                               std::to_string(intruder) + ":lib_common trust test:/nonexistent:/usr/sbin/nologin\n";
    // A tmpfs of the world's own keeps its files (the programs may live
    // under /tmp, which stays as it is); the real null node is kept there
    // before /dev is covered, and terminals come from a devpts instance of
    // the world's own.
    char dir[] = "/tmp/lc_trust.XXXXXX";
    if (mkdtemp(dir) == nullptr || mount("tmpfs", dir, "tmpfs", 0, "mode=1777") != 0)
        return std::string("no private folder: ") + strerror(errno);
    world = dir;
    atexit([] {
        umount2(world.c_str(), MNT_DETACH);
        rmdir(world.c_str());
    });
    std::ofstream(world + "/.null").put('\0');
    if (!bind_mount("/dev/null", world + "/.null"))
        return std::string("cannot keep /dev/null: ") + strerror(errno);
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
        return std::string("no private /dev: ") + strerror(errno);
    std::ofstream("/dev/null").put('\0');
    if (!bind_mount(world + "/.null", "/dev/null") || mkdir("/dev/pts", 0755) != 0 ||
        mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") != 0 ||
        symlink("pts/ptmx", "/dev/ptmx") != 0)
        return std::string("cannot place the nodes: ") + strerror(errno);
    std::ofstream(world + "/.passwd") << passwd;
    if (!bind_mount(world + "/.passwd", "/etc/passwd"))
        return std::string("no private user list: ") + strerror(errno);
    setenv("TMPDIR", world.c_str(), 1);  // where lcctl looks for old reply FIFOs first
    umask(0);                            // the device's processes make their nodes 0766
    return "";
}

// Starts fn in a child process as the intruder and waits until it has
// done its part (fn returned 0); the child then stays until end_intruder.
// -1 when fn failed.
pid_t start_intruder(const std::function<int()> &fn)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        if (setgroups(0, nullptr) != 0 || setgid(intruder) != 0 || setuid(intruder) != 0)
            _exit(125);
        const char result = (char)fn();
        if (write(ready[1], &result, 1) != 1)
            _exit(126);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char result = 1;
    const bool ok = read(ready[0], &result, 1) == 1 && result == 0;
    close(ready[0]);
    EXPECT_TRUE(ok) << "the intruder could not do its part: " << (int)result;
    return pid;
}

void end_intruder(pid_t pid)
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

// The names in /dev and the world's folder: what a program leaves behind shows here.
std::string listing()
{
    std::string names;
    for (const std::string &dir : {std::string("/dev"), world}) {
        DIR *d = opendir(dir.c_str());
        while (const struct dirent *ent = d != nullptr ? readdir(d) : nullptr)
            names += dir + "/" + ent->d_name + "\n";
        if (d != nullptr)
            closedir(d);
    }
    return names;
}

// The pipe node, opened for writing without waiting.
int open_pipe()
{
    return open("/dev/libfifo", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

bool write_all(int fd, const std::string &text)
{
    return write(fd, text.data(), text.size()) == (ssize_t)text.size();
}

// A connection to the control socket of pid: -1 when it cannot be made.
int connect_ctl(long pid)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr;
    const std::string name = LC_CTL_NAME_PREFIX + std::to_string(pid);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), lc_ctl_address(&addr, name.data(), name.size())) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// What a connection gets back within a second.
std::string answer_of(int fd)
{
    std::string got;
    char buf[4096];
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, (int)(1000 * slow())) == 1) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.append(buf, (size_t)n);
    }
    return got;
}

// Runs args (lcctl's) with a terminal as standard output; what it printed.
std::string on_terminal(const std::vector<std::string> &args)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return "no terminal";
    Child c = spawn(args, {}, 0, ptsname(master));
    Outcome r = finish(c, 30 * slow());
    std::string got;
    char buf[4096];
    struct pollfd p = {master, POLLIN, 0};
    ssize_t n;
    while (poll(&p, 1, 100) == 1 && (n = read(master, buf, sizeof buf)) > 0)
        got.append(buf, (size_t)n);
    close(master);
    return got + r.err;
}

class Trust : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!world_error.empty())
            GTEST_SKIP() << world_error;
        device_ = set_.start_peer(peer, "device");
        ASSERT_NE(device_, nullptr) << set_.failure;
        ASSERT_EQ(device_->pipe, "/dev/libfifo");
        pid_ = std::to_string(device_->pid);
    }
    void TearDown() override { clear_scratch(); }

    Outcome root_ctl(std::vector<std::string> args, double limit = 60)
    {
        args.insert(args.begin(), lcctl);
        return run(args, limit * slow());
    }
    Outcome intruder_ctl(std::vector<std::string> args)
    {
        args.insert(args.begin(), lcctl);
        return run(args, 60 * slow(), {}, intruder);
    }
    // The device's traces so far ("<level> text" lines).
    std::string traces() const { return read_file(device_->child.err_path); }
    // Lines of level 0..3 the device traced.
    size_t error_lines() const
    {
        const std::string t = traces();
        size_t n = 0;
        for (const char *level : {"<0> ", "<1> ", "<2> ", "<3> "})
            n += count_of(t, level);
        return n;
    }
    // The largest gap between two starts of the device's 10 ms task since
    // the last call, in microseconds.
    long largest_gap()
    {
        const Outcome r = root_ctl({"-p", pid_, "gap=1"});
        const size_t at = r.out.find("]gap ");
        return at == std::string::npos ? -1 : atol(r.out.c_str() + at + 5);
    }

    ServedSet set_;
    Served *device_ = nullptr;
    std::string pid_;
};

// Old reply headers in the pipe name root's FIFOs (straight, through a
// symbolic link to a directory, relative, through /proc, renamed while
// asked for, a hard link to the pipe itself): the device opens none of
// them, traces no error, and root's lcctl still answers.
TEST_F(Trust, NothingARequesterNamesIsOpened)
{
    const std::string root = world + "/root", open_dir = world + "/open";
    ASSERT_EQ(mkdir(root.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(open_dir.c_str(), 0777), 0);
    ASSERT_EQ(mkfifo((root + "/lcctl-victim").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo("/dev/lcctl-root", 0600), 0);
    ASSERT_EQ(link("/dev/libfifo", "/dev/lcctl-x"), 0);  // as if hard links were not protected
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // The link to the pipe is the pipe: it is opened by every writer, so
    // only the trace count tells a loop.
    for (const std::string &watched : {root, open_dir, std::string("/dev/lcctl-root")})
        ASSERT_GE(inotify_add_watch(watch, watched.c_str(), IN_OPEN), 0) << watched;
    const std::string proc_fd = "/proc/" + pid_ + "/fd/0";
    end_intruder(start_intruder([&] {
        if (symlink(root.c_str(), (open_dir + "/link").c_str()) != 0 ||
            mkfifo((open_dir + "/lcctl-a").c_str(), 0666) != 0)
            return 1;
        const int w = open_pipe();
        for (const std::string &path :
             std::vector<std::string>{root + "/lcctl-victim", open_dir + "/link/lcctl-victim", "lcctl-victim", proc_fd,
                                      "/dev/lcctl-x", "/dev/lcctl-root"})
            if (!write_all(w, "\0lcctl reply="s + path + " follow;help=1"))
                return 2;
        for (int i = 0; i < 200; i++) {  // renamed back and forth while it is named
            rename((open_dir + (i % 2 ? "/lcctl-b" : "/lcctl-a")).c_str(),
                   (open_dir + (i % 2 ? "/lcctl-a" : "/lcctl-b")).c_str());
            write_all(w, "\0lcctl reply="s + open_dir + "/lcctl-a follow;");
        }
        close(w);
        return 0;
    }));
    const Outcome get = root_ctl({"-p", pid_, "get"});
    EXPECT_EQ(get.status, 0) << get.err;
    char events[4096];
    EXPECT_LE(read(watch, events, sizeof events), 0) << "a file the requester named was opened";
    close(watch);
    EXPECT_EQ(error_lines(), 0u) << traces();
    EXPECT_LT(count_of(traces(), "\n"), 1000u) << "the device talks to itself";
    unlink("/dev/lcctl-x");
    unlink("/dev/lcctl-root");
}

// The intruder is turned away at the door: every connection is denied
// before anything of it is read, so it takes no place and attaches
// nothing; a lock on the pipe node stops nobody.  Root's calls and
// followers work meanwhile, stopped followers included.
TEST_F(Trust, OnlyRootAndTheProcessesUserGetIn)
{
    std::vector<Child> followers;  // root's: four attach, the others are told the device is busy
    for (int i = 0; i < 8; i++)
        followers.push_back(spawn({lcctl, "-p", pid_, "follow"}));
    int attached = 0;
    for (Child &f : followers) {
        ASSERT_TRUE(wait_until(
            [&] {
                const std::string err = read_file(f.err_path);
                return err.find("-- following") != std::string::npos ||
                       err.find("busy: too many followers") != std::string::npos;
            },
            10 * slow()))
            << read_file(f.err_path);
        if (read_file(f.err_path).find("-- following") != std::string::npos) {
            attached++;
            kill(f.pid, SIGSTOP);
        }
    }
    EXPECT_EQ(attached, 4);
    largest_gap();
    const pid_t held = start_intruder([&] {
        std::vector<int> connections;
        for (int i = 0; i < 12; i++) {
            connections.push_back(connect_ctl(device_->pid));
            const char follow[] = {'f', '\0'};
            send(connections.back(), follow, sizeof follow, MSG_NOSIGNAL);
            if (answer_of(connections.back()).compare(0, 1, "d") != 0)
                return 1;
        }
        const int lock = open("/dev/libfifo", O_RDONLY | O_NONBLOCK);
        return lock >= 0 && flock(lock, LOCK_EX) == 0 ? 0 : 2;
    });
    const Outcome denied = intruder_ctl({"-p", pid_, "lib_level=debug"});
    EXPECT_EQ(denied.status, 2);
    EXPECT_NE(denied.err.find("permission denied"), std::string::npos) << denied.err << denied.out;
    const Outcome once = root_ctl({"-p", pid_, "say=once"});
    EXPECT_EQ(once.status, 0) << once.err;
    EXPECT_EQ(count_of(once.out, "]said once\n"), 1u) << once.out;
    const Outcome get = root_ctl({"-p", pid_, "get"});
    EXPECT_NE(get.out.find(" lib=6 "), std::string::npos) << get.out << get.err;
    EXPECT_LT(largest_gap(), 200000 * slow()) << "stopped followers held the device back";
    end_intruder(held);
    for (Child &f : followers) {
        kill(f.pid, SIGKILL);
        finish(f, 10);
    }
}

// What the intruder sends never becomes a line of the device's: not in its
// log at an error level, not forged (no control byte, no text of theirs),
// and refusals are traced at most twice in five seconds.  Root's follow on
// a terminal shows control bytes of the process's own traces escaped.
TEST_F(Trust, NoLineOfTheIntrudersMaking)
{
    end_intruder(start_intruder([&] {
        const int w = open_pipe();
        const std::string forged =
            "\0lcctl reply=/tmp/x\n[lib main +1   ]SIGSEGV, rebooting\x1b[2J follow;"s + "SIGSEGV\x1b[2J=rebooting;";
        for (int i = 0; i < 200; i++) {
            write_all(w, forged);
            const int c = connect_ctl(device_->pid);
            send(c, forged.data(), forged.size(), MSG_NOSIGNAL);
            close(c);
        }
        close(w);
        return 0;
    }));
    EXPECT_EQ(root_ctl({"-p", pid_, "get"}).status, 0);  // every forged write has been read
    const std::string t = traces();
    EXPECT_EQ(error_lines(), 0u) << t;
    EXPECT_EQ(t.find("SIGSEGV"), std::string::npos) << t;
    EXPECT_EQ(t.find('\x1b'), std::string::npos) << t;
    EXPECT_LE(count_of(t, "]lcctl: refused uid " + std::to_string(intruder) + ": "), 2u) << t;

    const std::string shown = on_terminal({lcctl, "-p", pid_, "say=\x1b[2Jcleared"});
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    EXPECT_NE(shown.find("said \\x1b[2Jcleared"), std::string::npos) << shown;
}

// The serving process is the one the kernel names: an intruder that holds
// the pipe node open, calls itself by escape bytes and listens on sockets
// named like the device's is listed as what it is, and -p reaches the
// device.
TEST_F(Trust, TheServingProcessIsTheOneTheKernelNames)
{
    const std::string squat = LC_CTL_NAME_PREFIX + pid_ + ".1";
    const pid_t impostor = start_intruder([&] {
        prctl(PR_SET_NAME, "\x1b[2Jdevice", 0, 0, 0);
        if (open("/dev/libfifo", O_RDONLY | O_NONBLOCK) < 0)
            return 1;
        for (const std::string &name : {squat, std::string(LC_CTL_NAME_PREFIX "99999999")}) {
            const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
            struct sockaddr_un addr;
            if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), lc_ctl_address(&addr, name.data(), name.size())) !=
                    0 ||
                listen(fd, 4) != 0)
                return 2;
        }
        return 0;
    });
    const Outcome list = root_ctl({"list", "--json"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("{\"pipe\":\"/dev/libfifo\",\"pid\":" + pid_ + ",\"name\":\"device\""), std::string::npos)
        << list.out;
    EXPECT_EQ(count_of(list.out, "/dev/libfifo"), 1u) << list.out;
    EXPECT_EQ(count_of(list.out, "\"pid\":" + std::to_string(impostor) + ",\"name\":\"\\u001b[2Jdevice\""), 2u)
        << list.out;
    const std::string shown = on_terminal({lcctl, "list"});
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    EXPECT_EQ(root_ctl({"-p", pid_, "get"}).status, 0);
    EXPECT_EQ(root_ctl({"-n", "device", "get"}).out.find("pid=" + pid_ + " "), 0u);
    end_intruder(impostor);
}

// Either side stopped or killed: a killed lcctl leaves nothing on disk and
// frees its place; a stopped device costs a caller its time-out, and the
// request left behind never runs; a killed device's node is removed by
// clean once nobody holds it, as is an old reply FIFO.
TEST_F(Trust, StoppedOrKilledEitherSideLeavesNothingBehind)
{
    const std::string old_reply = world + "/lcctl-1234-5678";  // left by an older lcctl in $TMPDIR
    ASSERT_EQ(mkfifo(old_reply.c_str(), 0600), 0);
    const std::string before = listing();
    for (int i = 0; i < 5; i++) {  // more than there are places: each frees its own
        Child f = spawn({lcctl, "-p", pid_, "follow"});
        ASSERT_TRUE(wait_for_text(f.err_path, "-- following", 10 * slow())) << i << read_file(f.err_path);
        kill(f.pid, SIGKILL);
        finish(f, 10);
    }
    EXPECT_EQ(listing(), before);

    ASSERT_TRUE(stop_all(device_->pid));
    const Outcome stopped = root_ctl({"-p", pid_, "-t", "1", "lib_level=debug"});
    EXPECT_EQ(stopped.status, 2);
    EXPECT_NE(stopped.err.find("stopped: no answer within 1"), std::string::npos) << stopped.err;
    EXPECT_LT(stopped.seconds, 1 + 2 * slow());
    ASSERT_EQ(kill(device_->pid, SIGCONT), 0);
    EXPECT_NE(root_ctl({"-p", pid_, "get"}).out.find(" lib=6 "), std::string::npos) << "the left request ran";

    set_.kill_hard(device_);
    const Outcome gone = root_ctl({"-p", pid_, "get"});
    EXPECT_EQ(gone.status, 2);
    EXPECT_NE(gone.err.find("no such process: " + pid_), std::string::npos) << gone.err;
    struct stat st;
    ASSERT_EQ(stat("/dev/libfifo", &st), 0);
    while (time(nullptr) - st.st_ctime < 2)  // a node made just now is left alone
        usleep(50000);
    const int holder = open("/dev/libfifo", O_RDONLY | O_NONBLOCK);  // whoever holds it: not stale
    const Outcome held = root_ctl({"clean", "/dev/libfifo", "/dev/null"});
    EXPECT_EQ(held.status, 2);
    EXPECT_NE(held.err.find("left /dev/libfifo: held open by pid " + std::to_string(getpid())), std::string::npos)
        << held.err;
    EXPECT_NE(held.err.find("not a debug pipe node nor an old reply FIFO of yours: /dev/null"), std::string::npos);
    close(holder);
    const Outcome clean = root_ctl({"clean"});
    EXPECT_EQ(clean.out, "removed /dev/libfifo\nremoved " + old_reply + "\n") << clean.err;
}

// A flood of 4 KiB writes into the pipe for two seconds does not hold the
// device's 10 ms task back: its largest gap stays within what the machine
// shows without the flood (three times that, for a machine shared with
// other work) or well below the flood's length, which a timer starved by
// the pipe would show.
TEST_F(Trust, AFloodOfWritesDoesNotHoldTimersBack)
{
    largest_gap();
    usleep(1000000);
    const long quiet = largest_gap();
    const pid_t flood = start_intruder([] {
        const int w = open("/dev/libfifo", O_WRONLY | O_CLOEXEC);
        const std::string block(4096, ';');
        const double end = now() + 2.0;
        while (now() < end && write_all(w, block)) {
        }
        return 0;
    });
    usleep(2000000);
    const long flooded = largest_gap();
    end_intruder(flood);
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
