#include "lc_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <regex>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <thread>

namespace lc_test {

static std::mutex capture_mutex;
static std::vector<std::string> captured;

static void capture_hook(int32_t, const char *text)
{
    std::lock_guard<std::mutex> lock(capture_mutex);
    captured.push_back(text);
}

TraceCapture::TraceCapture() : saved_(dbgout_profile)
{
    clear();
    __atomic_store_n(&dbgout_profile.output_hook, &capture_hook, __ATOMIC_RELAXED);
}

// Atomic stores: library threads may read them.  Levels and time_enable are the first nine int32_t.
TraceCapture::~TraceCapture()
{
    __atomic_store_n(&dbgout_profile.output_hook, saved_.output_hook, __ATOMIC_RELAXED);
    for (int f = 0; f < 9; f++)
        __atomic_store_n(&dbgout_profile.lib_level + f, (&saved_.lib_level)[f], __ATOMIC_RELAXED);
}

std::vector<std::string> TraceCapture::texts() const
{
    std::lock_guard<std::mutex> lock(capture_mutex);
    return captured;
}

size_t TraceCapture::count(const std::string &needle) const
{
    const std::vector<std::string> all = texts();
    return std::count_if(all.begin(), all.end(), [&](const std::string &t) { return t.find(needle) != t.npos; });
}

void TraceCapture::clear()
{
    std::lock_guard<std::mutex> lock(capture_mutex);
    captured.clear();
}

// The definition is the first line naming function( (not as the end of a longer name) followed by a line "{" before
// any line ends with ';'; its body ends at the next line "}".  The trace's statement begins at its call.
std::string traced_tag(const std::string &mod, const std::string &file, const std::string &function,
                       const std::string &format)
{
    std::ifstream source(std::string(LC_SOURCE_DIR) + "/" + file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(source, line);)
        lines.push_back(line);
    const std::regex named("(^|[^A-Za-z0-9_])" + function + "\\("), call("XEL_TRACE\\(|xel_traceout\\(");
    size_t open = 0;
    for (size_t i = 0; i < lines.size() && open == 0; i++) {
        size_t j = i;
        while (j < lines.size() && lines[j] != "{" && (lines[j].empty() || lines[j].back() != ';'))
            j++;
        open = j < lines.size() && lines[j] == "{" && std::regex_search(lines[i], named) ? j : 0;
    }
    for (size_t i = open + 1; open != 0 && i < lines.size() && lines[i] != "}"; i++) {
        if (lines[i].find('"' + format) == std::string::npos)
            continue;
        size_t start = i;
        while (start > open && !std::regex_search(lines[start], call))
            start--;
        if (start == open)
            break;
        char tag[256];
        snprintf(tag, sizeof tag, "[%s %s +%-4d]", mod.c_str(), function.c_str(), static_cast<int>(start + 1));
        return tag;
    }
    ADD_FAILURE() << file << ": no trace of \"" << format << "\" in the body of " << function;
    return "";
}

bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool met;
    while (!(met = cond()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return met;
}

// Calls `each` with the id and the name of every thread of this process; -1 when they cannot be read.
static int each_thread(const std::function<void(pid_t, const std::string &)> &each)
{
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return -1;
    std::string comm;
    while (const dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.' &&
            std::getline(std::ifstream(std::string("/proc/self/task/") + entry->d_name + "/comm"), comm))
            each(static_cast<pid_t>(atoi(entry->d_name)), comm);
    closedir(dir);
    return 0;
}

int threads_named(const std::string &name)
{
    int n = 0;
    return each_thread([&](pid_t, const std::string &comm) { n += comm == name; }) < 0 ? -1 : n;
}

pid_t thread_id(const std::string &name)
{
    pid_t found = 0;
    each_thread([&](pid_t tid, const std::string &comm) { found = comm == name ? tid : found; });
    return found;
}

bool asleep(pid_t tid)
{
    int in_a_row = 0;
    return wait_until([&] {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
        const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t end = text.rfind(')');  // the state follows the name, which may hold anything
        in_a_row = end != std::string::npos && text.compare(end + 2, 1, "S") == 0 ? in_a_row + 1 : 0;
        if (in_a_row < 3)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return in_a_row >= 3;
    });
}

bool under_emulation()
{
    const char *env = getenv("LC_UNDER_EMULATION");
    return env != nullptr && strcmp(env, "1") == 0;
}

}  // namespace lc_test
