// lc_test.h - helpers shared by the test binaries.
#ifndef LC_TEST_H
#define LC_TEST_H

#include "lib_common.h"

#include <chrono>
#include <functional>
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

// True under user-mode emulation (qemu), where some facilities differ.
bool under_emulation();

}  // namespace lc_test

#endif  // LC_TEST_H
