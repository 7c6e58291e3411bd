/* board_service - a device process as the board test runs it, under systemd (Restart=on-failure) and as a second
   copy from the shell.  It traces to syslog "up" once at level 6 of "module" and a tick every second at level 7, and
   serves its debug pipe until SIGTERM or SIGINT.  The row "board=crash" faults the scheduler thread: the crash
   report is written (with its copy in /var/lib/board_service) and the fault ends the process for systemd. */
#define _POSIX_C_SOURCE 200809L /* sigaction, sigtimedwait */

#include <lib_common/lib_common.h>

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

static void tick(void *runs)
{
    XEL_TRACE(module, 7, "tick %d\n", (int)++*(int32_t *)runs);
}

static void crash(const char *value, void *data)
{
    (void)value;
    (void)data;
    XEL_TRACE(module, 6, "crashing on request\n");
    lib_core_test();
}

/* Runs once (SA_RESETHAND): the report, then the return re-runs the faulting store, which now ends the process. */
static void on_fault(int sig)
{
    (void)sig;
    printBackTrace();
}

int main(void)
{
    static const fifo_cmd board_cmds[] = {{"board", "crash", crash, NULL}};
    static int32_t runs;
    struct sigaction sa = {.sa_handler = on_fault, .sa_flags = (int)SA_RESETHAND};
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, NULL);
    sigaction(SIGSEGV, &sa, NULL);

    common_profile.core_copy_enable = 1;
    common_profile.core_copy_dir = "/var/lib/board_service";
    if (lib_common_init() != 0) {
        fprintf(stderr, "lib_common_init failed\n");
        return 1;
    }
    add_fifo_work(board_cmds, 1);
    int token = add_fixperiod_task(tick, &runs, 1, 0);
    XEL_TRACE(module, 6, "up, pid %ld\n", (long)getpid());
    for (int sig = 0; sig != SIGTERM && sig != SIGINT;) {
        struct timespec step = {0, 200 * 1000000L};
        sig = sigtimedwait(&stop, NULL, &step);
        lib_common_main();
    }
    remove_task(&token);
    lib_common_exit();
    return 0;
}
