// lc_test.cpp - trace capture and polling helpers for the tests.
#include "lc_test.h"

#include <mutex>
#include <thread>

#include <stdlib.h>
#include <string.h>

namespace lc_test {

static std::mutex capture_mutex;
static std::vector<TraceLine> captured;

static void capture_hook(int32_t level, const char *text)
{
    std::lock_guard<std::mutex> lock(capture_mutex);
    captured.push_back({level, text});
}

TraceCapture::TraceCapture() : saved_(dbgout_profile)
{
    clear();
    __atomic_store_n(&dbgout_profile.output_hook, &capture_hook, __ATOMIC_RELAXED);
}

TraceCapture::~TraceCapture()
{
    __atomic_store_n(&dbgout_profile.output_hook, saved_.output_hook, __ATOMIC_RELAXED);
    int32_t *levels[] = {&dbgout_profile.lib_level,   &dbgout_profile.para_level,
                         &dbgout_profile.cc_level,    &dbgout_profile.visca_level,
                         &dbgout_profile.net_level,   &dbgout_profile.module_level,
                         &dbgout_profile.mpp_level,   &dbgout_profile.spare_level,
                         &dbgout_profile.time_enable};
    const int32_t saved[] = {saved_.lib_level,    saved_.para_level,  saved_.cc_level,
                             saved_.visca_level,  saved_.net_level,   saved_.module_level,
                             saved_.mpp_level,    saved_.spare_level, saved_.time_enable};
    for (size_t i = 0; i < sizeof saved / sizeof saved[0]; i++)
        __atomic_store_n(levels[i], saved[i], __ATOMIC_RELAXED);
}

std::vector<TraceLine> TraceCapture::lines() const
{
    std::lock_guard<std::mutex> lock(capture_mutex);
    return captured;
}

std::vector<std::string> TraceCapture::texts() const
{
    std::vector<std::string> out;
    for (const TraceLine &line : lines())
        out.push_back(line.text);
    return out;
}

size_t TraceCapture::count(const std::string &needle) const
{
    size_t n = 0;
    for (const TraceLine &line : lines())
        n += line.text.find(needle) != std::string::npos;
    return n;
}

void TraceCapture::clear()
{
    std::lock_guard<std::mutex> lock(capture_mutex);
    captured.clear();
}

bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool under_emulation()
{
    const char *env = getenv("LC_UNDER_EMULATION");
    return env != nullptr && strcmp(env, "1") == 0;
}

}  // namespace lc_test
