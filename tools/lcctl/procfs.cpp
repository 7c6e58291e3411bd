// procfs.cpp - processes, sockets and FIFO holders, read from /proc; FIFO
// nodes from /dev and /tmp.
#include "procfs.h"
#include "reply_protocol_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace lcctl {

static const char node_prefix[] = "/dev/libfifo";
static const char old_reply_prefix[] = "lcctl-";

// Reads a small file of /proc whole; empty when it cannot.
static std::string read_small(const std::string &path)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() < 65536)
        text.append(buf, (size_t)n);
    close(fd);
    return text;
}

static bool only_digits(const std::string &s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
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

std::string program_name(long pid)
{
    const std::string cmdline = read_small("/proc/" + std::to_string(pid) + "/cmdline");
    const std::string first = cmdline.substr(0, cmdline.find('\0'));
    const size_t slash = first.rfind('/');
    return slash == std::string::npos ? first : first.substr(slash + 1);
}

std::vector<std::string> control_sockets()
{
    // "Num RefCount Protocol Flags Type St Inode Path": a listening stream
    // socket has the flag __SO_ACCEPTCON (0x10000); an abstract path is
    // shown with '@' for its NUL.
    std::vector<std::string> names;
    const std::string table = read_small("/proc/net/unix");
    const std::string prefix = std::string("@") + LC_CTL_NAME_PREFIX;
    size_t pos = table.find('\n');
    while (pos != std::string::npos && pos + 1 < table.size()) {
        const size_t end = table.find('\n', pos + 1);
        const std::string line = table.substr(pos + 1, end == std::string::npos ? std::string::npos : end - pos - 1);
        pos = end;
        char flags[16] = "", type[8] = "", path[128] = "";
        if (sscanf(line.c_str(), "%*s %*s %*s %15s %7s %*s %*s %127s", flags, type, path) != 3)
            continue;
        if ((strtoul(flags, nullptr, 16) & 0x10000) == 0 || strcmp(type, "0001") != 0 ||
            strncmp(path, prefix.c_str(), prefix.size()) != 0)
            continue;
        names.push_back(path + 1);
    }
    return names;
}

bool is_node_name(const std::string &path)
{
    const size_t n = sizeof node_prefix - 1;
    if (path.compare(0, n, node_prefix) != 0)
        return false;
    return path.size() == n || (path[n] == '_' && only_digits(path.substr(n + 1)));
}

// Notes pid as a holder of every file in `files` it has open.  False when
// its descriptors cannot be read (another user's, and the caller is not
// root) although the process exists.
static bool note_holders(long pid, std::vector<FifoFile> &files)
{
    const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(fd_dir.c_str());
    if (dir == nullptr)
        return !process_alive(pid);
    while (const struct dirent *ent = readdir(dir)) {
        struct stat st;
        if (!only_digits(ent->d_name) || stat((fd_dir + "/" + ent->d_name).c_str(), &st) != 0 || !S_ISFIFO(st.st_mode))
            continue;
        for (FifoFile &f : files)
            if (f.dev == st.st_dev && f.ino == st.st_ino &&
                std::find(f.holders.begin(), f.holders.end(), pid) == f.holders.end())
                f.holders.push_back(pid);
    }
    closedir(dir);
    return true;
}

// Fills in the holders of files from every process's descriptors.
static void find_holders(std::vector<FifoFile> &files)
{
    if (files.empty())
        return;
    bool complete = true;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        complete = false;
    while (proc != nullptr) {
        const struct dirent *ent = readdir(proc);
        if (ent == nullptr)
            break;
        if (only_digits(ent->d_name) && atol(ent->d_name) != (long)getpid())
            complete = note_holders(atol(ent->d_name), files) && complete;
    }
    if (proc != nullptr)
        closedir(proc);
    for (FifoFile &f : files)
        f.holders_known = complete;
}

// The FIFO at path as a FifoFile (not through a link); false when it is
// none.
static bool stat_fifo(const std::string &path, FifoFile *file)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode))
        return false;
    *file = FifoFile();
    file->path = path;
    file->dev = st.st_dev;
    file->ino = st.st_ino;
    file->owner = st.st_uid;
    file->changed = (double)st.st_ctim.tv_sec + st.st_ctim.tv_nsec / 1e9;
    return true;
}

// The FIFOs of directory dir whose names pass `keep`, sorted, with their
// holders.
template <typename Keep> static std::vector<FifoFile> fifos_in(const std::string &dir, Keep keep)
{
    std::vector<FifoFile> files;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return files;
    while (const struct dirent *ent = readdir(d)) {
        FifoFile f;
        const std::string path = dir + "/" + ent->d_name;
        if (keep(path, ent->d_name) && stat_fifo(path, &f))
            files.push_back(f);
    }
    closedir(d);
    std::sort(files.begin(), files.end(), [](const FifoFile &a, const FifoFile &b) { return a.path < b.path; });
    find_holders(files);
    return files;
}

std::vector<FifoFile> pipe_nodes()
{
    return fifos_in("/dev", [](const std::string &path, const char *) { return is_node_name(path); });
}

bool pipe_node(const std::string &path, FifoFile *node)
{
    if (!is_node_name(path) || !stat_fifo(path, node))
        return false;
    std::vector<FifoFile> one{*node};
    find_holders(one);
    *node = one[0];
    return true;
}

static bool old_reply_name(const char *name)
{
    return strncmp(name, old_reply_prefix, sizeof old_reply_prefix - 1) == 0;
}

// Where an older lcctl made its reply FIFOs: $TMPDIR when it is a short
// absolute path, and /tmp.
static std::vector<std::string> old_reply_dirs()
{
    std::vector<std::string> dirs;
    const char *tmpdir = getenv("TMPDIR");
    if (tmpdir != nullptr && tmpdir[0] == '/' && strlen(tmpdir) < 64 && strcmp(tmpdir, "/tmp") != 0)
        dirs.push_back(tmpdir);
    dirs.push_back("/tmp");
    return dirs;
}

std::vector<FifoFile> old_reply_fifos()
{
    std::vector<FifoFile> mine;
    for (const std::string &dir : old_reply_dirs())
        for (FifoFile &f : fifos_in(dir, [](const std::string &, const char *name) { return old_reply_name(name); }))
            if (f.owner == geteuid())
                mine.push_back(f);
    return mine;
}

bool old_reply_fifo(const std::string &path, FifoFile *fifo)
{
    const size_t slash = path.rfind('/');
    const std::vector<std::string> dirs = old_reply_dirs();
    if (slash == std::string::npos || std::find(dirs.begin(), dirs.end(), path.substr(0, slash)) == dirs.end() ||
        !old_reply_name(path.c_str() + slash + 1) || !stat_fifo(path, fifo) || fifo->owner != geteuid())
        return false;
    std::vector<FifoFile> one{*fifo};
    find_holders(one);
    *fifo = one[0];
    return true;
}

}  // namespace lcctl
