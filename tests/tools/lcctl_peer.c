/* lcctl_peer [NAME] - a process for the lcctl tests named NAME: serves its debug pipe and says so on standard error
 * as the demo does, traces there as "<level> text", ticks every 10 ms and ends at SIGTERM or SIGINT.  Rows: say=<text>
 * traces "said <text>"; exit_now=1 ends it at once; gap=<any> traces "gap <us>", the largest time between two ticks
 * since the last gap=. */
#include "lib_common.h"
#include "served_pipe.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

static pthread_mutex_t gap_lock = PTHREAD_MUTEX_INITIALIZER;
static long long last_start, largest_gap;  // in microseconds

static void print_trace(int32_t level, const char *text)
{
    fprintf(stderr, "<%d> %s", (int)level, text);
}

static void say(const char *value, void *data)
{
    (void)data;
    XEL_TRACE(module, 6, "said %s\n", value);
}

static void exit_now(const char *value, void *data)
{
    (void)value, (void)data;
    _exit(3);
}

static void gap(const char *value, void *data)
{
    (void)value, (void)data;
    pthread_mutex_lock(&gap_lock);
    const long long largest = largest_gap;
    largest_gap = 0;
    pthread_mutex_unlock(&gap_lock);
    XEL_TRACE(module, 6, "gap %lld\n", largest);
}

static void tick(void *arg)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const long long t = (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
    pthread_mutex_lock(&gap_lock);
    if (last_start != 0 && t - last_start > largest_gap)
        largest_gap = t - last_start;
    last_start = t;
    pthread_mutex_unlock(&gap_lock);
    if (++*(int *)arg % 10 == 0)
        XEL_TRACE(module, 6, "tick %d\n", *(int *)arg);
}

int main(int argc, char **argv)
{
    static const fifo_cmd rows[] = {
        {"say", NULL, say, NULL}, {"exit_now", NULL, exit_now, NULL}, {"gap", NULL, gap, NULL}};
    static int runs;
    char path[128];
    int sig;
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, NULL);
    prctl(PR_SET_NAME, argc > 1 ? argv[1] : "lcctl_peer", 0, 0, 0);
    dbgout_profile.output_hook = print_trace;
    setvbuf(stderr, NULL, _IOLBF, 0);
    if (lib_common_init() != 0)
        return 1;
    add_fifo_work(rows, 3);
    int task = add_fixperiod_task(tick, &runs, 0, 10000);
    lc_served_pipe(path, sizeof path);
    fprintf(stderr, "-- serving the debug pipe %s; pid %ld\n", path, (long)getpid());
    if (path[0] != '\0')
        sigwait(&stop, &sig);
    remove_task(&task);
    lib_common_exit();
    return path[0] == '\0';
}
