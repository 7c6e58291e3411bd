// show.cpp - the text lcctl prints of what processes send.
#include "show.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>

namespace lcctl {

std::string shown(const std::string &text, bool terminal)
{
    if (!terminal)
        return text;
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c != 0x7f && c != '\\') {
            out += (char)c;
            continue;
        }
        char esc[8];
        snprintf(esc, sizeof esc, "\\x%02x", c);
        out += esc;
    }
    return out;
}

std::string json_string(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c == 0x7f) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

Words status_words(const std::string &status)
{
    Words words;
    size_t pos = 0;
    while (pos < status.size()) {
        size_t blank = status.find(' ', pos);
        if (blank == std::string::npos)
            blank = status.size();
        const std::string w = status.substr(pos, blank - pos);
        const size_t eq = w.find('=');
        if (eq != std::string::npos)
            words.emplace_back(w.substr(0, eq), w.substr(eq + 1));
        pos = blank + 1;
    }
    return words;
}

std::string word(const Words &words, const std::string &key)
{
    for (const auto &w : words)
        if (w.first == key)
            return w.second;
    return "";
}

Words levels(const Words &words)
{
    Words out;
    for (const auto &w : words)
        if (w.first != "pid" && w.first != "pipe" && w.first != "version" && w.first != "time")
            out.push_back(w);
    return out;
}

std::string changes(const std::string &before, const std::string &after)
{
    const Words old_words = status_words(before), new_words = status_words(after);
    Words settings = levels(new_words);
    settings.emplace_back("time", word(new_words, "time"));
    std::string text;
    for (const auto &s : settings) {
        const std::string was = word(old_words, s.first);
        if (!was.empty() && was != s.second)
            text += s.first + " " + was + " -> " + s.second + "\n";
    }
    return text;
}

std::string describe(const std::string &row, const Words &modules)
{
    static const struct {
        const char *value, *what;
    } level_values[] = {{"err", "errors only (level 3)"},
                        {"info", "up to information (level 6)"},
                        {"debug", "everything, debug included (level 7)"}};
    static const struct {
        const char *row, *what;
    } fixed[] = {
        {"help", "lists these rows through the process's trace output"},
        {"dbg_time=1", "time stamp ss.mmm in front of every trace"},
        {"dbg_time=0", "no time stamp"},
        {"gpool=statistics", "the library pool's workers (min, max, live, busy) and pending tasks"},
        {"gpool=print_task", "switches tracing of the start and end of every pool task on or off"},
        {"gpool=add_task", "traces the next 10 tasks handed to any pool"},
    };
    for (const auto &f : fixed)
        if (row == f.row)
            return f.what;
    const size_t eq = row.find("_level=");
    if (eq == std::string::npos)
        return "";
    const std::string module = row.substr(0, eq), value = row.substr(eq + 7);
    const bool known =
        module == "all" || std::any_of(modules.begin(), modules.end(),
                                       [&](const std::pair<std::string, std::string> &m) { return m.first == module; });
    for (const auto &l : level_values)
        if (known && value == l.value)
            return (module == "all" ? std::string("every module") : "module " + module) + ": " + l.what;
    return "";
}

// Length of the process's own "ss.mmm" stamp at the start of text, or 0.
static size_t stamp_length(const std::string &text)
{
    const char *t = text.c_str();
    const bool stamp = text.size() >= 6 && isdigit((unsigned char)t[0]) && isdigit((unsigned char)t[1]) &&
                       t[2] == '.' && isdigit((unsigned char)t[3]) && isdigit((unsigned char)t[4]) &&
                       isdigit((unsigned char)t[5]);
    return stamp ? 6 : 0;
}

std::string module_of(const std::string &text)
{
    const size_t start = stamp_length(text);
    if (text.size() <= start || text[start] != '[')
        return "";
    const size_t blank = text.find_first_of(" ]", start + 1);
    return blank == std::string::npos ? "" : text.substr(start + 1, blank - start - 1);
}

bool passes(const FollowView &view, const std::string &record)
{
    if (record.empty())
        return false;
    const int level = record[0] >= '0' && record[0] <= '9' ? record[0] - '0' : 7;
    if (level > view.max_level)
        return false;
    if (view.modules.empty())
        return true;
    const std::string module = module_of(record.substr(1));
    return std::find(view.modules.begin(), view.modules.end(), module) != view.modules.end();
}

std::string follow_line(const FollowView &view, const std::string &record, int64_t now_ms, bool terminal)
{
    std::string text = record.empty() ? "" : record.substr(1);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    std::string line;
    if (view.time) {
        const time_t seconds = (time_t)(now_ms / 1000);
        struct tm local;
        char stamp[32];
        localtime_r(&seconds, &local);
        const size_t n = strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
        snprintf(stamp + n, sizeof stamp - n, ".%03d ", (int)(now_ms % 1000));
        line = stamp;
    }
    return line + shown(text, terminal);
}

}  // namespace lcctl
