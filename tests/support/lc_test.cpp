// lc_test.cpp - trace capture and polling helpers for the tests.
#include "lc_test.h"

#include <mutex>
#include <stdlib.h>
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
    size_t n = 0;
    for (const std::string &text : texts())
        n += text.find(needle) != std::string::npos;
    return n;
}

void TraceCapture::clear()
{
    std::lock_guard<std::mutex> lock(capture_mutex);
    captured.clear();
}

bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool met;
    while (!(met = cond()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return met;
}

bool under_emulation()
{
    const char *env = getenv("LC_UNDER_EMULATION");
    return env != nullptr && std::string(env) == "1";
}

}  // namespace lc_test
