/*
 * task_teardown.c - safe teardown of periodic tasks with remove_task_wait.
 *
 * A task's argument belongs to whoever added the task; the library never
 * frees it.  remove_task only unlinks the task: a run already going on a
 * pool worker goes on, so freeing the argument right after remove_task may
 * pull it from under that run.  remove_task_wait removes the task and then
 * waits until no run of it is under way: when it returns 0 the argument may
 * be freed at once.  Three cases:
 *
 *  1. a sampler every 10 ms, each run 4 ms of work on its state: removed
 *     with remove_task_wait, its state freed on the next line;
 *  2. a fixed-delay task whose run is known to be under way (it posts a
 *     semaphore as it starts, then works 50 ms): remove_task_wait returns
 *     only after that run has finished;
 *  3. a task that stops itself: from its own run remove_task_wait removes it
 *     but returns -1, since a run cannot wait for itself.  Its argument is
 *     not free then; it is freed after lib_common_exit, which waits for
 *     every run under way.
 *
 * What to notice:
 *  - What the runs share with main lives outside the freed memory
 *    (counters and flags here are static atomics), so that main may look at
 *    it after the free.  A fixed-period task's runs may overlap when one is
 *    late, so the sampler's state is atomic too.
 *  - The token word is zeroed by the call (0 means "no task"); the same call
 *    again is harmless.
 *  - A task may call remove_task_wait for another task; the only refusal is
 *    for its own runs (and on the debug pipe's thread): -1 always means
 *    "not free yet".
 *  - Built with AddressSanitizer (scripts/test.sh asan) a run that touched
 *    a freed state would stop the program with a report.
 */
#define _POSIX_C_SOURCE 200809L /* POSIX.1-2008: nanosleep, semaphores */

#include <lib_common/lib_common.h>

#include <semaphore.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static void sleep_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0)
        continue;
}

static const char *yes_no(int b)
{
    return b ? "yes" : "no";
}

/* The library's traces on standard error, not in the system log. */
static void trace_to_stderr(int32_t level, const char *text)
{
    fprintf(stderr, "<%d> %s", (int)level, text);
}

/* ---- 1. a periodic sampler */

struct sampler {
    atomic_uint samples; /* counted by every run, 4 times 1 ms apart */
};

static atomic_int sampler_runs;
static atomic_int sampler_busy; /* 1 while a run is under way */

static void sample(void *arg)
{
    struct sampler *s = arg;
    atomic_store(&sampler_busy, 1);
    for (int ms = 0; ms < 4; ms++) {
        atomic_fetch_add(&s->samples, 1);
        sleep_ms(1);
    }
    atomic_fetch_add(&sampler_runs, 1);
    atomic_store(&sampler_busy, 0);
}

static void periodic_sampler(void)
{
    printf("-- 1. a sampler every 10 ms, each run 4 ms of work\n");
    struct sampler *s = calloc(1, sizeof *s);
    if (s == NULL)
        exit(EXIT_FAILURE);
    int token = add_fixperiod_task(sample, s, 0, 10000);
    if (token < 0) /* nothing scheduled: the state is still the caller's alone */
        exit(EXIT_FAILURE);
    while (atomic_load(&sampler_runs) < 5)
        sleep_ms(5);
    int rc = remove_task_wait(&token);
    const int busy = atomic_load(&sampler_busy);
    free(s); /* right away: no run is left to touch it */
    printf("remove_task_wait: %d, token now %d, a run under way at the return: %s\n", rc, token, yes_no(busy));
    const int runs = atomic_load(&sampler_runs);
    sleep_ms(50);
    printf("runs after the removal: %s\n", atomic_load(&sampler_runs) == runs ? "none" : "some");
}

/* ---- 2. a run under way when the removal starts */

struct job {
    sem_t started; /* posted as a run starts */
    char result[64];
};

static atomic_int job_runs_started;
static atomic_int job_runs_finished;

static void slow_job(void *arg)
{
    struct job *j = arg;
    atomic_fetch_add(&job_runs_started, 1);
    sem_post(&j->started);
    sleep_ms(50);
    snprintf(j->result, sizeof j->result, "run %d done", atomic_load(&job_runs_started));
    atomic_fetch_add(&job_runs_finished, 1);
}

static void run_under_way(void)
{
    printf("-- 2. a fixed-delay task removed while its 50 ms run is under way\n");
    struct job *j = calloc(1, sizeof *j);
    if (j == NULL || sem_init(&j->started, 0, 0) != 0)
        exit(EXIT_FAILURE);
    int token = add_fixdelay_task(slow_job, j, 0, 10000);
    if (token < 0)
        exit(EXIT_FAILURE);
    while (sem_wait(&j->started) != 0)
        continue;
    const int started = atomic_load(&job_runs_started);
    int rc = remove_task_wait(&token);
    const int finished = atomic_load(&job_runs_finished);
    sem_destroy(&j->started);
    free(j);
    printf("remove_task_wait: %d; the run under way had finished by then: %s\n", rc, yes_no(finished == started));
    sleep_ms(50);
    printf("runs started after the removal: %s\n", atomic_load(&job_runs_started) == started ? "none" : "some");
}

/* ---- 3. a task that stops itself */

struct countdown {
    atomic_int token; /* written by main after the add, read by the runs */
    sem_t stopped;    /* posted by the run that removed the task */
};

static atomic_int countdown_runs;
static atomic_int countdown_result = 1; /* what remove_task_wait gave the run */

static void count_down(void *arg)
{
    struct countdown *c = arg;
    if (atomic_load(&c->token) == 0 || atomic_fetch_add(&countdown_runs, 1) + 1 != 3)
        return;
    /* The third run stops the task.  The call removes it, but cannot wait
       for this very run: -1, the argument is still in use. */
    int token = atomic_load(&c->token);
    atomic_store(&countdown_result, remove_task_wait(&token));
    sem_post(&c->stopped);
}

int main(void)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    dbgout_profile.output_hook = trace_to_stderr;
    if (lib_common_init() != 0)
        return EXIT_FAILURE;

    periodic_sampler();
    run_under_way();

    printf("-- 3. a task that stops itself in its third run\n");
    struct countdown *c = calloc(1, sizeof *c);
    if (c == NULL || sem_init(&c->stopped, 0, 0) != 0)
        return EXIT_FAILURE;
    int token = add_fixperiod_task(count_down, c, 0, 10000);
    if (token < 0)
        return EXIT_FAILURE;
    atomic_store(&c->token, token);
    while (sem_wait(&c->stopped) != 0)
        continue;
    printf("remove_task_wait from its own run: %d (removed, not waited for)\n", atomic_load(&countdown_result));

    /* Every run under way ends before lib_common_exit returns; only then
       is the countdown's argument free. */
    lib_common_exit();
    sem_destroy(&c->stopped);
    free(c);
    printf("its argument freed after lib_common_exit\n");
    return EXIT_SUCCESS;
}
