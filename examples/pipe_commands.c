/*
 * pipe_commands.c - a process's own commands on its debug pipe, driven
 * through lcctl.
 *
 * A pretend camera process registers a table of two command rows with
 * add_fifo_work and serves its pipe until SIGTERM or SIGINT (or 60 s):
 *
 *     gain=<0..100>   sets the gain: any value reaches the handler, which
 *                     checks it
 *     snapshot=now    takes a snapshot: only this exact value matches
 *
 * Run it, then from another shell (it prints its pid):
 *
 *     lcctl -p <pid> gain=75
 *     lcctl -p <pid> snapshot=now gain=20       (two commands, one write)
 *     lcctl -p <pid> help                       (every row of the process)
 *
 * Its ctest sends the commands of examples/pipe_commands.lcctl through the
 * built lcctl (examples/run_with_lcctl.sh) and checks the answers.
 *
 * What to notice:
 *  - A row is a key, a value (null: any value), a handler and a data
 *    pointer handed to the handler.  The table stays the process's: it is
 *    static, so it outlives lib_common_exit, after which the library no
 *    longer reads it.
 *  - Register after lib_common_init: the start empties the command list.
 *  - The handlers run on the library's scheduler thread, one at a time,
 *    with key and value trimmed.  Keep them short: the timed tasks wait
 *    while one runs.  Here only they touch the camera record while the
 *    library runs; main reads it after lib_common_exit, which has joined
 *    that thread, so no lock is needed.  A thread reading it meanwhile
 *    would need one.
 *  - A handler answers by tracing: the traces made on the scheduler thread
 *    while it handles lcctl's request go back to lcctl (and to the trace
 *    output as usual, here standard error).
 *  - A command that matches no row ("snapshot=later", "gain" without '=')
 *    fails: lcctl prints the library's hint and exits with 1.
 *  - The process serves "/dev/libfifo", or "/dev/libfifo_<tid>" when
 *    another process has that one; lcctl -p <pid> finds it either way.
 *  - Signals are blocked before lib_common_init, so that the library's
 *    threads inherit the mask, and taken here with sigtimedwait.
 */
#define _POSIX_C_SOURCE 200809L /* POSIX.1-2008: sigtimedwait, readlink */

#include <lib_common/lib_common.h>

#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { GAIN_MAX = 100, SERVE_SECONDS = 60 };

/* What the commands change: touched by the handlers while the library
   runs, read by main after lib_common_exit. */
struct camera {
    int gain;
    int snapshots;
    int refused;
};

/* gain=<0..100>: the value is any text; the handler checks it. */
static void on_gain(const char *value, void *data)
{
    struct camera *cam = data;
    char *end;
    long gain = strtol(value, &end, 10);
    if (end == value || *end != '\0' || gain < 0 || gain > GAIN_MAX) {
        cam->refused++;
        XEL_TRACE(module, 3, "gain \"%s\" refused: 0..%d\n", value, GAIN_MAX);
        return;
    }
    XEL_TRACE(module, 6, "gain %d -> %ld\n", cam->gain, gain);
    cam->gain = (int)gain;
}

/* snapshot=now: the row's value is "now", so nothing else reaches it. */
static void on_snapshot(const char *value, void *data)
{
    (void)value;
    struct camera *cam = data;
    cam->snapshots++;
    XEL_TRACE(module, 6, "snapshot %d taken at gain %d\n", cam->snapshots, cam->gain);
}

static struct camera camera = {50, 0, 0};

static const fifo_cmd camera_rows[] = {
    {"gain", NULL, on_gain, &camera},
    {"snapshot", "now", on_snapshot, &camera},
};

/* The traces on standard error, so that standard output holds only what
   main prints. */
static void trace_to_stderr(int32_t level, const char *text)
{
    fprintf(stderr, "<%d> %s", (int)level, text);
}

/* The pipe node this process holds open, or an empty text. */
static void served_pipe(char *path, size_t size)
{
    path[0] = '\0';
    DIR *fds = opendir("/proc/self/fd");
    if (fds == NULL)
        return;
    struct dirent *fd;
    while ((fd = readdir(fds)) != NULL && path[0] == '\0') {
        char link[64 + NAME_MAX], target[PATH_MAX];
        snprintf(link, sizeof link, "/proc/self/fd/%s", fd->d_name);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (strncmp(target, "/dev/libfifo", 12) == 0 && strlen(target) < size)
            strcpy(path, target);
    }
    closedir(fds);
}

int main(void)
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, NULL);
    dbgout_profile.output_hook = trace_to_stderr;

    if (lib_common_init() != 0)
        return EXIT_FAILURE;
    add_fifo_work(camera_rows, (int32_t)(sizeof camera_rows / sizeof camera_rows[0]));

    char pipe_path[PATH_MAX];
    served_pipe(pipe_path, sizeof pipe_path);
    if (pipe_path[0] == '\0') {
        printf("no debug pipe served (is /dev writable?)\n");
        lib_common_exit();
        return EXIT_FAILURE;
    }
    printf("serving %s as pid %ld: lcctl -p %ld gain=75\n", pipe_path, (long)getpid(), (long)getpid());
    fflush(stdout);

    /* The main loop: a signal ends it, and so does the time limit. */
    int sig = 0;
    for (int step = 0; step < SERVE_SECONDS * 5 && sig <= 0; step++) {
        struct timespec tick = {0, 200000000L};
        sig = sigtimedwait(&stop, NULL, &tick);
        lib_common_main();
    }
    lib_common_exit();

    printf("stopped by %s: gain %d, %d snapshot(s), %d value(s) refused\n",
           sig == SIGTERM  ? "SIGTERM"
           : sig == SIGINT ? "SIGINT"
                           : "the time limit",
           camera.gain, camera.snapshots, camera.refused);
    return EXIT_SUCCESS;
}
