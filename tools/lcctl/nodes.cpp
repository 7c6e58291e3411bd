// nodes.cpp - finds the debug pipe nodes and the processes that read them,
// through /dev and /proc/<pid>/fd.
#include "nodes.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace lcctl {

static const char node_prefix[] = "/dev/libfifo";

bool is_node_name(const std::string &path)
{
    const size_t n = sizeof node_prefix - 1;
    if (path.compare(0, n, node_prefix) != 0)
        return false;
    if (path.size() == n)
        return true;
    return path[n] == '_' && path.size() > n + 1 &&
           std::all_of(path.begin() + n + 1, path.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Reads a small file of /proc whole; empty when it cannot.
static std::string read_small(const std::string &path)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, (size_t)n);
    close(fd);
    return text;
}

// The state letter of /proc/<pid>/stat ('R', 'S', 'T', 'Z', ...); 0 when
// there is no such process.
static char process_state(long pid)
{
    const std::string stat = read_small("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');  // the name may hold blanks and parentheses
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : 0;
}

bool process_alive(long pid)
{
    const char state = process_state(pid);
    return state != 0 && state != 'Z' && state != 'X';
}

bool process_stopped(long pid)
{
    const char state = process_state(pid);
    return state == 'T' || state == 't';
}

std::string process_name(long pid)
{
    std::string name = read_small("/proc/" + std::to_string(pid) + "/comm");
    if (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

// Whether descriptor fd of pid is open for reading, from its fdinfo flags.
static bool open_for_reading(const std::string &proc_dir, const char *fd)
{
    const std::string info = read_small(proc_dir + "/fdinfo/" + fd);
    const size_t at = info.find("flags:");
    if (at == std::string::npos)
        return false;
    const long flags = strtol(info.c_str() + at + 6, nullptr, 8);
    return (flags & O_ACCMODE) != O_WRONLY;
}

static bool only_digits(const char *s)
{
    if (*s == '\0')
        return false;
    for (; *s != '\0'; s++)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

// Notes pid as the reader of every node it holds open for reading.
static void note_readers(long pid, std::vector<Node> &nodes, const std::vector<struct stat> &ids)
{
    const std::string proc_dir = "/proc/" + std::to_string(pid);
    DIR *dir = opendir((proc_dir + "/fd").c_str());
    if (dir == nullptr)
        return;
    while (const struct dirent *ent = readdir(dir)) {
        if (!only_digits(ent->d_name))
            continue;
        const std::string link = proc_dir + "/fd/" + ent->d_name;
        char target[256];
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (strncmp(target, node_prefix, sizeof node_prefix - 1) != 0)
            continue;
        struct stat st;
        if (stat(link.c_str(), &st) != 0)
            continue;
        for (size_t i = 0; i < nodes.size(); i++) {
            if (nodes[i].pid != 0 || ids[i].st_dev != st.st_dev || ids[i].st_ino != st.st_ino)
                continue;
            if (open_for_reading(proc_dir, ent->d_name)) {
                nodes[i].pid = pid;
                nodes[i].serving = true;
            }
        }
    }
    closedir(dir);
}

// A reader this user cannot see in /proc still makes opening for writing
// succeed; ENXIO means nobody reads.
static bool has_reader(const std::string &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    return errno != ENXIO;
}

// Fills in the readers of nodes (whose ids are given) from /proc.
static void find_readers(std::vector<Node> &nodes, const std::vector<struct stat> &ids)
{
    if (nodes.empty())
        return;
    DIR *proc = opendir("/proc");
    if (proc != nullptr) {
        const long self = (long)getpid();
        while (const struct dirent *ent = readdir(proc))
            if (only_digits(ent->d_name) && atol(ent->d_name) != self)
                note_readers(atol(ent->d_name), nodes, ids);
        closedir(proc);
    }
    for (Node &node : nodes) {
        if (node.pid != 0)
            node.name = process_name(node.pid);
        else
            node.serving = has_reader(node.path);
    }
}

// The node at path when it is a FIFO with a debug pipe's name.
static bool stat_node(const std::string &path, Node *node, struct stat *st)
{
    if (!is_node_name(path) || lstat(path.c_str(), st) != 0 || !S_ISFIFO(st->st_mode))
        return false;
    *node = Node();
    node->path = path;
    node->owner = st->st_uid;
    node->changed = st->st_ctime;
    return true;
}

std::vector<Node> find_nodes()
{
    std::vector<Node> nodes;
    std::vector<struct stat> ids;
    DIR *dev = opendir("/dev");
    if (dev == nullptr)
        return nodes;
    while (const struct dirent *ent = readdir(dev)) {
        Node node;
        struct stat st;
        if (stat_node(std::string("/dev/") + ent->d_name, &node, &st)) {
            nodes.push_back(node);
            ids.push_back(st);
        }
    }
    closedir(dev);
    std::vector<size_t> order(nodes.size());
    for (size_t i = 0; i < order.size(); i++)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return nodes[a].path < nodes[b].path; });
    std::vector<Node> sorted;
    std::vector<struct stat> sorted_ids;
    for (size_t i : order) {
        sorted.push_back(nodes[i]);
        sorted_ids.push_back(ids[i]);
    }
    find_readers(sorted, sorted_ids);
    return sorted;
}

bool find_node(const std::string &path, Node *node)
{
    struct stat st;
    if (!stat_node(path, node, &st))
        return false;
    std::vector<Node> one{*node};
    find_readers(one, {st});
    *node = one[0];
    return true;
}

// "pid 12 (name) on /dev/libfifo_12" lines of the serving nodes.
static std::string list_serving(const std::vector<const Node *> &nodes)
{
    std::string text;
    for (const Node *n : nodes)
        text += "\n  pid " + (n->pid != 0 ? std::to_string(n->pid) : std::string("?")) + " (" +
                (n->name.empty() ? "?" : n->name) + ") on " + n->path;
    return text;
}

// Why pid serves no pipe: it does not exist (its node may be left, stale),
// or it has none.
static std::string pid_not_serving(const std::vector<Node> &nodes, long pid)
{
    if (process_alive(pid))
        return "process " + std::to_string(pid) + " serves no debug pipe";
    std::string error = "no such process: " + std::to_string(pid);
    const std::string own = std::string(node_prefix) + "_" + std::to_string(pid);
    for (const Node &n : nodes)
        if (n.path == own && !n.serving)
            error += " (its node " + own + " is stale: lcctl clean removes it)";
    return error;
}

bool select_targets(const std::vector<Node> &nodes, const Target &target, std::vector<Node> *chosen, std::string *error)
{
    chosen->clear();
    std::vector<const Node *> serving;
    for (const Node &n : nodes)
        if (n.serving)
            serving.push_back(&n);
    switch (target.kind) {
    case Target::Pipe:
        for (const Node &n : nodes)
            if (n.path == target.name)
                chosen->push_back(n);
        if (chosen->empty())
            *error = "no debug pipe node " + target.name;
        return !chosen->empty();
    case Target::Pid:
        for (const Node *n : serving)
            if (n->pid == target.pid)
                chosen->push_back(*n);
        if (chosen->empty())
            *error = pid_not_serving(nodes, target.pid);
        return !chosen->empty();
    case Target::Name: {
        std::vector<const Node *> named;
        for (const Node *n : serving)
            if (n->name == target.name)
                named.push_back(n);
        if (named.size() == 1)
            chosen->push_back(*named[0]);
        else if (named.empty())
            *error = "no process named " + target.name + " serves a debug pipe";
        else
            *error = "several processes named " + target.name + "; choose one with -p:" + list_serving(named);
        return named.size() == 1;
    }
    case Target::All:
        for (const Node *n : serving)
            chosen->push_back(*n);
        if (chosen->empty())
            *error = "no process serves a debug pipe";
        return !chosen->empty();
    case Target::Only:
        if (serving.size() == 1)
            chosen->push_back(*serving[0]);
        else if (serving.empty())
            *error = "no process serves a debug pipe";
        else
            *error = "several processes serve a debug pipe; choose one with -p, -n or -a:" + list_serving(serving);
        return serving.size() == 1;
    }
    return false;
}

}  // namespace lcctl
