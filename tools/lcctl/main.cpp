// lcctl - talks to the debug pipes of processes that use lib_common: lists
// them, sends commands and prints the answers, reads the levels back,
// follows the traces, removes stale nodes.  See usage() or lcctl --help.
#include "nodes.h"
#include "talk.h"

#include "reply_protocol_internal.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>

using namespace lcctl;

namespace {

const char usage_text[] = "usage: lcctl list [--json]\n"
                          "       lcctl clean [PIPE...]\n"
                          "       lcctl [TARGET] [-t SECONDS] get [--json]\n"
                          "       lcctl [TARGET] [-t SECONDS] help\n"
                          "       lcctl [TARGET] [-t SECONDS] follow\n"
                          "       lcctl [TARGET] [-t SECONDS] CMD...\n"
                          "\n"
                          "Talks to processes that use lib_common through their debug pipes\n"
                          "\"/dev/libfifo\" and \"/dev/libfifo_<n>\", and prints their answers.\n"
                          "\n"
                          "  list        every pipe node: the process that serves it (pid and name,\n"
                          "              from /proc/<pid>/fd), or \"stale\" when no process reads it.\n"
                          "              --json: one array of objects with the keys pipe, pid, name\n"
                          "              (both null when stale) and state (\"serving\" or \"stale\").\n"
                          "  clean       removes stale nodes: all of them, or only the PIPEs named.\n"
                          "              A node a process holds open is never removed, nor one made\n"
                          "              less than a second ago (its process may be opening it).\n"
                          "  get         the levels and the time-stamp switch, as one line\n"
                          "              pid=<pid> pipe=<path> version=<v> lib=<n> para=<n> cc=<n>\n"
                          "              visca=<n> net=<n> module=<n> mpp=<n> time=<0|1>\n"
                          "              --json: one object with the keys pid, pipe, version, levels\n"
                          "              (lib, para, cc, visca, net, module, mpp) and time.\n"
                          "  help        the process's command rows, the built-in ones described.\n"
                          "  follow      every trace the process emits from now on, until Ctrl-C or\n"
                          "              the process ends.  Needs no syslog daemon.\n"
                          "  CMD...      commands in the pipe's own syntax, e.g. lib_level=debug or\n"
                          "              gpool=statistics; several arguments are joined with ';'.\n"
                          "              Prints the traces the commands made, as the process\n"
                          "              formatted them (those its levels let through).  Text longer\n"
                          "              than one read of the pipe (256 bytes) is sent in several\n"
                          "              writes split at semicolons; one command that does not fit\n"
                          "              into a write is refused.\n"
                          "\n"
                          "TARGET (default: the one process that serves a pipe):\n"
                          "  -p PID      the process PID\n"
                          "  -n NAME     the process named NAME (an error if several are)\n"
                          "  -a          every serving process, each answer headed by its pid\n"
                          "  --pipe PATH the process reading the node PATH\n"
                          "  -t SECONDS  gives up after this long (default 2); no call ever waits\n"
                          "              longer, whatever the process does.\n"
                          "\n"
                          "Exit status: 0 delivered and answered; 1 the process refused a command\n"
                          "(its hint is printed); 2 not delivered: no such process, a stale node,\n"
                          "busy (another lcctl is talking to it), no answer in time, or the\n"
                          "process ended; the message says which.\n"
                          "Without lcctl: echo \"help=1\" > /dev/libfifo (answers go to syslog).\n";

volatile sig_atomic_t stop_requested = 0;

void on_stop(int)
{
    stop_requested = 1;
}

// Ctrl-C and friends end waits instead of the program, so that the reply
// FIFO is removed; a pipe whose reader has gone gives EPIPE, not a signal.
void install_signals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void complain(const std::string &text)
{
    fprintf(stderr, "lcctl: %s\n", text.c_str());
}

std::string json_string(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

// ---- list and clean ---------------------------------------------------

int run_list(bool json)
{
    const std::vector<Node> nodes = find_nodes();
    if (json) {
        std::string out = "[";
        for (size_t i = 0; i < nodes.size(); i++) {
            const Node &n = nodes[i];
            const bool known = n.pid != 0;
            out += std::string(i ? "," : "") + "{\"pipe\":" + json_string(n.path) +
                   ",\"pid\":" + (known ? std::to_string(n.pid) : "null") +
                   ",\"name\":" + (known ? json_string(n.name) : "null") + ",\"state\":\"" +
                   (n.serving ? "serving" : "stale") + "\"}";
        }
        printf("%s]\n", out.c_str());
        return ANSWERED;
    }
    for (const Node &n : nodes)
        printf("%-20s %-7s %-16s %s\n", n.path.c_str(), n.pid != 0 ? std::to_string(n.pid).c_str() : "-",
               n.pid != 0 ? n.name.c_str() : "-", n.serving ? "serving" : "stale");
    return ANSWERED;
}

enum { FRESH_NODE_SECONDS = 1 };

// Removes one node if it is stale; the status of that attempt.
int clean_one(const Node &n, bool named)
{
    if (n.serving) {
        if (named)
            complain("left " + n.path + ": served by " +
                     (n.pid != 0 ? "pid " + std::to_string(n.pid) : std::string("a process")));
        return named ? REFUSED : ANSWERED;
    }
    if (time(nullptr) - n.changed < FRESH_NODE_SECONDS) {
        complain("left " + n.path + ": made just now, its process may still be opening it");
        return REFUSED;
    }
    if (unlink(n.path.c_str()) != 0) {
        complain("cannot remove " + n.path + ": " + strerror(errno));
        return NOT_DELIVERED;
    }
    printf("removed %s\n", n.path.c_str());
    return ANSWERED;
}

int run_clean(const std::vector<std::string> &paths)
{
    int status = ANSWERED;
    if (paths.empty()) {
        for (const Node &n : find_nodes())
            status = std::max(status, clean_one(n, false));
        return status;
    }
    for (const std::string &path : paths) {
        Node n;
        if (!find_node(path, &n)) {
            complain("not a debug pipe node: " + path);
            status = NOT_DELIVERED;
            continue;
        }
        status = std::max(status, clean_one(n, true));
    }
    return status;
}

// ---- answers ------------------------------------------------------------

void print_text(const std::string &text)
{
    fwrite(text.data(), 1, text.size(), stdout);
    if (text.empty() || text.back() != '\n')
        fputc('\n', stdout);
    fflush(stdout);
}

void print_cut(const std::string &count)
{
    printf("-- %s traces missing here: the reader fell behind\n", count.c_str());
    fflush(stdout);
}

// Prints traces and cut markers as they come.
void print_record(char type, const std::string &text)
{
    if (type == LC_REC_TRACE)
        print_text(text);
    else if (type == LC_REC_CUT)
        print_cut(text);
}

// The key=value words of a status record.
std::map<std::string, std::string> status_words(const std::string &status)
{
    std::map<std::string, std::string> words;
    size_t pos = 0;
    while (pos < status.size()) {
        size_t blank = status.find(' ', pos);
        if (blank == std::string::npos)
            blank = status.size();
        const std::string word = status.substr(pos, blank - pos);
        const size_t eq = word.find('=');
        if (eq != std::string::npos)
            words[word.substr(0, eq)] = word.substr(eq + 1);
        pos = blank + 1;
    }
    return words;
}

const char *const level_modules[] = {"lib", "para", "cc", "visca", "net", "module", "mpp"};

// A number as JSON; null when the text is not one.
std::string json_number(const std::string &text)
{
    char *end = nullptr;
    strtol(text.c_str(), &end, 10);
    return !text.empty() && end != nullptr && *end == '\0' ? text : "null";
}

std::string get_json(const std::string &status)
{
    std::map<std::string, std::string> w = status_words(status);
    std::string levels;
    for (const char *m : level_modules)
        levels += std::string(levels.empty() ? "" : ",") + "\"" + m + "\":" + json_number(w[m]);
    return "{\"pid\":" + json_number(w["pid"]) + ",\"pipe\":" + json_string(w["pipe"]) +
           ",\"version\":" + json_string(w["version"]) + ",\"levels\":{" + levels +
           "},\"time\":" + json_number(w["time"]) + "}";
}

// The status without its "ok=<n> ".
std::string get_line(const std::string &status)
{
    const size_t blank = status.find(' ');
    return blank == std::string::npos ? status : status.substr(blank + 1);
}

// One line saying what a built-in row does; null for the process's own.
const char *describe(const std::string &row)
{
    static const std::map<std::string, const char *> rows = [] {
        std::map<std::string, const char *> m;
        static const struct {
            const char *module, *what;
        } modules[] = {
            {"lib", "the library's own traces"},
            {"para", "module para"},
            {"cc", "module cc and the library's [cc texts"},
            {"visca", "module visca"},
            {"module", "module module"},
            {"net", "module net"},
            {"mpp", "module mpp"},
            {"all", "all seven modules"},
        };
        static const struct {
            const char *value, *what;
        } levels[] = {{"err", "errors only (level 3)"},
                      {"info", "up to information (level 6)"},
                      {"debug", "everything, debug included (level 7)"}};
        static std::vector<std::string> texts;  // keeps the strings alive
        texts.reserve(32);
        for (const auto &mod : modules)
            for (const auto &lvl : levels) {
                texts.push_back(std::string(mod.what) + ": " + lvl.what);
                m[std::string(mod.module) + "_level=" + lvl.value] = texts.back().c_str();
            }
        m["help"] = "lists these rows through the process's trace output";
        m["dbg_time=1"] = "time stamp ss.mmm in front of every trace";
        m["dbg_time=0"] = "no time stamp";
        m["gpool=statistics"] = "the library pool's workers (min, max, live, busy) and pending tasks";
        m["gpool=print_task"] = "switches tracing of the start and end of every pool task on or off";
        m["gpool=add_task"] = "traces the next 10 tasks handed to any pool";
        return m;
    }();
    auto it = rows.find(row);
    return it != rows.end() ? it->second : nullptr;
}

void print_row(char type, const std::string &text)
{
    if (type != LC_REC_ROW && type != LC_REC_ROW_ANY) {
        if (type == LC_REC_CUT)
            print_cut(text);
        return;
    }
    const std::string shown = type == LC_REC_ROW ? text : text + "=<any>";
    const char *what = describe(text);
    if (what != nullptr)
        printf("%-20s %s\n", shown.c_str(), what);
    else
        printf("%s\n", shown.c_str());
}

// ---- one process ----------------------------------------------------------

enum Action { SEND, GET, HELP, FOLLOW };

struct Call {
    Action action = SEND;
    bool json = false;
    std::string commands;
    double timeout = 2.0;
};

// The commands, in as many writes as they need.
int send_commands(Conversation &talk, const Node &node, const std::string &commands)
{
    std::vector<std::string> writes;
    std::string too_long, error;
    if (!split_commands(commands, talk.room(false, false), &writes, &too_long)) {
        complain("command too long for one write of the pipe (" + std::to_string(too_long.size()) + " bytes, at most " +
                 std::to_string(talk.room(false, false)) + "): " + too_long.substr(0, 40) + "...; nothing sent");
        return NOT_DELIVERED;
    }
    int status = ANSWERED;
    for (const std::string &w : writes) {
        Status s = talk.request(false, false, w, print_record, &error);
        if (s == NOT_DELIVERED) {
            complain(node.path + ": " + error);
            return NOT_DELIVERED;
        }
        status = std::max(status, (int)s);
    }
    if (status == REFUSED)
        complain((node.pid != 0 ? "pid " + std::to_string(node.pid) : node.path) +
                 " refused a command: a piece matched no row (lcctl help lists them)");
    return status;
}

int follow(Conversation &talk, const Node &node)
{
    std::string error;
    Status s = talk.request(false, true, "", print_record, &error);
    if (s != ANSWERED) {
        complain(node.path + ": " + error);
        return NOT_DELIVERED;
    }
    talk.release_pipe();
    fprintf(stderr, "-- following pid %ld on %s (Ctrl-C stops)\n", node.pid, node.path.c_str());
    if (talk.stream(print_record))
        fprintf(stderr, "-- process ended\n");
    return ANSWERED;
}

int call_one(const Node &node, const Call &call, std::string *json)
{
    Conversation talk(&stop_requested);
    std::string error;
    const int64_t deadline = now_ms() + (int64_t)(call.timeout * 1000);
    if (talk.open(node, deadline, &error) != ANSWERED) {
        complain(error);
        return NOT_DELIVERED;
    }
    if (call.action == SEND)
        return send_commands(talk, node, call.commands);
    if (call.action == FOLLOW)
        return follow(talk, node);
    std::string status;
    RecordFn fn = [&](char type, const std::string &text) {
        if (type == LC_REC_STATUS)
            status = text;
        else if (call.action == HELP)
            print_row(type, text);
    };
    Status s = talk.request(call.action == HELP, false, "", fn, &error);
    if (s == NOT_DELIVERED) {
        complain(node.path + ": " + error);
        return s;
    }
    if (call.action == GET) {
        if (call.json)
            *json = get_json(status);
        else
            printf("%s\n", get_line(status).c_str());
    }
    return s;
}

int run_targets(const Target &target, const Call &call)
{
    std::vector<Node> chosen;
    std::string error;
    if (!select_targets(find_nodes(), target, &chosen, &error)) {
        complain(error);
        return NOT_DELIVERED;
    }
    if (call.action == FOLLOW && chosen.size() != 1) {
        complain("follow takes one process; choose it with -p or -n");
        return NOT_DELIVERED;
    }
    install_signals();
    const bool headed = target.kind == Target::All;
    int status = ANSWERED;
    std::vector<std::string> objects;
    for (const Node &node : chosen) {
        if (headed && !(call.action == GET && call.json)) {
            printf("== pid %ld (%s) %s\n", node.pid, node.name.c_str(), node.path.c_str());
            fflush(stdout);
        }
        std::string json;
        status = std::max(status, call_one(node, call, &json));
        if (!json.empty())
            objects.push_back(json);
        if (stop_requested)
            break;
    }
    if (call.action == GET && call.json) {
        std::string out;
        for (const std::string &o : objects)
            out += (out.empty() ? "" : ",") + o;
        printf(headed ? "[%s]\n" : "%s\n", out.c_str());
    }
    return status;
}

bool parse_seconds(const char *text, double *seconds)
{
    char *end = nullptr;
    *seconds = strtod(text, &end);
    return end != text && *end == '\0' && *seconds > 0 && *seconds <= 3600;
}

bool parse_pid(const char *text, long *pid)
{
    char *end = nullptr;
    *pid = strtol(text, &end, 10);
    return end != text && *end == '\0' && *pid > 0;
}

int usage_error(const std::string &text)
{
    complain(text + " (lcctl --help shows the forms)");
    return NOT_DELIVERED;
}

}  // namespace

int main(int argc, char **argv)
{
    Target target;
    Call call;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const std::string opt = argv[i];
        const bool has_value = i + 1 < argc;
        if (opt == "-h" || opt == "--help") {
            fputs(usage_text, stdout);
            return 0;
        } else if (opt == "-a") {
            target.kind = Target::All;
        } else if (opt == "-p" && has_value) {
            target.kind = Target::Pid;
            if (!parse_pid(argv[++i], &target.pid))
                return usage_error(std::string("not a process id: ") + argv[i]);
        } else if (opt == "-n" && has_value) {
            target.kind = Target::Name;
            target.name = argv[++i];
        } else if (opt == "--pipe" && has_value) {
            target.kind = Target::Pipe;
            target.name = argv[++i];
        } else if (opt == "-t" && has_value) {
            if (!parse_seconds(argv[++i], &call.timeout))
                return usage_error(std::string("not a time-out in seconds (0 to 3600): ") + argv[i]);
        } else {
            return usage_error("unknown option " + opt);
        }
    }
    if (i >= argc)
        return usage_error("no command");
    const std::string verb = argv[i++];
    const bool json_flag = i < argc && strcmp(argv[i], "--json") == 0;
    if (verb == "list" || verb == "clean") {
        if (target.kind != Target::Only)
            return usage_error(verb + " takes no target");
        if (verb == "list")
            return i + (json_flag ? 1 : 0) == argc ? run_list(json_flag) : usage_error("list takes only --json");
        return run_clean(std::vector<std::string>(argv + i, argv + argc));
    }
    if (verb == "get" || verb == "help" || verb == "follow") {
        call.action = verb == "get" ? GET : verb == "help" ? HELP : FOLLOW;
        call.json = json_flag && call.action == GET;
        if (i + (call.json ? 1 : 0) != argc)
            return usage_error(verb + " takes " + (call.action == GET ? "only --json" : "no arguments"));
        return run_targets(target, call);
    }
    call.commands = verb;
    for (; i < argc; i++)
        call.commands += std::string(";") + argv[i];
    return run_targets(target, call);
}
