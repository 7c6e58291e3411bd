// servers.cpp - finds the processes behind the control sockets by their
// credentials, and chooses the targets of a command.
#include "servers.h"
#include "procfs.h"
#include "talk.h"
#include "reply_protocol_internal.h"

#include <algorithm>

namespace lcctl {

// The server behind the socket `name`; false when it cannot be reached.
static bool identify(const std::string &name, int64_t deadline_ms, const volatile sig_atomic_t *stop, Server *s)
{
    Connection c(stop);
    std::string error;
    if (!c.connect_to(name, deadline_ms, &error))
        return false;
    *s = Server();
    s->socket = name;
    s->pid = c.peer_pid();
    s->uid = c.peer_uid();
    s->name = process_name(s->pid);
    s->program = program_name(s->pid);
    return true;
}

std::vector<Server> find_servers(int64_t deadline_ms, const volatile sig_atomic_t *stop)
{
    std::vector<Server> servers;
    for (const std::string &name : control_sockets()) {
        Server s;
        if (!*stop && identify(name, deadline_ms, stop, &s))
            servers.push_back(s);
    }
    std::sort(servers.begin(), servers.end(), [](const Server &a, const Server &b) { return a.pid < b.pid; });
    return servers;
}

bool find_server(long pid, int64_t deadline_ms, const volatile sig_atomic_t *stop, Server *found)
{
    if (identify(LC_CTL_NAME_PREFIX + std::to_string(pid), deadline_ms, stop, found) && found->pid == pid)
        return true;
    for (const Server &s : find_servers(deadline_ms, stop)) {
        if (s.pid == pid) {
            *found = s;
            return true;
        }
    }
    return false;
}

// "pid 12 (name)" lines of servers.
static std::string listed(const std::vector<const Server *> &servers)
{
    std::string text;
    for (const Server *s : servers)
        text += "\n  pid " + std::to_string(s->pid) + " (" + (s->name.empty() ? "?" : s->name) + ")";
    return text;
}

// One of `candidates` where exactly one is wanted.
static bool exactly_one(const std::vector<const Server *> &candidates, const std::string &none,
                        const std::string &several, std::vector<Server> *chosen, std::string *error)
{
    if (candidates.size() == 1)
        chosen->push_back(*candidates[0]);
    else if (candidates.empty())
        *error = none;
    else
        *error = several + listed(candidates);
    return candidates.size() == 1;
}

bool select_targets(const std::vector<Server> &servers, const Target &target, std::vector<Server> *chosen,
                    std::string *error)
{
    chosen->clear();
    std::vector<const Server *> matching;
    for (const Server &s : servers) {
        const bool named = s.name == target.name || s.program == target.name;
        if (target.kind == Target::Only || target.kind == Target::All || target.kind == Target::Pipe ||
            (target.kind == Target::Pid && s.pid == target.pid) || (target.kind == Target::Name && named))
            matching.push_back(&s);
    }
    const std::string nobody = "no process serves a control socket here";
    switch (target.kind) {
    case Target::Pid:
        if (matching.empty())
            *error = process_alive(target.pid) ? "process " + std::to_string(target.pid) + " serves no control socket"
                                               : "no such process: " + std::to_string(target.pid);
        break;
    case Target::Name:
        return exactly_one(matching, "no process named " + target.name + " serves a control socket",
                           "several processes are named " + target.name + "; choose one with -p:", chosen, error);
    case Target::Only:
        return exactly_one(matching, nobody,
                           "several processes serve a control socket; choose one with -p, -n or -a:", chosen, error);
    case Target::All:
    case Target::Pipe:
        if (matching.empty())
            *error = nobody;
        break;
    }
    for (const Server *s : matching)
        chosen->push_back(*s);
    return !chosen->empty();
}

}  // namespace lcctl
