// processes.h - child processes for the lcctl tests: programs run with their
// output in files, and served processes (the demo, test peers) that are
// ended, and their nodes removed, when a test ends, also when it fails.
#ifndef LC_TEST_PROCESSES_H
#define LC_TEST_PROCESSES_H

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace lc_proc {

struct Outcome {
    int status = -1;  // exit status; -1 when it had to be killed
    std::string out, err;
    double seconds = 0;
};

struct Child {
    pid_t pid = -1;
    std::string out_path, err_path;
    double started = 0;
};

inline double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Time limits are stretched by this under a cross emulator.
inline double slow()
{
    return getenv("LC_UNDER_EMULATION") != nullptr ? 4 : 1;
}

inline bool has(const std::string &text, const std::string &needle)
{
    return text.find(needle) != std::string::npos;
}

inline size_t count_of(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool wait_until(const std::function<bool()> &cond, double seconds)
{
    for (const double end = now() + seconds; !cond(); usleep(10000))
        if (now() >= end)
            return false;
    return true;
}

inline bool wait_for_text(const std::string &path, const std::string &text, double seconds)
{
    return wait_until([&] { return has(read_file(path), text); }, seconds);
}

inline std::string scratch;  // the folder of this test process's output files

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
        all.push_back(word);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    fflush(nullptr);
    if ((c.pid = fork()) == 0) {
        const int fds[] = {open("/dev/null", O_RDONLY),
                           out.empty() ? open(c.out_path.c_str(), O_WRONLY | O_CREAT, 0600)
                                       : open(out.c_str(), O_WRONLY | O_NOCTTY),
                           open(c.err_path.c_str(), O_WRONLY | O_CREAT, 0600)};
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

// Waits for the child's end at most `seconds`, then kills it.
inline Outcome finish(Child &c, double seconds)
{
    int wstatus = 0;
    pid_t done = 0;
    for (const double end = now() + seconds; c.pid > 0 && (done = waitpid(c.pid, &wstatus, WNOHANG)) == 0;)
        if (now() >= end || usleep(2000) != 0)
            kill(c.pid, SIGKILL);
    Outcome r;
    r.status = done == c.pid && WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    r.seconds = now() - c.started;
    r.out = read_file(c.out_path);
    r.err = read_file(c.err_path);
    c.pid = -1;
    return r;
}

inline void end_child(Child &c)
{
    if (c.pid > 0 && kill(c.pid, SIGKILL) == 0)
        finish(c, 10);
}

// lcctl with args, run to its end.
inline Outcome ctl(std::vector<std::string> args, double seconds = 60, uid_t as = 0)
{
    args.insert(args.begin(), LCCTL_BIN);
    Child c = spawn(args, as);
    return finish(c, seconds * slow());
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

// Served processes (in a list: their addresses stay), ended at its end with
// SIGTERM, then SIGKILL, each one's node removed if it is still the same
// node; the scratch folder goes too.
struct ServedSet : std::list<Served> {
    std::string failure;

    // Starts args (the demo or a peer) and waits until it says it serves;
    // null, with why in `failure`, when it does not.
    Served *start(const std::vector<std::string> &args)
    {
        Served *s = &emplace_back();
        s->pid = (s->child = spawn(args)).pid;
        const std::regex serving("-- serving the debug pipe ([^;\n]*);");
        std::string text;
        std::smatch m;
        struct stat st;
        wait_until(
            [&] {
                return regex_search(text = read_file(s->child.err_path), m, serving) ||
                       waitpid(s->pid, nullptr, WNOHANG) != 0;
            },
            30 * slow());  // the library comes up slower under the sanitizers too
        if (m.empty() || stat(m.str(1).c_str(), &st) != 0)
            return failure = "no pipe served by " + args[0] + ": " + text, nullptr;
        s->pipe = m.str(1);
        s->node = st.st_ino;
        return s;
    }

    ~ServedSet()
    {
        for (Served &s : *this) {
            if (s.child.pid > 0 && kill(s.child.pid, SIGCONT) == 0 && kill(s.child.pid, SIGTERM) == 0)
                finish(s.child, 20);
            struct stat st;
            if (!s.pipe.empty() && stat(s.pipe.c_str(), &st) == 0 && st.st_ino == s.node)
                unlink(s.pipe.c_str());  // its process is gone: the node is ours to remove
        }
        std::error_code ignored;
        if (!scratch.empty())
            std::filesystem::remove_all(scratch, ignored);
        scratch.clear();
    }
};

}  // namespace lc_proc

#endif  // LC_TEST_PROCESSES_H
