// lc_test.cpp - trace capture and polling helpers for the tests.
#include "lc_test.h"

#include <algorithm>
#include <mutex>
#include <stdlib.h>
#include <string.h>
#include <thread>

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

// Atomic stores: library threads may be reading the fields meanwhile.
TraceCapture::~TraceCapture()
{
    using P = dbgout_profile_t;
    static int32_t P::*const fields[] = {&P::lib_level, &P::para_level, &P::cc_level, &P::visca_level, &P::net_level,
                                         &P::module_level, &P::mpp_level, &P::spare_level, &P::time_enable};
    __atomic_store_n(&dbgout_profile.output_hook, saved_.output_hook, __ATOMIC_RELAXED);
    for (int32_t P::*field : fields)
        __atomic_store_n(&(dbgout_profile.*field), saved_.*field, __ATOMIC_RELAXED);
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
    const std::vector<std::string> all = texts();
    return std::count_if(all.begin(), all.end(), [&](const auto &t) { return t.find(needle) != std::string::npos; });
}

void TraceCapture::clear()
{
    std::lock_guard<std::mutex> lock(capture_mutex);
    captured.clear();
}

bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
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
