// procfs.h - what lcctl reads of the system: processes, the control
// sockets that listen in the abstract namespace, the debug pipe nodes
// under /dev and who holds a file open.
#ifndef LCCTL_PROCFS_H
#define LCCTL_PROCFS_H

#include <string>
#include <sys/types.h>
#include <time.h>
#include <vector>

namespace lcctl {

// A process exists and has not ended (a zombie has ended).
bool process_alive(long pid);
// A process is stopped (SIGSTOP, or under a debugger).
bool process_stopped(long pid);
// The name the kernel keeps for a process (15 characters at most).
std::string process_name(long pid);
// The last part of the program's own first argument: a name longer than
// the kernel keeps.  Empty when unknown.
std::string program_name(long pid);

// The abstract names (without their leading NUL) of the listening control
// sockets this network namespace has, in the order the kernel lists them.
std::vector<std::string> control_sockets();

// Whether path is "/dev/libfifo" or "/dev/libfifo_<digits>".
bool is_node_name(const std::string &path);

// A debug pipe node, or any FIFO lcctl may remove when nobody holds it.
struct FifoFile {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    uid_t owner = 0;
    double changed = 0;          // its status change time (s, to the ns): when it was made
    std::vector<long> holders;   // processes that hold it open
    bool holders_known = false;  // every process's descriptors could be read
};

// Every debug pipe node under /dev, sorted by path, with its holders.
std::vector<FifoFile> pipe_nodes();
// The node at path, when it is a FIFO named like a debug pipe node.
bool pipe_node(const std::string &path, FifoFile *node);
// FIFOs in /tmp that an earlier lcctl made for its answers ("lcctl-*"),
// owned by the caller, with their holders.
std::vector<FifoFile> old_reply_fifos();
// The FIFO at path, when it is one of those.
bool old_reply_fifo(const std::string &path, FifoFile *fifo);

}  // namespace lcctl

#endif  // LCCTL_PROCFS_H
