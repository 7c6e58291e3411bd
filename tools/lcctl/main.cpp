// lcctl - talks to processes that use lib_common through their control
// sockets: lists them, sends commands and prints the answers and what they
// changed, reads the levels back, follows the traces, removes stale pipe
// nodes.  See usage_text or lcctl --help.
#include "procfs.h"
#include "servers.h"
#include "show.h"
#include "talk.h"

#include "lc_version.h"
#include "reply_protocol_internal.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

using namespace lcctl;

namespace {

const char usage_text[] =
    "usage: lcctl list [--json]\n"
    "       lcctl clean [PATH...]\n"
    "       lcctl [TARGET] [-t SECONDS] get [--json]\n"
    "       lcctl [TARGET] [-t SECONDS] help\n"
    "       lcctl [TARGET] [-t SECONDS] follow [--time] [--level LEVEL] [--module NAME[,NAME...]]\n"
    "       lcctl [TARGET] [-t SECONDS] CMD...\n"
    "       lcctl --version | --help\n"
    "\n"
    "Talks to the processes that use lib_common through their control sockets\n"
    "and prints their answers.  A process answers only root and its own user.\n"
    "\n"
    "  list        every process that serves a control socket: its debug pipe,\n"
    "              pid, name and state (serving; denied: not root nor its user;\n"
    "              stopped; silent: no answer in time), then every pipe node\n"
    "              under /dev that no such process serves: stale when nobody\n"
    "              holds it open.  --json: one array of objects with the keys\n"
    "              pipe, pid, name, program, uid and state.\n"
    "  clean       removes the stale pipe nodes and the reply FIFOs lcctl-* of\n"
    "              yours that an older lcctl left in $TMPDIR or /tmp (all, or\n"
    "              the PATHs named): only what no process holds open and what\n"
    "              was made over a second ago.\n"
    "  get         the levels and the time-stamp switch, as one line\n"
    "              pid=<pid> pipe=<path> version=<v> lib=<n> ... time=<0|1>\n"
    "              --json: one object with the keys pid, pipe, version, levels\n"
    "              and time.\n"
    "  help        the process's command rows, the library's own described.\n"
    "  follow      every trace the process emits from now on, until Ctrl-C or\n"
    "              the process ends; a line the reader fell behind on is\n"
    "              counted, not waited for.  --time: each line stamped with the\n"
    "              time it arrived; --level: only levels up to LEVEL (0..7, err,\n"
    "              info, debug); --module: only traces tagged with these modules.\n"
    "  CMD...      commands in the pipe's syntax, e.g. lib_level=debug or\n"
    "              gpool=statistics; several arguments are joined with ';'.  The\n"
    "              process checks every command against its rows first and runs\n"
    "              none when one matches no row.  Prints the traces the\n"
    "              commands made (those its levels let through), then what\n"
    "              they changed, e.g. \"lib 6 -> 7\".\n"
    "\n"
    "TARGET (default: the one process that serves a control socket):\n"
    "  -p PID      the process PID\n"
    "  -n NAME     the process named NAME: its kernel name or its program's\n"
    "              name (an error if several are)\n"
    "  -a          every serving process, each answer headed by its pid\n"
    "  --pipe PATH the process that serves the debug pipe PATH\n"
    "  -t SECONDS  gives up after this long (default 2); no call ever waits\n"
    "              longer, whatever the process does.\n"
    "\n"
    "Exit status: 0 answered; 1 the process refused the request (it says why);\n"
    "2 not delivered: no such process, denied, busy, no answer in time, or the\n"
    "process ended; the message says which.\n"
    "Without lcctl, on a board: timeout 2 sh -c 'echo help=1 > /dev/libfifo'\n"
    "(the answers go to syslog; a plain echo blocks on a pipe nobody serves).\n";

volatile sig_atomic_t stop_requested = 0;

void on_stop(int)
{
    stop_requested = 1;
}

// Ctrl-C and friends end waits instead of the program.
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

bool out_terminal;
bool err_terminal;

void complain(const std::string &text)
{
    fprintf(stderr, "lcctl: %s\n", shown(text, err_terminal).c_str());
}

void print_line(const std::string &text)
{
    std::string line = text;
    while (!line.empty() && line.back() == '\n')
        line.pop_back();
    printf("%s\n", shown(line, out_terminal).c_str());
    fflush(stdout);
}

void print_cut(const std::string &count)
{
    printf("-- %s traces missing here: the reader fell behind\n", shown(count, out_terminal).c_str());
    fflush(stdout);
}

int64_t wall_ms()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (int64_t)tv.tv_sec * 1000 + tv.tv_usec / 1000;
}

// Whether pid ends within a second: a process that is killed closes its
// descriptors a moment before it ends.
bool ends_soon(long pid)
{
    for (int i = 0; i < 100 && process_alive(pid); i++)
        usleep(10000);
    return !process_alive(pid);
}

std::string who(const Server &s)
{
    return "pid " + std::to_string(s.pid) + (s.name.empty() ? "" : " (" + s.name + ")");
}

// ---- one request ----------------------------------------------------------

enum Action { SEND, GET, HELP, FOLLOW };

struct Call {
    Action action = SEND;
    bool json = false;
    std::string commands;
    FollowView view;
    double timeout = 2.0;
};

// What came back for one request.
struct Answer {
    std::string first_status, last_status;
    std::string refusal;  // the process's reason, when it refused
    char failure = 0;     // LC_REC_DENIED or LC_REC_BUSY
    std::string busy_with;
    Connection::End end = Connection::CLOSED;
};

char request_type(Action a)
{
    return a == GET ? LC_REQ_GET : a == HELP ? LC_REQ_ROWS : a == FOLLOW ? LC_REQ_FOLLOW : LC_REQ_COMMANDS;
}

// Sends the request of `call` to s and reads the answer, passing traces,
// rows and cut markers to fn.  Busy processes are asked again until the
// deadline; a follower's wait ends with its status.  Anything but
// ANSWERED comes with the reason in *error.
Status ask(const Server &s, const Call &call, int64_t deadline, const RecordFn &fn, Answer *a, std::string *error)
{
    for (;;) {
        *a = Answer();
        Connection c(&stop_requested);
        if (!c.connect_to(s.socket, deadline, error)) {
            if (!process_alive(s.pid))
                *error = "the process ended";
            return NOT_DELIVERED;
        }
        if (c.peer_pid() != s.pid) {
            *error = "its socket is served by pid " + std::to_string(c.peer_pid()) + " now";
            return NOT_DELIVERED;
        }
        // A process that turns the caller away says why and closes at
        // once, maybe before the request is sent: its answer still counts.
        const bool sent = c.send_request(request_type(call.action), call.commands, error);
        if (!sent && error->compare(0, 16, "request too long") == 0)
            return NOT_DELIVERED;
        int64_t wait_until = deadline;
        a->end = c.read_records(&wait_until, [&](char type, const std::string &text) {
            if (type == LC_REC_STATUS) {
                if (a->first_status.empty())
                    a->first_status = text;
                a->last_status = text;
                if (call.action == FOLLOW)
                    wait_until = -1;  // from now on only the process or Ctrl-C ends it
            } else if (type == LC_REC_REFUSED) {
                a->refusal = text;
            } else if (type == LC_REC_DENIED || type == LC_REC_BUSY) {
                a->failure = type;
                a->busy_with = text;
            }
            fn(type, text);
        });
        if (!sent && a->failure == 0)
            return NOT_DELIVERED;
        const bool retry = a->failure == LC_REC_BUSY && call.action != FOLLOW && now_ms() < deadline;
        if (!retry || stop_requested)
            break;
        usleep(20000);
    }
    if (a->failure == LC_REC_DENIED) {
        *error = "permission denied: it answers only root and its own user (uid " + std::to_string(s.uid) + ")";
        return NOT_DELIVERED;
    }
    if (a->failure == LC_REC_BUSY) {
        *error = "busy: too many " + a->busy_with + " at once; try again";
        return NOT_DELIVERED;
    }
    if (!a->refusal.empty()) {
        *error = "refused: " + a->refusal;
        return REFUSED;
    }
    if (a->end == Connection::GOT_END || (call.action == FOLLOW && !a->first_status.empty()))
        return ANSWERED;
    if (a->end == Connection::TIMED_OUT)
        *error = std::string(process_stopped(s.pid) ? "stopped: " : "") + "no answer within " +
                 std::to_string(call.timeout).substr(0, std::to_string(call.timeout).find('.') + 2) +
                 " s; the request runs only if the process took it in before";
    else if (a->end == Connection::STOPPED)
        *error = "interrupted";
    else
        *error = ends_soon(s.pid) ? "the process ended" : "the connection was closed";
    return NOT_DELIVERED;
}

// ---- answers ------------------------------------------------------------

std::string get_json(const std::string &status)
{
    const Words w = status_words(status);
    std::string lv;
    for (const auto &m : levels(w))
        lv += (lv.empty() ? "" : ",") + json_string(m.first) + ":" + m.second;
    return "{\"pid\":" + word(w, "pid") + ",\"pipe\":" + json_string(word(w, "pipe")) +
           ",\"version\":" + json_string(word(w, "version")) + ",\"levels\":{" + lv + "},\"time\":" + word(w, "time") +
           "}";
}

void print_row(char type, const std::string &text, const Words &modules)
{
    if (type == LC_REC_CUT) {
        print_cut(text);
        return;
    }
    const std::string row = type == LC_REC_ROW ? text : text + "=<any>";
    const std::string what = describe(text, modules);
    if (what.empty())
        print_line(row);
    else
        printf("%-20s %s\n", shown(row, out_terminal).c_str(), what.c_str());
}

int call_one(const Server &s, const Call &call, std::string *json)
{
    const int64_t deadline = now_ms() + (int64_t)(call.timeout * 1000);
    std::vector<std::pair<char, std::string>> rows;
    bool announced = false;
    Answer a;
    std::string error;
    const Status st = ask(
        s, call, deadline,
        [&](char type, const std::string &text) {
            if (call.action == FOLLOW && type == LC_REC_STATUS && !announced) {
                fprintf(stderr, "-- following %s (Ctrl-C stops)\n", shown(who(s), err_terminal).c_str());
                announced = true;
            } else if (type == LC_REC_TRACE && (call.action != FOLLOW || passes(call.view, text))) {
                if (call.action == FOLLOW)
                    print_line(follow_line(call.view, text, wall_ms(), out_terminal));
                else
                    print_line(text.substr(1));
            } else if (type == LC_REC_CUT) {
                print_cut(text);
            } else if (type == LC_REC_ROW || type == LC_REC_ROW_ANY) {
                rows.emplace_back(type, text);
            }
        },
        &a, &error);
    if (st != ANSWERED) {
        complain(who(s) + ": " + error);
        return st;
    }
    if (call.action == FOLLOW) {
        if (a.end == Connection::GOT_END || a.end == Connection::CLOSED)
            fprintf(stderr, "-- %s\n",
                    ends_soon(s.pid)               ? "process ended"
                    : a.end == Connection::GOT_END ? "the process stopped its library"
                                                   : "connection closed");
        return ANSWERED;
    }
    if (call.action == HELP)
        for (const auto &r : rows)
            print_row(r.first, r.second, levels(status_words(a.last_status)));
    if (call.action == GET) {
        if (call.json)
            *json = get_json(a.last_status);
        else
            print_line(a.last_status);
    }
    if (call.action == SEND)
        fputs(shown(changes(a.first_status, a.last_status), false).c_str(), stdout);
    return ANSWERED;
}

// The servers that serve the pipe at path, by their own word.
std::vector<Server> serving_pipe(const std::vector<Server> &servers, const std::string &path, double timeout)
{
    std::vector<Server> found;
    Call get;
    get.action = GET;
    get.timeout = timeout;
    for (const Server &s : servers) {
        Answer a;
        std::string error;
        const int64_t deadline = now_ms() + (int64_t)(timeout * 1000);
        if (!process_stopped(s.pid) &&
            ask(
                s, get, deadline, [](char, const std::string &) {}, &a, &error) == ANSWERED &&
            word(status_words(a.last_status), "pipe") == path)
            found.push_back(s);
    }
    return found;
}

int run_targets(const Target &target, const Call &call)
{
    install_signals();
    const int64_t deadline = now_ms() + (int64_t)(call.timeout * 1000);
    std::vector<Server> chosen;
    std::string error;
    if (target.kind == Target::Pid) {
        Server s;
        if (find_server(target.pid, deadline, &stop_requested, &s))
            chosen.push_back(s);
        else if (!select_targets({}, target, &chosen, &error))
            complain(error);
    } else if (!select_targets(find_servers(deadline, &stop_requested), target, &chosen, &error)) {
        complain(error);
    } else if (target.kind == Target::Pipe) {
        chosen = serving_pipe(chosen, target.name, call.timeout);
        if (chosen.size() != 1)
            complain(chosen.empty() ? "no process says it serves " + target.name
                                    : "several processes say they serve " + target.name);
        if (chosen.size() != 1)
            return NOT_DELIVERED;
    }
    if (chosen.empty())
        return NOT_DELIVERED;
    if (call.action == FOLLOW && chosen.size() != 1) {
        complain("follow takes one process; choose it with -p or -n");
        return NOT_DELIVERED;
    }
    const bool headed = target.kind == Target::All;
    int status = ANSWERED;
    std::vector<std::string> objects;
    for (const Server &s : chosen) {
        if (headed && !(call.action == GET && call.json)) {
            printf("== %s\n", shown(who(s), out_terminal).c_str());
            fflush(stdout);
        }
        std::string json;
        status = std::max(status, call_one(s, call, &json));
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

// ---- list and clean ---------------------------------------------------

struct Row {
    std::string pipe = "-";
    long pid = 0;  // 0: no process
    long uid = -1;
    std::string name, program, state;
};

// The state of s and the pipe it serves, asked within a short time.
Row server_row(const Server &s, double timeout)
{
    Row r;
    r.pid = s.pid;
    r.uid = s.uid;
    r.name = s.name;
    r.program = s.program;
    if (process_stopped(s.pid)) {
        r.state = "stopped";
        return r;
    }
    Call get;
    get.action = GET;
    get.timeout = timeout;
    Answer a;
    const int64_t deadline = now_ms() + (int64_t)(timeout * 1000);
    std::string error;  // the row says it
    const Status st = ask(
        s, get, deadline, [](char, const std::string &) {}, &a, &error);
    r.state = st == ANSWERED ? "serving" : a.failure == LC_REC_DENIED ? "denied" : "silent";
    if (st == ANSWERED)
        r.pipe = word(status_words(a.last_status), "pipe");
    return r;
}

std::string holders_text(const std::vector<long> &pids)
{
    std::string text;
    for (long pid : pids)
        text += (text.empty() ? "" : ",") + std::to_string(pid);
    return text;
}

int run_list(bool json)
{
    install_signals();
    std::vector<Row> rows;
    for (const Server &s : find_servers(now_ms() + 2000, &stop_requested))
        rows.push_back(server_row(s, 0.5));
    for (const FifoFile &node : pipe_nodes()) {
        // A node its server does not name (it denied us) is credited by
        // holding: its server holds it open.  A server's own word comes
        // first: anyone may hold a node open.
        Row *owner = nullptr;
        for (Row &r : rows)
            if (r.pipe == node.path)
                owner = &r;
        for (Row &r : rows)
            if (owner == nullptr && r.pipe == "-" && r.state == "denied" &&
                std::find(node.holders.begin(), node.holders.end(), r.pid) != node.holders.end())
                owner = &r;
        if (owner != nullptr) {
            owner->pipe = node.path;
            continue;
        }
        Row r;
        r.pipe = node.path;
        r.state = !node.holders_known    ? "unknown (needs root)"
                  : node.holders.empty() ? "stale"
                                         : "held by pid " + holders_text(node.holders);
        rows.push_back(r);
    }
    if (json) {
        std::string out = "[";
        for (size_t i = 0; i < rows.size(); i++) {
            const Row &r = rows[i];
            const bool known = r.pid != 0;
            out += std::string(i ? "," : "") + "{\"pipe\":" + (r.pipe == "-" ? "null" : json_string(r.pipe)) +
                   ",\"pid\":" + (known ? std::to_string(r.pid) : "null") +
                   ",\"name\":" + (known ? json_string(r.name) : "null") +
                   ",\"program\":" + (known ? json_string(r.program) : "null") +
                   ",\"uid\":" + (known ? std::to_string(r.uid) : "null") + ",\"state\":" + json_string(r.state) + "}";
        }
        printf("%s]\n", out.c_str());
        return ANSWERED;
    }
    for (const Row &r : rows)
        printf("%-20s %-7s %-16s %s\n", shown(r.pipe, out_terminal).c_str(),
               r.pid != 0 ? std::to_string(r.pid).c_str() : "-", r.pid != 0 ? shown(r.name, out_terminal).c_str() : "-",
               r.state.c_str());
    return ANSWERED;
}

enum { FRESH_SECONDS = 1 };

// Now, on the clock file times are stamped with.
static double wall_clock()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (double)now.tv_sec + now.tv_nsec / 1e9;
}

// Removes a FIFO that is provably stale: nobody holds it open (and every
// process could be looked at), and it was not made just now.  The status
// of that attempt; `named`: the caller asked for this one.
int clean_one(const FifoFile &f, bool named)
{
    std::string left;
    if (!f.holders_known)
        left = "cannot tell who holds it open (run as root)";
    else if (!f.holders.empty())
        left = "held open by pid " + holders_text(f.holders) + " (" + process_name(f.holders[0]) + ")";
    else if (wall_clock() - f.changed < FRESH_SECONDS)
        left = "made just now, its process may still be opening it";
    if (!left.empty()) {
        if (named || f.holders.empty())
            complain("left " + f.path + ": " + left);
        return named ? REFUSED : ANSWERED;
    }
    if (unlink(f.path.c_str()) != 0) {
        complain("cannot remove " + f.path + ": " + strerror(errno));
        return NOT_DELIVERED;
    }
    printf("removed %s\n", shown(f.path, out_terminal).c_str());
    return ANSWERED;
}

int run_clean(const std::vector<std::string> &paths)
{
    int status = ANSWERED;
    if (paths.empty()) {
        for (const FifoFile &f : pipe_nodes())
            status = std::max(status, clean_one(f, false));
        for (const FifoFile &f : old_reply_fifos())
            status = std::max(status, clean_one(f, false));
        return status;
    }
    for (const std::string &path : paths) {
        FifoFile f;
        if (!pipe_node(path, &f) && !old_reply_fifo(path, &f)) {
            complain("not a debug pipe node nor an old reply FIFO of yours: " + path);
            status = NOT_DELIVERED;
            continue;
        }
        status = std::max(status, clean_one(f, true));
    }
    return status;
}

// ---- the command line -------------------------------------------------

bool parse_seconds(const char *text, double *seconds)
{
    char *end = nullptr;
    *seconds = strtod(text, &end);
    return end != text && *end == '\0' && *seconds > 0 && *seconds <= 3600;
}

bool parse_pid(const char *text, long *pid)
{
    char *end = nullptr;
    errno = 0;
    *pid = strtol(text, &end, 10);
    return end != text && *end == '\0' && *pid > 0 && errno == 0;
}

bool parse_level(const std::string &text, int *level)
{
    static const std::pair<const char *, int> names[] = {{"err", 3}, {"info", 6}, {"debug", 7}};
    for (const auto &n : names)
        if (text == n.first)
            return (*level = n.second), true;
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '7')
        return (*level = text[0] - '0'), true;
    return false;
}

int usage_error(const std::string &text)
{
    complain(text + " (lcctl --help shows the forms)");
    return NOT_DELIVERED;
}

// Parses the words after "follow"; an error message, or empty.
std::string parse_follow(char **args, int count, FollowView *view)
{
    for (int i = 0; i < count; i++) {
        const std::string opt = args[i];
        const bool has_value = i + 1 < count;
        if (opt == "--time") {
            view->time = true;
        } else if (opt == "--level" && has_value) {
            if (!parse_level(args[++i], &view->max_level))
                return std::string("not a level (0..7, err, info, debug): ") + args[i];
        } else if (opt == "--module" && has_value) {
            const std::string list = args[++i];
            for (size_t pos = 0; pos <= list.size();) {
                const size_t comma = std::min(list.find(',', pos), list.size());
                if (comma > pos)
                    view->modules.push_back(list.substr(pos, comma - pos));
                pos = comma + 1;
            }
        } else if (opt == "--level" || opt == "--module") {
            return "option " + opt + " needs a value";
        } else {
            return "follow takes --time, --level LEVEL and --module NAME[,NAME...], not " + opt;
        }
    }
    return "";
}

}  // namespace

int main(int argc, char **argv)
{
    out_terminal = isatty(1) != 0;
    err_terminal = isatty(2) != 0;
    Target target;
    Call call;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const std::string opt = argv[i];
        const bool has_value = i + 1 < argc;
        if (opt == "-h" || opt == "--help") {
            fputs(usage_text, stdout);
            return 0;
        } else if (opt == "--version") {
            printf("lcctl %s\n", LC_VERSION_STRING);
            return 0;
        } else if (opt == "-a") {
            target.kind = Target::All;
        } else if ((opt == "-p" || opt == "-n" || opt == "--pipe" || opt == "-t") && !has_value) {
            return usage_error("option " + opt + " needs " +
                               (opt == "-p"   ? "a process id"
                                : opt == "-n" ? "a process name"
                                : opt == "-t" ? "a time-out in seconds"
                                              : "a pipe's path"));
        } else if (opt == "-p") {
            target.kind = Target::Pid;
            if (!parse_pid(argv[++i], &target.pid))
                return usage_error(std::string("not a process id: ") + argv[i]);
        } else if (opt == "-n" || opt == "--pipe") {
            target.kind = opt == "-n" ? Target::Name : Target::Pipe;
            target.name = argv[++i];
        } else if (opt == "-t") {
            if (!parse_seconds(argv[++i], &call.timeout))
                return usage_error(std::string("not a time-out in seconds (more than 0, at most 3600): ") + argv[i]);
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
    if (verb == "follow") {
        call.action = FOLLOW;
        const std::string error = parse_follow(argv + i, argc - i, &call.view);
        return error.empty() ? run_targets(target, call) : usage_error(error);
    }
    if (verb == "get" || verb == "help") {
        call.action = verb == "get" ? GET : HELP;
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
