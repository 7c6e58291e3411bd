// processes.h - child processes for the lcctl tests: programs run to their
// end with their output captured, and served processes (the demo, test
// peers) that are stopped and whose nodes are removed when a test ends,
// also when it fails.
#ifndef LC_TEST_PROCESSES_H
#define LC_TEST_PROCESSES_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace lc_proc {

// The output and end of a program run.
struct Outcome {
    int status = -1;     // exit status; -1 when it had to be killed
    std::string out;     // standard output
    std::string err;     // standard error
    double seconds = 0;  // how long it ran
};

// A started program whose output goes to files in the scratch folder.
struct Child {
    pid_t pid = -1;
    std::string out_path, err_path;
    double started = 0;
};

// Monotonic seconds.
double now();

// A scratch folder of this test process, removed by clear_scratch().
const std::string &scratch();
void clear_scratch();

// Starts args[0] (a path) with args, the cross emulator in front for a
// cross build; env holds "NAME=value" entries added to the environment;
// `as`, when not 0, is the user (and group) it runs as; `out`, when not
// empty, is the file its standard output goes to instead (a terminal).
Child spawn(const std::vector<std::string> &args, const std::vector<std::string> &env = {}, uid_t as = 0,
            const std::string &out = "");

// Waits for a child to end, at most `limit` seconds (then kills it).
Outcome finish(Child &child, double limit);

// spawn and finish.
Outcome run(const std::vector<std::string> &args, double limit = 60, const std::vector<std::string> &env = {},
            uid_t as = 0);

// Reads a whole file; empty when it cannot.
std::string read_file(const std::string &path);

// Polls cond every 10 ms until it holds, at most `limit` seconds.
bool wait_until(const std::function<bool()> &cond, double limit);
// Polls until `text` appears in the file, at most `limit` seconds.
bool wait_for_text(const std::string &path, const std::string &text, double limit);
// How often needle is in text.
size_t count_of(const std::string &text, const std::string &needle);

// Sends SIGSTOP to pid and waits until every thread of it has stopped
// (a signal takes effect when each thread next runs); false after 10 s.
bool stop_all(pid_t pid);

// A process that serves a debug pipe.
struct Served {
    Child child;
    pid_t pid = -1;    // its process id, kept after it has ended
    std::string pipe;  // the node it serves
    ino_t node = 0;    // that node's inode when it started serving
};

// Keeps track of served processes and stops them at the end: SIGTERM,
// then SIGKILL, and removes each one's node if it is still the same node.
class ServedSet {
public:
    ~ServedSet();
    // The demo (`demo` binary) or a peer; waits until it serves.  Null
    // (with a message) when it does not serve within the time limit.
    Served *start_demo(const std::string &demo, const std::vector<std::string> &env = {});
    Served *start_peer(const std::string &peer, const std::string &name);
    // SIGKILL: the process ends without removing its node.
    void kill_hard(Served *s);
    std::string failure;  // why the last start failed

private:
    Served *start(const std::vector<std::string> &args, const std::vector<std::string> &env, bool on_stdout);
    std::vector<Served *> all_;
};

}  // namespace lc_proc

#endif  // LC_TEST_PROCESSES_H
