/*
 * board_service - a device process as the board test runs it: under
 * systemd (Restart=on-failure), and a second copy from the shell.
 *
 *   board_service
 *
 * It starts the library with its traces going to syslog, traces "up" once
 * at level 6 of "module" and a tick every second at level 7 (so lcctl
 * follow shows ticks once module_level=debug), and serves its debug pipe
 * until SIGTERM or SIGINT.  Its command row "board=crash" makes the
 * scheduler thread fault through lib_core_test; the crash handler writes
 * the crash report with printBackTrace (and its copy into
 * /var/lib/board_service) and lets the fault end the process, so that its
 * init restarts it.
 */
#define _POSIX_C_SOURCE 200809L /* sigaction, sigtimedwait */

#include <lib_common/lib_common.h>

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static void tick(void *arg)
{
    static int32_t runs;
    (void)arg;
    ++runs;
    XEL_TRACE(module, 7, "tick %d\n", (int)runs);
}

static void crash(const char *value, void *data)
{
    (void)value;
    (void)data;
    XEL_TRACE(module, 6, "crashing on request\n");
    lib_core_test();
}

static const fifo_cmd board_cmds[] = {{"board", "crash", crash, NULL}};

/* Runs once (SA_RESETHAND): the report, then the return re-runs the
   faulting store, which now ends the process with SIGSEGV. */
static void on_fault(int sig)
{
    (void)sig;
    printBackTrace();
}

int main(void)
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, NULL);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_fault;
    sa.sa_flags = (int)SA_RESETHAND;
    sigaction(SIGSEGV, &sa, NULL);

    common_profile.core_copy_enable = 1;
    common_profile.core_copy_dir = "/var/lib/board_service";
    if (lib_common_init() != 0) {
        fprintf(stderr, "lib_common_init failed\n");
        return 1;
    }
    add_fifo_work(board_cmds, (int32_t)(sizeof board_cmds / sizeof board_cmds[0]));
    int token = add_fixperiod_task(tick, NULL, 1, 0);
    XEL_TRACE(module, 6, "up, pid %ld\n", (long)getpid());

    int sig = 0;
    while (sig != SIGTERM && sig != SIGINT) {
        struct timespec step = {0, 200 * 1000000L};
        sig = sigtimedwait(&stop, NULL, &step);
        lib_common_main();
    }
    remove_task(&token);
    lib_common_exit();
    return 0;
}
