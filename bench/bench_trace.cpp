// bench_trace.cpp - the cost of a trace call site: gate off, and formatted
// into output_hook; beside an empty loop, vsnprintf, and spdlog.
#include "lib_common.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <stdarg.h>
#include <stdio.h>

#ifdef LC_HAVE_SPDLOG
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <mutex>
#endif

static void discard_hook(int32_t, const char *text)
{
    benchmark::DoNotOptimize(text);
}

// Baseline: the loop alone.
static void BM_EmptyLoop(benchmark::State &state)
{
    int i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(++i);
}
BENCHMARK(BM_EmptyLoop);

// A trace whose level gate is closed: one load and one compare.  A counting
// hook and the time stamp are on, so any call that got through to the
// output (and read the clock, and formatted) would be counted.
static long hook_calls = 0;

static void counting_hook(int32_t, const char *)
{
    hook_calls++;
}

static void BM_TraceGateOff(benchmark::State &state)
{
    dbgout_profile.lib_level = 6;
    dbgout_profile.time_enable = 1;
    dbgout_profile.output_hook = counting_hook;
    hook_calls = 0;
    int i = 0;
    for (auto _ : state) {
        ++i;
        XEL_TRACE(lib, 7, "frame %d of %s lost\n", i, "stream");
        benchmark::DoNotOptimize(i);
    }
    dbgout_profile.output_hook = nullptr;
    dbgout_profile.time_enable = 0;
    state.counters["emitted"] = static_cast<double>(hook_calls);
}
BENCHMARK(BM_TraceGateOff);

#ifdef LC_HAVE_SPDLOG
// A sink that formats each message and hands the text to a callback, the
// counterpart of output_hook.
class CallbackSink : public spdlog::sinks::base_sink<std::mutex> {
protected:
    void sink_it_(const spdlog::details::log_msg &msg) override
    {
        spdlog::memory_buf_t text;
        formatter_->format(msg, text);
        discard_hook(msg.level, text.data());
    }
    void flush_() override {}
};

static std::shared_ptr<spdlog::logger> callback_logger()
{
    auto sink = std::make_shared<CallbackSink>();
    auto logger = std::make_shared<spdlog::logger>("bench", sink);
    logger->set_pattern("%v");
    return logger;
}

// spdlog at a disabled level.
static void BM_SpdlogDisabled(benchmark::State &state)
{
    auto logger = callback_logger();
    logger->set_level(spdlog::level::info);
    int i = 0;
    for (auto _ : state) {
        ++i;
        logger->debug("frame {} of {} lost", i, "stream");
        benchmark::DoNotOptimize(i);
    }
}
BENCHMARK(BM_SpdlogDisabled);

#endif

// Baseline: format the same text into a stack buffer.
static int __attribute__((noinline)) format_on_stack(const char *fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    benchmark::DoNotOptimize(buf);
    return n;
}

enum { kCalls = 64 }; // calls per timed batch

// A trace formatted and handed to output_hook, beside vsnprintf of the same
// text into a stack buffer and spdlog formatting into a callback sink, in
// interleaved batches.
static void BM_TraceFormatted(benchmark::State &state)
{
    dbgout_profile.lib_level = 6;
    dbgout_profile.output_hook = discard_hook;
    int i = 0;
    lc_bench::Paired paired(state, kCalls);
    paired.add("library", [&] {
        for (int k = 0; k < kCalls; k++) {
            ++i;
            XEL_TRACE(lib, 6, "frame %d of %s lost\n", i, "stream");
        }
    });
    paired.add("vsnprintf", [&] {
        for (int k = 0; k < kCalls; k++)
            benchmark::DoNotOptimize(format_on_stack("[lib %s +%-4d]frame %d of %s lost\n",
                                                     __func__, __LINE__, ++i, "stream"));
    });
#ifdef LC_HAVE_SPDLOG
    auto logger = callback_logger();
    logger->set_level(spdlog::level::info);
    paired.add("spdlog", [&] {
        for (int k = 0; k < kCalls; k++)
            logger->info("[lib {} +{:<4}]frame {} of {} lost", __func__, __LINE__, ++i, "stream");
    });
#endif
    paired.run();
    dbgout_profile.output_hook = nullptr;
}
BENCHMARK(BM_TraceFormatted);

BENCHMARK_MAIN();
