// servers.h - the processes that serve a control socket, and which of them
// a command goes to.
#ifndef LCCTL_SERVERS_H
#define LCCTL_SERVERS_H

#include <signal.h>
#include <stdint.h>
#include <string>
#include <vector>

namespace lcctl {

// A process listening on a control socket.  Its pid and uid are what the
// kernel says of the socket's owner, never what a name or a node suggests.
struct Server {
    std::string socket;  // the abstract name, without its NUL
    long pid = 0;
    long uid = -1;
    std::string name;     // the kernel's name of the process
    std::string program;  // its program's own name, which may be longer
};

// Every server of this network namespace, sorted by pid.  `stop` ends the
// search early.
std::vector<Server> find_servers(int64_t deadline_ms, const volatile sig_atomic_t *stop);

// The server of pid, asked for directly at its usual name first.
bool find_server(long pid, int64_t deadline_ms, const volatile sig_atomic_t *stop, Server *found);

// Which processes a command goes to.
struct Target {
    enum Kind { Only, Pid, Name, All, Pipe } kind = Only;
    long pid = 0;
    std::string name;  // a process's name, or the pipe's path for Pipe
};

// The servers a target selects (Pipe is chosen by the caller, from the
// processes' answers).  False with a message naming the problem when it
// selects none, or several where one is needed.
bool select_targets(const std::vector<Server> &servers, const Target &target, std::vector<Server> *chosen,
                    std::string *error);

}  // namespace lcctl

#endif  // LCCTL_SERVERS_H
