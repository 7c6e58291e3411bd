/**
 * \file
 * \defgroup lib_common_trace Trace output and rate limiting
 * \ingroup lib_common_frame
 * trace.h - trace output with per-module levels, and message rate limiting.
 *
 * Levels are syslog priorities: 3 error, 4 warning, 5 notice, 6 info,
 * 7 debug.  A trace of level N for module M is made only when M's level in
 * dbgout_profile is at least N; the call site tests this itself, which the
 * XEL_TRACE macro does for you.  xel_traceout never filters.
 *
 * Tracing works at any time, also before lib_common_init and after
 * lib_common_exit, from any thread.  Nothing here may be called from a
 * signal handler: a trace formats with the C library and may call syslog.
 * @{
 */
#ifndef LC_TRACE_H
#define LC_TRACE_H

#include "lc_defs.h"

LC_BEGIN_DECLS

/** Receives a finished trace text instead of syslog.  The text lives on the
    tracing thread's stack and is valid only during the call.  The hook runs
    on whichever thread traces, several at once, also on the scheduler
    thread and the pool's workers: it must be thread-safe itself, must not
    wait for long, and must not call fifo_exit_fun. */
typedef void (*xel_output_hook)(int32_t level, const char *text);

/** Trace settings; writable by the process at any time. */
typedef struct dbgout_profile_t {
    int32_t lib_level;           /**< module "lib": this library ("[lib " texts) */
    int32_t para_level;          /**< module "para" */
    int32_t cc_level;            /**< module "cc"; also the library's "[cc " texts */
    int32_t visca_level;         /**< module "visca" */
    int32_t net_level;           /**< module "net" */
    int32_t module_level;        /**< module "module" */
    int32_t mpp_level;           /**< module "mpp" */
    int32_t spare_level;         /**< never read; keeps the fields below in place */
    int32_t time_enable;         /**< nonzero: texts start with "ss.mmm" */
    xel_output_hook output_hook; /**< null: syslog */
} dbgout_profile_t;

/** The trace settings, shared with the process (which must not define its
    own); all levels 6, no time stamp, syslog at load.  Any thread may read
    and write the fields at any time; the level commands write them on the
    scheduler thread.  Each field is one word read with a relaxed atomic
    load (XEL_LEVEL): write it with `__atomic_store_n(&field, value,
    __ATOMIC_RELAXED)` to stay free of data races, or plainly on a target
    where a word store is atomic anyway. */
extern LC_API dbgout_profile_t dbgout_profile;

/** Formats and emits one trace; always returns 0.  A null format emits
    nothing.  The text is cut at 1023 characters (time stamp included).
    While the lcctl tool is attached the text is also copied to it, without
    ever waiting for it.

    Thread safety: any thread at any time, task functions and command
    handlers included; no lock held, the text is built on the caller's
    stack.  Not from a signal handler. */
LC_API int32_t xel_traceout(int32_t level, const char *fmt, ...) LC_PRINTF(2, 3);

/** Traces `<title> [len:<length>],data:` and the first 32 bytes as
    `0x%02x,`.  A null title prints as empty; null data or a length below 1
    lists no bytes.

    Thread safety: as xel_traceout. */
LC_API void xel_traceout_raw(int32_t level, const char *title, const void *data, int32_t length);

/** Seconds and microseconds of the wall clock, each a 32-bit word whatever
    the platform.  tv_sec keeps the low 32 bits of the seconds, which turn
    negative in January 2038; the limiter compares them as a distance from
    the window's start, so it keeps working past then. */
typedef struct ratelimit_time {
    int32_t tv_sec;  /**< seconds since the epoch, low 32 bits */
    int32_t tv_usec; /**< microseconds, 0..999999 */
} ratelimit_time;

/** One limiter: at most `burst` messages per `interval` seconds.  The
    caller owns it (typically a static). */
typedef struct ratelimit_state {
    int32_t interval;     /**< window in seconds; 0 switches the limiter off */
    int32_t burst;        /**< messages allowed per window */
    int32_t printed;      /**< allowed so far in this window */
    int32_t missed;       /**< refused since the last report */
    ratelimit_time begin; /**< window start; tv_sec 0: none started yet */
} ratelimit_state;

/** Clears the limiter (counters and window start) and sets its interval and
    burst; a null rs is ignored.

    Thread safety: any thread, but not while another thread uses the same
    limiter (the record is cleared with plain stores). */
LC_API void ratelimit_state_init(ratelimit_state *rs, int32_t interval, int32_t burst);
/** 1: the message may go out; 0: refused and counted (1 for a null rs).
    The first call after a window has ended reports the refused count at
    level 6, ungated, as `<name>: <n> callbacks suppressed`.

    Thread safety: any thread; the fields are read and written with relaxed
    atomics, so callers sharing one limiter race on nothing, though under
    contention at a window's end one message more may go out.  The report
    is traced on the calling thread. */
LC_API int32_t ___ratelimit(ratelimit_state *rs, const char *name);
/** The process-wide trace limiter (5 s, burst 10 once trace_debug_init ran;
    before that every call returns 1).

    Thread safety: as ___ratelimit; lib_common_init resets the limiter. */
LC_API int32_t trace_ratelimit(void);

LC_END_DECLS

/**
 * Level of module `mod` (lib, para, cc, visca, net, module, mpp), read as one
 * relaxed atomic load: a plain load on every target, and no data race with
 * the debug commands that change it on the scheduler thread.  Any thread.
 */
#define XEL_LEVEL(mod) __atomic_load_n(&dbgout_profile.mod##_level, __ATOMIC_RELAXED)

/**
 * Emits a trace of module `mod` at level `lvl` when the module's level is
 * at least `lvl`.  For example
 *
 *     XEL_TRACE(lib, 6, "text %d\n", x);
 *
 * emits `[lib <function> +<line>]text ...` (`<function>` the calling
 * function, `<line>` the line of the call) when the level of module "lib"
 * is at least 6.  A disabled trace costs one load and one compare: the
 * arguments are not even evaluated.  The format is a string literal; it
 * may come without arguments.  Any thread, as xel_traceout.
 *
 * Standard C and C++ before C++20 want at least one argument in a macro's
 * "...", so the format travels in it: the tag goes before the format, and
 * one more argument, 0, after the caller's, which `%.0d` prints as nothing.
 */
#define XEL_TRACE(mod, lvl, ...)                                                                                   \
    do {                                                                                                           \
        if (XEL_LEVEL(mod) >= (lvl))                                                                               \
            xel_traceout((lvl), "[" #mod " %s +%-4d]" LC_TRACE_FORMAT_(__VA_ARGS__, 0) "%.0d", __func__, __LINE__, \
                         LC_TRACE_ARGS_(__VA_ARGS__, 0));                                                          \
    } while (0)
/** \cond LC_INTERNAL
    Parts of XEL_TRACE, no interface of their own (left out of the
    reference): the format alone, and the arguments after it (the closing 0
    included). */
#define LC_TRACE_FORMAT_(fmt, ...) fmt
#define LC_TRACE_ARGS_(fmt, ...) __VA_ARGS__
/** \endcond */

/** @} */

#endif /* LC_TRACE_H */
