// bench_trace.cpp - the cost of a trace call site: gate off, and formatted
// into output_hook; beside an empty loop, vsnprintf, and spdlog; and both
// again while an lcctl follower is attached and reads every copy.
#include "lib_common.h"

#include "bench_support.h"
#include "reply_protocol_internal.h"

#include <benchmark/benchmark.h>

#include <poll.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <thread>

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

// The closed gate's loop; with the time stamp on when `stamp`.
static void gate_off_loop(benchmark::State &state, bool stamp)
{
    dbgout_profile.lib_level = 6;
    dbgout_profile.time_enable = stamp ? 1 : 0;
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

static void BM_TraceGateOff(benchmark::State &state)
{
    gate_off_loop(state, true);
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

enum { kCalls = 64 };  // calls per timed batch

// Batches of the library's trace and of vsnprintf of the same text into a
// stack buffer, side by side.
static void add_trace_and_vsnprintf(lc_bench::Paired &paired, int &i)
{
    paired.add("library", [&] {
        for (int k = 0; k < kCalls; k++) {
            ++i;
            XEL_TRACE(lib, 6, "frame %d of %s lost\n", i, "stream");
        }
    });
    paired.add("vsnprintf", [&] {
        for (int k = 0; k < kCalls; k++)
            benchmark::DoNotOptimize(
                format_on_stack("[lib %s +%-4d]frame %d of %s lost\n", __func__, __LINE__, ++i, "stream"));
    });
}

// A trace formatted and handed to output_hook, beside vsnprintf of the same
// text into a stack buffer and spdlog formatting into a callback sink, in
// interleaved batches.
static void BM_TraceFormatted(benchmark::State &state)
{
    dbgout_profile.lib_level = 6;
    dbgout_profile.output_hook = discard_hook;
    int i = 0;
    lc_bench::Paired paired(state, kCalls);
    add_trace_and_vsnprintf(paired, i);
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

// The library started, with a follower attached as `lcctl follow` attaches
// one: a connection to its control socket, drained by a thread of its own.
// ok() is false when the library serves no control socket here.
class Followed {
public:
    Followed()
    {
        if (lib_common_init() != 0)
            return;
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr;
        const std::string name = LC_CTL_NAME_PREFIX + std::to_string(getpid());
        const socklen_t size = lc_ctl_address(&addr, name.data(), name.size());
        const char request[] = {LC_REQ_FOLLOW, '\0'};
        if (fd_ < 0 || connect(fd_, reinterpret_cast<struct sockaddr *>(&addr), size) != 0 ||
            send(fd_, request, sizeof request, MSG_NOSIGNAL) != (ssize_t)sizeof request)
            return;
        // Attached once the status record has come.
        char buf[512];
        attached_ = recv(fd_, buf, sizeof buf, 0) > 0 && buf[0] == LC_REC_STATUS;
        if (attached_)
            reader_ = std::thread([this] { drain(); });
    }
    ~Followed()
    {
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
        lib_common_exit();
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return attached_; }
    long long bytes() const { return bytes_; }

private:
    void drain()
    {
        char buf[65536];
        while (!stop_) {
            struct pollfd p = {fd_, POLLIN, 0};
            poll(&p, 1, 10);
            ssize_t n;
            while ((n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0)
                bytes_ += n;
        }
    }

    int fd_ = -1;
    bool attached_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<long long> bytes_{0};
    std::thread reader_;
};

// The closed gate with a follower attached: still one load and one compare.
static void BM_TraceGateOffFollowed(benchmark::State &state)
{
    Followed followed;
    if (!followed.ok()) {
        state.SkipWithError("no follower attached (no control socket?)");
        return;
    }
    gate_off_loop(state, false);
}
BENCHMARK(BM_TraceGateOffFollowed);

// An emitted trace while a follower is attached: formatted, handed to
// output_hook and copied into the follower's connection; beside vsnprintf.
static void BM_TraceFollowed(benchmark::State &state)
{
    Followed followed;
    if (!followed.ok()) {
        state.SkipWithError("no follower attached (no control socket?)");
        return;
    }
    dbgout_profile.lib_level = 6;
    dbgout_profile.output_hook = discard_hook;
    int i = 0;
    lc_bench::Paired paired(state, kCalls);
    add_trace_and_vsnprintf(paired, i);
    paired.run();
    dbgout_profile.output_hook = nullptr;
    state.counters["copied_MB"] = static_cast<double>(followed.bytes()) / 1e6;
}
BENCHMARK(BM_TraceFollowed);

BENCHMARK_MAIN();
