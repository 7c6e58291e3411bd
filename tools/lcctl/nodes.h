// nodes.h - the debug pipe nodes under /dev and the processes serving them.
#ifndef LCCTL_NODES_H
#define LCCTL_NODES_H

#include <string>
#include <sys/types.h>
#include <vector>

namespace lcctl {

// One node "/dev/libfifo" or "/dev/libfifo_<n>".
struct Node {
    std::string path;
    bool serving = false;  // a process reads it
    long pid = 0;          // the process that holds it open for reading; 0: none or not visible
    std::string name;      // that process's name
    uid_t owner = 0;       // owner of the node (the user of the process that made it)
    time_t changed = 0;    // when the node was made (its status change time)
};

// Every node, sorted by path; each with its reader as far as /proc shows
// it.  A node without a visible reader is still "serving" when opening it
// for writing finds a reader (a process this user may not inspect).
std::vector<Node> find_nodes();

// The node at path, when it is a FIFO named like a debug pipe.
bool find_node(const std::string &path, Node *node);

// Whether path is "/dev/libfifo" or "/dev/libfifo_<digits>".
bool is_node_name(const std::string &path);

// A process exists and has not ended (a zombie has ended).
bool process_alive(long pid);
// A process is stopped (SIGSTOP, or under a debugger).
bool process_stopped(long pid);
// The name the kernel keeps for a process; empty when unknown.
std::string process_name(long pid);

// Which processes a command goes to.
struct Target {
    enum Kind { Only, Pid, Name, All, Pipe } kind = Only;
    long pid = 0;
    std::string name;  // process name, or the pipe's path for Pipe
};

// The nodes a target selects from `nodes`.  False with a message naming
// the problem when it selects none, or several where one is needed.
bool select_targets(const std::vector<Node> &nodes, const Target &target, std::vector<Node> *chosen,
                    std::string *error);

}  // namespace lcctl

#endif  // LCCTL_NODES_H
