// lc_test.h - helpers shared by the test binaries.
#ifndef LC_TEST_H
#define LC_TEST_H

#include "lib_common.h"

#include <atomic>
#include <chrono>
#include <future>
#include <functional>
#include <sys/types.h>
#include <string>
#include <vector>

namespace lc_test {

// Captures every trace through output_hook while it lives; puts the hook, the levels and time_enable back.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    std::vector<std::string> texts() const;         // in order
    size_t count(const std::string &needle) const;  // texts containing needle
    bool contains(const std::string &needle) const { return count(needle) > 0; }
    void clear();

private:
    dbgout_profile_t saved_;
};

// The tag "[<mod> <function> +<line>]" of a trace that the library's `function` makes itself, read from its source
// file `file` (relative to the source tree): line is that of the statement in function's body whose format begins
// with `format`.  When the body holds no such statement (a helper traces the text, say), the test fails and the
// result is "".
std::string traced_tag(const std::string &mod, const std::string &file, const std::string &function,
                       const std::string &format);

// Polls `cond` every millisecond until it holds or `timeout` passes.
bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Threads of this process whose name (as the kernel keeps it: 15 characters) is `name`.
int threads_named(const std::string &name);

// The kernel id of this process's thread named `name`, or 0.
pid_t thread_id(const std::string &name);

// True once thread `tid` of this process has been asleep (state S) at three looks in a row, 10 ms apart: it waits in
// a blocking call, not on its way to one.
bool asleep(pid_t tid);

// Tasks that hold their workers until the test opens the gate (once; later opens do nothing).
struct Gate {
    std::promise<void> opener;
    std::shared_future<void> opened = opener.get_future().share();
    std::atomic<bool> open{false};
    static void hold(void *gate) { static_cast<Gate *>(gate)->opened.wait(); }
    void release()
    {
        if (!open.exchange(true))
            opener.set_value();
    }
};

// True under user-mode emulation (qemu), where some facilities differ.
bool under_emulation();

}  // namespace lc_test

#endif  // LC_TEST_H
