// processes.h - child processes for the lcctl tests: programs run to their
// end with their output captured, and served processes (the demo, test
// peers) that are ended, and their nodes removed, when a test ends, also
// when it fails.
#ifndef LC_TEST_PROCESSES_H
#define LC_TEST_PROCESSES_H

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <regex>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace lc_proc {

struct Outcome {
    int status = -1;  // exit status; -1 when it had to be killed
    std::string out, err;
    double seconds = 0;
};

// A started program whose output goes to files in the scratch folder.
struct Child {
    pid_t pid = -1;
    std::string out_path, err_path;
    double started = 0;
};

inline bool emulated()
{
    return getenv("LC_UNDER_EMULATION") != nullptr;
}
inline double slow()
{
    return emulated() ? 4 : 1;
}  // stretches time limits
inline bool has(const std::string &text, const std::string &needle)
{
    return text.find(needle) != std::string::npos;
}

inline double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline size_t count_of(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

// Polls every 10 ms, at most `limit` seconds.
inline bool wait_until(const std::function<bool()> &cond, double limit)
{
    for (const double deadline = now() + limit; !cond(); usleep(10000))
        if (now() >= deadline)
            return false;
    return true;
}

inline bool wait_for_text(const std::string &path, const std::string &text, double limit)
{
    return wait_until([&] { return has(read_file(path), text); }, limit);
}

inline std::string scratch;  // this test process's folder for the children's output

// Starts args (the cross emulator in front for a cross build) as user `as`
// when not 0, its standard output to `out` (a terminal) when not empty.
inline Child spawn(const std::vector<std::string> &args, uid_t as = 0, const std::string &out = "")
{
    static int count;
    char templ[] = "/tmp/lc_tools_test.XXXXXX";
    if (scratch.empty() && mkdtemp(templ) != nullptr)
        scratch = templ;
    const std::string base = scratch + "/run" + std::to_string(++count);
    Child c{-1, base + ".out", base + ".err", now()};
    std::vector<std::string> all;
    std::istringstream emulator(LC_EMULATOR);  // its words, separated by '|'
    for (std::string word; std::getline(emulator, word, '|');)
        if (!word.empty())
            all.push_back(word);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    fflush(nullptr);
    if ((c.pid = fork()) == 0) {
        const int fds[] = {open("/dev/null", O_RDONLY),
                           out.empty() ? open(c.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)
                                       : open(out.c_str(), O_WRONLY | O_NOCTTY),
                           open(c.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
        for (int fd = 0; fd < 3; fd++)
            if (fds[fd] < 0 || dup2(fds[fd], fd) < 0)
                _exit(126);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (as != 0 && (setgroups(0, nullptr) != 0 || setgid(as) != 0 || setuid(as) != 0))
            _exit(125);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return c;
}

// Waits for the child's end at most `limit` seconds, then kills it.
inline Outcome finish(Child &child, double limit)
{
    Outcome r;
    int wstatus = 0;
    pid_t done = 0;
    while (child.pid > 0 && (done = waitpid(child.pid, &wstatus, WNOHANG)) == 0 && now() < child.started + limit)
        usleep(2000);
    if (child.pid > 0 && done == 0) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, &wstatus, 0);
    } else if (done == child.pid && WIFEXITED(wstatus)) {
        r.status = WEXITSTATUS(wstatus);
    }
    r.seconds = now() - child.started;
    child.pid = -1;
    r.out = read_file(child.out_path);
    r.err = read_file(child.err_path);
    return r;
}

inline void end_child(Child &c)
{
    if (c.pid > 0 && kill(c.pid, SIGKILL) == 0)
        waitpid(c.pid, nullptr, 0);
    c.pid = -1;
}

// lcctl with args, run to its end.
inline Outcome ctl(std::vector<std::string> args, double limit = 60, uid_t as = 0)
{
    args.insert(args.begin(), LCCTL_BIN);
    Child c = spawn(args, as);
    return finish(c, limit * slow());
}

// Children ended at its end, also when a test fails.
struct Children : std::vector<Child> {
    ~Children()
    {
        for (Child &c : *this)
            end_child(c);
    }
};

struct Served {
    Child child;
    pid_t pid = -1;    // kept after it has ended
    std::string pipe;  // the node it serves
    ino_t node = 0;    // that node's inode when it started serving
};

// Served processes, ended at its end (SIGTERM, then SIGKILL) with each one's
// node removed if it is still the same node; the scratch folder goes too.
class ServedSet {
public:
    // Each waits until it serves; null, with why in `failure`, when it does not.
    Served *start_demo(const std::string &demo) { return start({demo, "600"}); }
    Served *start_peer(const std::string &name) { return start({PEER_BIN, name}); }
    void kill_hard(Served *s) { end_child(s->child); }  // the node stays
    std::string failure;

    ~ServedSet()
    {
        for (Served &s : all_) {
            if (s.child.pid > 0) {
                kill(s.child.pid, SIGCONT);
                kill(s.child.pid, SIGTERM);
                s.child.started = now();
                finish(s.child, 20);
            }
            struct stat st;
            if (!s.pipe.empty() && stat(s.pipe.c_str(), &st) == 0 && st.st_ino == s.node)
                unlink(s.pipe.c_str());  // its process is gone: the node is ours to remove
        }
        std::error_code ignored;
        if (!scratch.empty())
            std::filesystem::remove_all(scratch, ignored);
        scratch.clear();
    }

private:
    Served *start(const std::vector<std::string> &args)
    {
        Served *s = &all_.emplace_back();
        s->pid = (s->child = spawn(args)).pid;
        const std::regex serving("-- serving the debug pipe ([^;\n]*);");
        std::string text;
        std::smatch m;
        // The library comes up slower under the sanitizers too.
        wait_until(
            [&] {
                return std::regex_search(text = read_file(s->child.err_path), m, serving) ||
                       waitpid(s->pid, nullptr, WNOHANG) != 0;
            },
            30 * slow());
        struct stat st;
        if (m.empty() || stat(m.str(1).c_str(), &st) != 0) {
            failure = "no pipe served by " + args[0] + ": " + text;
            return nullptr;
        }
        s->pipe = m.str(1);
        s->node = st.st_ino;
        return s;
    }
    std::list<Served> all_;  // stable addresses
};

}  // namespace lc_proc

#endif  // LC_TEST_PROCESSES_H
