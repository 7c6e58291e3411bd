// show.h - how lcctl shows what processes send: escaped for a terminal,
// as JSON, the status words, what a command changed, the rows described,
// and the filters and time stamps of follow.
#ifndef LCCTL_SHOW_H
#define LCCTL_SHOW_H

#include <stdint.h>
#include <string>
#include <utility>
#include <vector>

namespace lcctl {

// Text from a process, safe to print: on a terminal every control byte
// (and a backslash) becomes \xNN, so that no text can move the cursor,
// clear the screen or forge a line; elsewhere it is left as it is.
std::string shown(const std::string &text, bool terminal);

// A JSON string, quoted and escaped.
std::string json_string(const std::string &text);

// The "key=value" words of a status record, in order.
using Words = std::vector<std::pair<std::string, std::string>>;
Words status_words(const std::string &status);
// The value of key in words; empty when it is not there.
std::string word(const Words &words, const std::string &key);
// The modules' levels of a status, in the process's order: every word but
// pid, pipe, version and time.
Words levels(const Words &words);

// "lib 6 -> 7" lines for every level or the time stamp that differs.
std::string changes(const std::string &before, const std::string &after);

// What a command row does, for the rows the library registers itself
// ("<module>_level=<err|info|debug>" of the process's modules, "all_level",
// "dbg_time", "gpool", "help"); empty for the process's own rows.
std::string describe(const std::string &row, const Words &modules);

// Which traces follow shows, and how.
struct FollowView {
    int max_level = 7;                 // levels 0..max_level
    std::vector<std::string> modules;  // empty: all; else only traces tagged "[<module> "
    bool time = false;                 // stamp each line with lcctl's wall-clock time
};
// The module of a trace text: the word after its '[' (after the process's
// own "ss.mmm" stamp, if any); empty when it has no tag.
std::string module_of(const std::string &text);
// Whether a trace record ("<level digit><text>") passes the view.
bool passes(const FollowView &view, const std::string &record);
// The line to print for a trace record, without its trailing line feeds;
// now_ms is the wall-clock time in milliseconds since the epoch.
std::string follow_line(const FollowView &view, const std::string &record, int64_t now_ms, bool terminal);

}  // namespace lcctl

#endif  // LCCTL_SHOW_H
