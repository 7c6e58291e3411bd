/*
 * lc_demo - a small process that uses lib_common the way the device's
 * processes do, and shows what it does on standard error.
 *
 *   lc_demo [seconds] [--syslog]
 *
 * It starts the library, runs a fixed-period, a fixed-delay and a
 * persistent task, serves the debug pipe and prints the lcctl commands that
 * talk to it, and stops cleanly after the given number of seconds (default
 * 5) or at SIGINT, SIGTERM or SIGHUP.  Traces go to standard error through
 * output_hook; --syslog leaves them to syslog.
 */
#include <lib_common/lib_common.h>
#include "served_pipe.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { DEFAULT_SECONDS = 5, STEP_MS = 100, PERSISTENT_EVERY_MS = 1500 };

/* Prints each trace text on standard error, level first. */
static void print_trace(int32_t level, const char *text)
{
    fprintf(stderr, "<%d> %s", (int)level, text);
    size_t len = strlen(text);
    if (len == 0 || text[len - 1] != '\n')
        fputc('\n', stderr);
}

static void sleep_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

static long now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* The library's threads read the settings while this thread changes them:
   one atomic store each, as the library's own commands do. */
static void set_setting(int32_t *field, int32_t value)
{
    __atomic_store_n(field, value, __ATOMIC_RELAXED);
}

/* Level gate: the same call site traced at three levels of "lib". */
static void show_levels(void)
{
    static const int32_t levels[] = {3, 6, 7};
    for (size_t i = 0; i < sizeof levels / sizeof levels[0]; i++) {
        set_setting(&dbgout_profile.lib_level, levels[i]);
        fprintf(stderr, "-- lib_level=%d: an error, an info and a debug trace\n", (int)levels[i]);
        XEL_TRACE(lib, 3, "error trace\n");
        XEL_TRACE(lib, 6, "info trace\n");
        XEL_TRACE(lib, 7, "debug trace\n");
    }
    set_setting(&dbgout_profile.lib_level, 6);
}

/* Time stamp and hex dump. */
static void show_stamp_and_dump(void)
{
    static const unsigned char frame[] = {0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84};
    fprintf(stderr, "-- time stamp on, then a hex dump of an H.264 frame start\n");
    set_setting(&dbgout_profile.time_enable, 1);
    XEL_TRACE(lib, 6, "stamped trace\n");
    xel_traceout_raw(6, "frame", frame, (int32_t)sizeof frame);
    set_setting(&dbgout_profile.time_enable, 0);
}

/* A trace longer than one syslog record.  Syslog receives it in pieces of
   at most 160 characters: the 321 characters of the first give two pieces
   and a lone newline, which is not sent; the time stamp's six characters
   make the same text's third piece seven characters long. */
static void show_long_trace(void)
{
    char body[300] = "long trace of 321 characters:";
    size_t len = strlen(body);
    for (int i = 1; i <= 66; i++)
        len += (size_t)snprintf(body + len, sizeof body - len, " %03d", i);
    fprintf(stderr, "-- a trace of 321 characters, then the same at level 3 with the time stamp\n");
    XEL_TRACE(lib, 6, "%s\n", body);
    set_setting(&dbgout_profile.time_enable, 1);
    XEL_TRACE(lib, 3, "%s\n", body);
    set_setting(&dbgout_profile.time_enable, 0);
}

/* Rate limiter: 30 messages offered in a burst, then one after the window. */
static void show_ratelimit(void)
{
    ratelimit_state rs;
    int passed = 0;
    ratelimit_state_init(&rs, 1, 5);
    fprintf(stderr, "-- rate limiter: 5 messages per second, 30 offered\n");
    for (int i = 0; i < 30; i++) {
        if (___ratelimit(&rs, "demo_flood")) {
            passed++;
            XEL_TRACE(lib, 6, "flood message %d\n", i);
        }
    }
    fprintf(stderr, "-- %d passed; the next message after the window reports the rest\n", passed);
    sleep_ms(1100);
    if (___ratelimit(&rs, "demo_flood"))
        XEL_TRACE(lib, 6, "first message of the new window\n");
}

/* The three tasks; each runs on a pool worker. */
static void every_second(void *arg)
{
    static int runs;
    XEL_TRACE(module, 6, "fixed-period task (%s) run %d\n", (const char *)arg, ++runs);
}

static void after_each_run(void *arg)
{
    static int runs;
    XEL_TRACE(module, 6, "fixed-delay task (%s) run %d starts\n", (const char *)arg, ++runs);
    sleep_ms(300);
}

static void on_request(void *arg)
{
    static int runs;
    XEL_TRACE(module, 6, "persistent task (%s) run %d\n", (const char *)arg, ++runs);
}

static void usage(const char *self)
{
    fprintf(stderr, "usage: %s [seconds] [--syslog]\n", self);
}

int main(int argc, char **argv)
{
    long seconds = DEFAULT_SECONDS;
    int use_syslog = 0;
    for (int i = 1; i < argc; i++) {
        char *end;
        if (strcmp(argv[i], "--syslog") == 0) {
            use_syslog = 1;
            continue;
        }
        errno = 0;
        seconds = strtol(argv[i], &end, 10);
        if (errno != 0 || end == argv[i] || *end != '\0' || seconds < 0 || seconds > 86400) {
            usage(argv[0]);
            return 2;
        }
    }

    /* Signals are taken by this thread alone: the library's threads inherit
       the blocked mask, so a signal never interrupts the scheduler's wait.
       A closed terminal stops the demo as cleanly as Ctrl-C; a closed
       output pipe (lc_demo | head) does not kill it before it has removed
       its pipe node. */
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop_signals, NULL);
    signal(SIGPIPE, SIG_IGN);
    if (!use_syslog)
        dbgout_profile.output_hook = print_trace;

    const long deadline = now_ms() + seconds * 1000;
    common_profile.pool_adjust_enable = 1;
    fprintf(stderr, "-- starting lib_common\n");
    if (lib_common_init() != 0) {
        fprintf(stderr, "lib_common_init failed\n");
        return 1;
    }
    char pipe_path[128];
    lc_served_pipe(pipe_path, sizeof pipe_path);
    if (pipe_path[0] != '\0') {
        const long pid = (long)getpid();
        /* scripts/demo.sh names the lcctl it built, which need not be on PATH. */
        const char *lcctl = getenv("LCCTL") != NULL ? getenv("LCCTL") : "lcctl";
        fprintf(stderr, "-- serving the debug pipe %s; talk to it from another shell:\n", pipe_path);
        fprintf(stderr, "--   %s list\n", lcctl);
        fprintf(stderr, "--   %s -p %ld help\n", lcctl, pid);
        fprintf(stderr, "--   %s -p %ld lib_level=debug dbg_time=1\n", lcctl, pid);
        fprintf(stderr, "--   %s -p %ld gpool=statistics\n", lcctl, pid);
        fprintf(stderr, "--   %s -p %ld get\n", lcctl, pid);
        fprintf(stderr, "--   %s -p %ld follow --time          (Ctrl-C stops)\n", lcctl, pid);
        fprintf(stderr, "--   without lcctl: timeout 2 sh -c 'echo help=1 > %s'   (answers go to the trace output)\n",
                pipe_path);
    } else {
        fprintf(stderr, "-- no debug pipe served (no write access to /dev?)\n");
    }

    int period = add_fixperiod_task(every_second, "1 s", 1, 0);
    int delay = add_fixdelay_task(after_each_run, "300 ms run, 700 ms pause", 0, 700000);
    int persistent = add_nodestroy_task(on_request, "re-armed by main", 0, 500000);
    fprintf(stderr, "-- tasks: fixed-period token %d, fixed-delay token %d, persistent token %d\n", period, delay,
            persistent);
    if (period < 0 || delay < 0 || persistent < 0) {
        fprintf(stderr, "-- a task could not be added\n");
        lib_common_exit();
        return EXIT_FAILURE;
    }

    show_levels();
    show_stamp_and_dump();
    show_long_trace();
    show_ratelimit();

    fprintf(stderr, "-- running for %ld s in all (Ctrl-C stops earlier)\n", seconds);
    long next_request = now_ms() + PERSISTENT_EVERY_MS;
    int stopped_by = 0;
    while (now_ms() < deadline && stopped_by == 0) {
        struct timespec step = {0, STEP_MS * 1000000L};
        int sig = sigtimedwait(&stop_signals, NULL, &step);
        if (sig > 0)
            stopped_by = sig;
        lib_common_main();
        if (now_ms() >= next_request) {
            update_task(persistent, 0, 0);
            next_request += PERSISTENT_EVERY_MS;
        }
    }

    if (stopped_by != 0)
        fprintf(stderr, "-- stopping (%s)\n",
                stopped_by == SIGINT    ? "SIGINT"
                : stopped_by == SIGTERM ? "SIGTERM"
                                        : "SIGHUP");
    else
        fprintf(stderr, "-- stopping\n");
    remove_task(&period);
    lib_common_exit();
    if (pipe_path[0] != '\0')
        fprintf(stderr, "-- %s %s\n", pipe_path, access(pipe_path, F_OK) != 0 ? "removed" : "still present");
    fprintf(stderr, "-- done\n");
    return 0;
}
