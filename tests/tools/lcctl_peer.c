/*
 * lcctl_peer - a process for the lcctl tests: serves its debug pipe with
 * three rows of its own, runs a task on a pool worker every 100 ms, and
 * stops cleanly at SIGTERM or SIGINT.
 *
 *   lcctl_peer [NAME]     (the process names itself NAME, default lcctl_peer)
 *
 * Prints "serving <pipe> pid <pid>" on standard output once it serves, and
 * every trace on standard error as "<level> text".  Rows: say=<text> traces
 * "said <text>"; stall=<ms> keeps the pipe's thread busy that long;
 * exit_now=1 ends the process at once, without stopping the library;
 * gap=<any> traces "gap <us>", the largest time between two starts of a
 * 10 ms task since the last gap=, and starts counting anew.
 */
#include "lib_common.h"
#include "served_pipe.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

static void print_trace(int32_t level, const char *text)
{
    fprintf(stderr, "<%d> %s", (int)level, text);
}

static void say(const char *value, void *data)
{
    (void)data;
    XEL_TRACE(module, 6, "said %s\n", value);
}

static void stall(const char *value, void *data)
{
    (void)data;
    long ms = atol(value);
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

static void exit_now(const char *value, void *data)
{
    (void)value;
    (void)data;
    _exit(3);
}

static long long now_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

/* The 10 ms task's starts: the last one and the largest gap. */
static pthread_mutex_t gap_lock = PTHREAD_MUTEX_INITIALIZER;
static long long last_start, largest_gap;

static void period(void *arg)
{
    (void)arg;
    const long long t = now_us();
    pthread_mutex_lock(&gap_lock);
    if (last_start != 0 && t - last_start > largest_gap)
        largest_gap = t - last_start;
    last_start = t;
    pthread_mutex_unlock(&gap_lock);
}

static void gap(const char *value, void *data)
{
    (void)value;
    (void)data;
    pthread_mutex_lock(&gap_lock);
    const long long largest = largest_gap;
    largest_gap = 0;
    pthread_mutex_unlock(&gap_lock);
    XEL_TRACE(module, 6, "gap %lld\n", largest);
}

static const fifo_cmd rows[] = {
    {"say", NULL, say, NULL},
    {"stall", NULL, stall, NULL},
    {"exit_now", NULL, exit_now, NULL},
    {"gap", NULL, gap, NULL},
};

static void tick(void *arg)
{
    int *runs = arg;
    XEL_TRACE(module, 6, "tick %d on a pool worker\n", ++*runs);
}

int main(int argc, char **argv)
{
    prctl(PR_SET_NAME, argc > 1 ? argv[1] : "lcctl_peer", 0, 0, 0);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, NULL);
    dbgout_profile.output_hook = print_trace;
    setvbuf(stderr, NULL, _IOLBF, 0);
    if (lib_common_init() != 0)
        return 1;
    add_fifo_work(rows, (int32_t)(sizeof rows / sizeof rows[0]));
    static int runs;
    int token = add_fixperiod_task(tick, &runs, 0, 100000);
    int period_token = add_fixperiod_task(period, NULL, 0, 10000);
    char path[128];
    lc_served_pipe(path, sizeof path);
    if (path[0] == '\0') {
        printf("no pipe\n");
        lib_common_exit();
        return 1;
    }
    printf("serving %s pid %ld\n", path, (long)getpid());
    fflush(stdout);
    int sig;
    sigwait(&stop, &sig);
    remove_task(&token);
    remove_task(&period_token);
    lib_common_exit();
    printf("done\n");
    return 0;
}
