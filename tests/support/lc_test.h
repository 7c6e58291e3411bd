#pragma once

#include "lib_common.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <sys/types.h>
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

// The tag "[<mod> <function> +<line>]" of the trace whose format begins with `format` in the body of `function` in
// the source `file` (relative to the source tree).  When the body holds no such trace, the test fails and gives "".
std::string traced_tag(const std::string &mod, const std::string &file, const std::string &function,
                       const std::string &format);

// Polls `cond` every millisecond until it holds or `timeout` passes.
bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Threads of this process named `name` (as the kernel keeps it: 15 characters), -1 when they cannot be read; the
// kernel id of one of them, or 0.
int threads_named(const std::string &name);
pid_t thread_id(const std::string &name);

// True once thread `tid` of this process has been asleep (state S) at three looks in a row, 10 ms apart: it waits in
// a blocking call, not on its way to one.
bool asleep(pid_t tid);

// Tasks that hold their workers until the test opens the gate (once; later opens do nothing).
struct Gate {
    std::promise<void> opener;
    std::shared_future<void> opened = opener.get_future().share();
    std::once_flag once;
    static void hold(void *gate) { static_cast<Gate *>(gate)->opened.wait(); }
    void release()
    {
        std::call_once(once, [this] { opener.set_value(); });
    }
};

// True under user-mode emulation (qemu), where some facilities differ.
bool under_emulation();

}  // namespace lc_test
