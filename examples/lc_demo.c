/*
 * lc_demo - a small process that uses lib_common the way the device's
 * processes do, and shows what it does on standard error.
 *
 *   lc_demo [seconds] [--syslog]
 *
 * Traces go to standard error through output_hook; --syslog leaves them to
 * syslog instead.
 */
#include "lib_common.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static volatile sig_atomic_t stop_requested;

static void on_signal(int sig)
{
    (void)sig;
    stop_requested = 1;
}

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

/* Level gate: the same call site traced at three levels of "lib". */
static void show_levels(void)
{
    static const int32_t levels[] = {3, 6, 7};
    for (size_t i = 0; i < sizeof levels / sizeof levels[0]; i++) {
        dbgout_profile.lib_level = levels[i];
        fprintf(stderr, "-- lib_level=%d: an error, an info and a debug trace\n", (int)levels[i]);
        XEL_TRACE(lib, 3, "error trace\n");
        XEL_TRACE(lib, 6, "info trace\n");
        XEL_TRACE(lib, 7, "debug trace\n");
    }
    dbgout_profile.lib_level = 6;
}

/* Time stamp and hex dump. */
static void show_stamp_and_dump(void)
{
    static const unsigned char frame[] = {0x00, 0x00, 0x00, 0x01, 0x65, 0x88, 0x84};
    fprintf(stderr, "-- time stamp on, then a hex dump of an H.264 frame start\n");
    dbgout_profile.time_enable = 1;
    XEL_TRACE(lib, 6, "stamped trace\n");
    xel_traceout_raw(6, "frame", frame, (int32_t)sizeof frame);
    dbgout_profile.time_enable = 0;
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

int main(int argc, char **argv)
{
    int use_syslog = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--syslog") == 0)
            use_syslog = 1;
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    if (!use_syslog)
        dbgout_profile.output_hook = print_trace;

    show_levels();
    show_stamp_and_dump();
    show_ratelimit();
    fprintf(stderr, "-- done\n");
    return stop_requested ? 0 : 0;
}
