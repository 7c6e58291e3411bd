// processes.h - child processes of the lcctl tests, their output in files, all ended when a test ends.
#ifndef LC_TEST_PROCESSES_H
#define LC_TEST_PROCESSES_H

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <deque>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace lc_proc {

// A child process and, once it has ended, what it did.
struct Child {
    pid_t pid = -1;
    std::string out_path, err_path;
    double started = 0;
    std::string pipe;  // the node it serves, if it does
    ino_t node = 0;    // that node's inode when it started serving
    bool ended = false;
    int status = -1;  // exit status; -1 when it was killed
    std::string out, err;
    double seconds = 0;
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

// Starts args (after the cross emulator, if any) as user `as` if not 0, its standard output to `out` if not empty.
inline Child spawn(const std::vector<std::string> &args, uid_t as = 0, const std::string &out = "")
{
    static int count;
    char templ[] = "/tmp/lc_tools_test.XXXXXX";
    if (scratch.empty() && mkdtemp(templ) != nullptr)
        scratch = templ;
    const std::string base = scratch + "/run" + std::to_string(++count);
    Child c;
    c.out_path = base + ".out";
    c.err_path = base + ".err";
    c.started = now();
    std::vector<std::string> all;
    std::istringstream emulator(LC_EMULATOR);  // its words, separated by '|'
    for (std::string word; std::getline(emulator, word, '|');)
        all.push_back(word);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv(all.size() + 1);  // ends with null
    std::transform(all.begin(), all.end(), argv.begin(), [](std::string &a) { return &a[0]; });
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
    c.ended = c.pid < 0;  // so that no pid -1 is ever signalled or waited for
    return c;
}

// Waits for the child's end at most `seconds`, then kills it.
inline Child finish(Child &c, double seconds)
{
    int wstatus = 0;
    pid_t done = 0;
    for (const double end = now() + seconds; !c.ended && (done = waitpid(c.pid, &wstatus, WNOHANG)) == 0; usleep(2000))
        if (now() >= end)
            kill(c.pid, SIGKILL);
    if (!c.ended)
        c.status = done == c.pid && WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    c.seconds = now() - c.started;
    c.out = read_file(c.out_path);
    c.err = read_file(c.err_path);
    c.ended = true;
    return c;
}

inline void end_child(Child &c)
{
    if (!c.ended && kill(c.pid, SIGKILL) == 0)
        finish(c, 10);
}

// lcctl with args, run to its end.
inline Child ctl(std::vector<std::string> args, double seconds = 60, uid_t as = 0)
{
    args.insert(args.begin(), LCCTL_BIN);
    Child c = spawn(args, as);
    return finish(c, seconds * slow());
}

// Children (in a deque: their addresses stay) ended at its end, also when a test fails: served ones with SIGTERM, then
// SIGKILL, each one's node removed if it is still the same node; the scratch folder goes too.
struct Children : std::deque<Child> {
    std::string failure;
    // Starts args (the demo or a peer) and waits until it says it serves; null, with why in `failure`, if it does not.
    Child *serve(const std::vector<std::string> &args)
    {
        Child *c = &emplace_back(spawn(args));
        const std::regex serving("-- serving the debug pipe ([^;\n]*);");
        std::string text;
        std::smatch m;
        siginfo_t end{};
        struct stat st;
        wait_until(
            [&] {
                return regex_search(text = read_file(c->err_path), m, serving) ||
                       waitid(P_PID, c->pid, &end, WEXITED | WNOHANG | WNOWAIT) != 0 || end.si_pid != 0;
            },
            30 * slow());  // the library comes up slower under the sanitizers too
        if (m.empty() || stat(m.str(1).c_str(), &st) != 0)
            return failure = "no pipe served by " + args[0] + ": " + text, nullptr;
        c->pipe = m.str(1);
        c->node = st.st_ino;
        return c;
    }

    ~Children()
    {
        for (Child &c : *this) {
            if (!c.ended && kill(c.pid, SIGCONT) == 0 && kill(c.pid, c.pipe.empty() ? SIGKILL : SIGTERM) == 0)
                finish(c, 20);
            struct stat st;
            if (!c.pipe.empty() && stat(c.pipe.c_str(), &st) == 0 && st.st_ino == c.node)
                unlink(c.pipe.c_str());  // its process is gone: the node is ours to remove
        }
        std::error_code ignored;
        if (!scratch.empty())
            std::filesystem::remove_all(scratch, ignored);
        scratch.clear();
    }
};

}  // namespace lc_proc

#endif  // LC_TEST_PROCESSES_H
