/*
 * ratelimit.cpp - lets at most `burst` messages through per window of
 * `interval` seconds and reports the refused count once the window is over.
 *
 * The fields are plain words shared by every caller of a limiter; they are
 * read and written with relaxed atomics so that concurrent callers do not
 * race, at the price of an occasional count lost under contention.
 */
#include "trace.h"

#include <string.h>
#include <sys/time.h>

template <typename T> static inline T ld(const T *p)
{
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}
template <typename T> static inline void st(T *p, T v)
{
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
}

/* The library's own limiter for traces; all zero (off) until trace_debug_init. */
static ratelimit_state trace_ratelimit_state;

extern "C" LC_API void ratelimit_state_init(ratelimit_state *rs, int32_t interval, int32_t burst)
{
    if (rs == nullptr)
        return;
    memset(rs, 0, sizeof *rs);
    rs->interval = interval;
    rs->burst = burst;
}

/* The record keeps the wall clock's seconds in a 32-bit word: the low 32
   bits of them, which wrap in 2038 (and again every 136 years).  Seconds
   are therefore only ever compared as the distance from the window's start
   in 32-bit wrap-around arithmetic, which stays right as long as a window
   lasts less than 68 years. */
static int32_t low_seconds(time_t sec)
{
    return static_cast<int32_t>(static_cast<uint32_t>(sec));
}

/* Seconds from `from` to `to`, both as kept in the record. */
static int64_t seconds_after(int32_t from, int32_t to)
{
    return static_cast<int32_t>(static_cast<uint32_t>(to) - static_cast<uint32_t>(from));
}

/* True when now is strictly later than the end of the window that starts
   at begin and lasts interval seconds (microseconds past 999999 carried
   once), seconds first. */
static bool window_over(const ratelimit_time &now, const ratelimit_time &begin, int32_t interval)
{
    int64_t end_sec = interval;
    int64_t end_usec = begin.tv_usec;
    /* Never so for a window this file started (the clock's microseconds
       stay below 1000000); a record the caller filled may hold more. */
    if (end_usec > 999999) {
        end_sec += 1;
        end_usec -= 1000000;
    }
    int64_t now_sec = seconds_after(begin.tv_sec, now.tv_sec);
    return now_sec > end_sec || (now_sec == end_sec && now.tv_usec > end_usec);
}

extern "C" LC_API int32_t ___ratelimit(ratelimit_state *rs, const char *name)
{
    if (rs == nullptr)
        return 1;
    int32_t interval = ld(&rs->interval);
    if (interval == 0)
        return 1;

    struct timeval tv;
    gettimeofday(&tv, nullptr);
    ratelimit_time now = {low_seconds(tv.tv_sec), static_cast<int32_t>(tv.tv_usec)};

    ratelimit_time begin = {ld(&rs->begin.tv_sec), ld(&rs->begin.tv_usec)};
    if (begin.tv_sec == 0) {
        begin = now;
        st(&rs->begin.tv_sec, now.tv_sec);
        st(&rs->begin.tv_usec, now.tv_usec);
    }

    if (window_over(now, begin, interval)) {
        /* Exchange so that each refused message is reported exactly once. */
        int32_t missed = __atomic_exchange_n(&rs->missed, 0, __ATOMIC_RELAXED);
        if (missed != 0)
            xel_traceout(6, "%s: %d callbacks suppressed\n", name ? name : "", (int)missed);
        st(&rs->begin.tv_sec, now.tv_sec);
        st(&rs->begin.tv_usec, now.tv_usec);
        st(&rs->printed, 0);
    }

    int32_t burst = ld(&rs->burst);
    int32_t printed = ld(&rs->printed);
    while (burst != 0 && burst > printed) {
        /* Fails only when another caller counted a message since the load
           (printed then holds its count): a race no test can time. */
        if (__atomic_compare_exchange_n(&rs->printed, &printed, printed + 1, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED))
            return 1;
    }
    __atomic_fetch_add(&rs->missed, 1, __ATOMIC_RELAXED);
    return 0;
}

extern "C" LC_API int32_t trace_ratelimit(void)
{
    return ___ratelimit(&trace_ratelimit_state, "trace_ratelimit");
}

/* Used by trace_debug_init: 10 messages per 5-second window. */
void lc_trace_ratelimit_setup(void)
{
    ratelimit_state_init(&trace_ratelimit_state, 5, 10);
}
