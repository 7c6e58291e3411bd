// processes.cpp - child processes for the lcctl tests.
#include "processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef LC_EMULATOR
#define LC_EMULATOR ""
#endif

namespace lc_proc {

double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void sleep_s(double s)
{
    struct timespec ts = {(time_t)s, (long)((s - (double)(time_t)s) * 1e9)};
    nanosleep(&ts, nullptr);
}

static std::string scratch_dir;

const std::string &scratch()
{
    if (scratch_dir.empty()) {
        char templ[] = "/tmp/lc_tools_test.XXXXXX";
        if (mkdtemp(templ) != nullptr)
            scratch_dir = templ;
    }
    return scratch_dir;
}

void clear_scratch()
{
    if (!scratch_dir.empty()) {
        const std::string cmd = "rm -rf '" + scratch_dir + "'";
        if (system(cmd.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", scratch_dir.c_str());
    }
    scratch_dir.clear();
}

// The emulator's words, separated by '|'.
static std::vector<std::string> emulator()
{
    std::vector<std::string> words;
    std::string all = LC_EMULATOR;
    size_t pos = 0;
    while (!all.empty() && pos <= all.size()) {
        size_t semi = all.find('|', pos);
        if (semi == std::string::npos)
            semi = all.size();
        if (semi > pos)
            words.push_back(all.substr(pos, semi - pos));
        pos = semi + 1;
    }
    return words;
}

Child spawn(const std::vector<std::string> &args, const std::vector<std::string> &env, uid_t as,
            const std::string &out_to)
{
    static int count;
    Child c;
    const std::string base = scratch() + "/run" + std::to_string(++count);
    c.out_path = base + ".out";
    c.err_path = base + ".err";
    std::vector<std::string> all = emulator();
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    fflush(nullptr);
    c.started = now();
    c.pid = fork();
    if (c.pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = out_to.empty() ? open(c.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)
                                 : open(out_to.c_str(), O_WRONLY | O_NOCTTY);
        int err = open(c.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const std::string &e : env)
            putenv(strdup(e.c_str()));
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

Outcome finish(Child &child, double limit)
{
    Outcome r;
    int wstatus = 0;
    const double deadline = child.started + limit;
    pid_t done = 0;
    while (child.pid > 0 && (done = waitpid(child.pid, &wstatus, WNOHANG)) == 0 && now() < deadline)
        sleep_s(0.002);
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

Outcome run(const std::vector<std::string> &args, double limit, const std::vector<std::string> &env, uid_t as)
{
    Child c = spawn(args, env, as);
    return finish(c, limit);
}

std::string read_file(const std::string &path)
{
    std::string text;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

bool wait_until(const std::function<bool()> &cond, double limit)
{
    const double deadline = now() + limit;
    while (!cond()) {
        if (now() >= deadline)
            return false;
        sleep_s(0.01);
    }
    return true;
}

bool wait_for_text(const std::string &path, const std::string &text, double limit)
{
    return wait_until([&] { return read_file(path).find(text) != std::string::npos; }, limit);
}

size_t count_of(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

// Whether every thread of pid is stopped.
static bool all_stopped(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(tasks.c_str());
    bool all = dir != nullptr;
    while (const struct dirent *ent = all ? readdir(dir) : nullptr) {
        const std::string stat = read_file(tasks + "/" + ent->d_name + "/stat");
        const size_t paren = stat.rfind(')');
        all =
            ent->d_name[0] == '.' || (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'T');
    }
    if (dir != nullptr)
        closedir(dir);
    return all;
}

bool stop_all(pid_t pid)
{
    return kill(pid, SIGSTOP) == 0 && wait_until([&] { return all_stopped(pid); }, 10);
}

// The limit for a start: the library comes up slower under emulation and
// the sanitizers.
static double start_limit()
{
    return getenv("LC_UNDER_EMULATION") != nullptr ? 60 : 30;
}

Served *ServedSet::start(const std::vector<std::string> &args, const std::vector<std::string> &env, bool on_stdout)
{
    Served *s = new Served();
    all_.push_back(s);
    s->child = spawn(args, env);
    s->pid = s->child.pid;
    const std::string &file = on_stdout ? s->child.out_path : s->child.err_path;
    const std::string mark = on_stdout ? "serving " : "-- serving the debug pipe ";
    const double deadline = now() + start_limit();
    std::string text;
    size_t at;
    while ((at = (text = read_file(file)).find(mark)) == std::string::npos ||
           text.find('\n', at) == std::string::npos) {
        if (now() >= deadline || waitpid(s->child.pid, nullptr, WNOHANG) != 0) {
            failure = "no pipe served by " + args[0] + ": " + text + read_file(s->child.err_path);
            return nullptr;
        }
        sleep_s(0.01);
    }
    const size_t from = at + mark.size();
    const size_t end = text.find_first_of(on_stdout ? " \n" : ";\n", from);
    s->pipe = text.substr(from, end - from);
    struct stat st;
    if (stat(s->pipe.c_str(), &st) != 0) {
        failure = "no node at " + s->pipe;
        return nullptr;
    }
    s->node = st.st_ino;
    return s;
}

Served *ServedSet::start_demo(const std::string &demo, const std::vector<std::string> &env)
{
    return start({demo, "600"}, env, false);
}

Served *ServedSet::start_peer(const std::string &peer, const std::string &name)
{
    return start({peer, name}, {}, true);
}

void ServedSet::kill_hard(Served *s)
{
    if (s->child.pid > 0) {
        kill(s->child.pid, SIGKILL);
        waitpid(s->child.pid, nullptr, 0);
        s->child.pid = -1;
    }
}

ServedSet::~ServedSet()
{
    for (Served *s : all_) {
        if (s->child.pid > 0) {
            kill(s->child.pid, SIGCONT);
            kill(s->child.pid, SIGTERM);
            s->child.started = now();
            finish(s->child, 20);
        }
        struct stat st;
        if (!s->pipe.empty() && stat(s->pipe.c_str(), &st) == 0 && st.st_ino == s->node)
            unlink(s->pipe.c_str());  // its process is gone: the node is ours to remove
        delete s;
    }
}

}  // namespace lc_proc
