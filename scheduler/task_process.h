/**
 * \file
 * \defgroup lib_common_tasks Timed tasks
 * \ingroup lib_common_scheduler
 * task_process.h - timed tasks kept by the scheduler thread.
 *
 * One scheduler thread per process ("task_process") keeps the library's
 * delay queue and hands every task that falls due to the library's pool
 * gpool, so task functions always run on a pool worker, never on the
 * scheduler thread.  The same thread serves the debug command pipe and runs
 * its commands.  It sleeps until the next task is due, at most 400 ms at a
 * time; callers that change the queue wake it at once.
 *
 * Four kinds of task, each identified by a token (a positive number; 0 is
 * no task); for the periodic kinds the delay is both the first delay and
 * the interval:
 *
 *     add_task            once, after the delay; the token then dies
 *     add_fixperiod_task  every interval; runs may overlap when slow
 *     add_fixdelay_task   one interval after each run has ended; never overlaps
 *                         itself, unless update_task re-times it during a run:
 *                         it then also runs after the new delay, and is
 *                         re-armed once more when the current run ends
 *     add_nodestroy_task  once per arming: after the delay and after every
 *                         update_task; the token lives until remove_task
 *
 * update_task re-times a task (new first delay and new interval);
 * remove_task removes it and zeroes the caller's token.  A run already
 * started completes; a one-shot task already handed to the pool still runs.
 * remove_task_wait takes back what the pool has not started and waits for
 * the runs under way, so that the task's argument may be freed when it
 * returns.
 *
 * lib_common_init starts the scheduler and lib_common_exit stops it; tasks
 * still queued at the stop never run.
 *
 * Choices for unusual input:
 *  - Before task_process_init, after task_process_exit, or when the thread
 *    could not be started, every task function returns -1 and changes
 *    nothing (remove_task leaves the caller's token as it is).
 *  - A null task function, a null token pointer, or a delay that is not
 *    normalised (seconds below 0 or above 2147483647, microseconds outside
 *    0..999999) gives -1 and schedules nothing; no token is used up.
 *  - update_task with a token no queued task carries (0, a fired one-shot,
 *    a removed task) gives -1; remove_task with such a token gives 0 and
 *    zeroes the token.
 *  - The scheduler can be started again after task_process_exit in the same
 *    process.  task_process_init while it runs changes nothing and returns
 *    EBUSY, and ENOMEM when the queue cannot be allocated;
 *    task_process_exit while it is stopped does nothing and returns 0.
 *    task_process_exit called on the scheduler thread itself (from a debug
 *    command) would wait for itself: it does nothing and returns -1.  Called
 *    from a task function it waits for ever if the pool's list is full.
 *  - The stop wakes the scheduler thread instead of waiting for its next
 *    time-out, so it takes no longer than the command or hand-over under
 *    way.
 *  - A run whose hand-over the pool refuses (no gpool, or no memory for
 *    the pool's task record) is lost, without a report: a one-shot task
 *    then never runs and its token dies; a fixed-period task runs at its
 *    next expiry; a fixed-delay or persistent one stays parked until
 *    update_task.
 *  - Each pass of the scheduler fires at most one due timer, whatever woke
 *    it, so a flood of commands that keeps the pipe readable cannot hold
 *    timers back.
 *  - A descriptor numbered FD_SETSIZE or above cannot be watched: without
 *    the wake-up counter changes are seen within 400 ms; without the pipe no
 *    command arrives.
 *  - If the wait fails the thread ends: tasks are still accepted but no
 *    longer fire until the scheduler is stopped and started again.  A
 *    caught signal delivered to the scheduler thread fails the wait, so a
 *    process that handles signals blocks them before lib_common_init (the
 *    library's threads inherit the mask) and waits for them on its own
 *    thread.
 *
 * Threads: the task functions take the scheduler's lock only for a moment,
 * never while a task runs or a command is handled, so any thread may call
 * them: application threads, task functions (a task may re-time or remove
 * itself) and command handlers.  The task's argument stays the caller's;
 * free it once remove_task_wait has returned 0 (or a one-shot task has run).
 * @{
 */
#ifndef LC_TASK_PROCESS_H
#define LC_TASK_PROCESS_H

#include "lc_defs.h"

LC_BEGIN_DECLS

/** Creates the delay queue, the wake-up counter and the debug pipe, and
    starts the scheduler thread: 0, or the thread-creation error number (then
    nothing is left running); EBUSY while it runs, ENOMEM (see above).

    Thread safety: lib_common_init calls it; a process that uses
    lib_common_init never does.  Serialised with task_process_exit by a lock
    of its own.  EBUSY from a command handler. */
LC_API int task_process_init(void);

/** Stops and joins the scheduler thread, closes and removes the debug pipe
    and destroys every queued task without running it.  0 (-1 on the
    scheduler thread, see above).

    Thread safety: lib_common_exit calls it; a process that uses
    lib_common_exit never does.  Serialised with task_process_init; it waits
    for the remove_task_wait calls under way.  -1 from a command handler;
    from a task function it may wait for ever (see above). */
LC_API int task_process_exit(void);

/** The scheduler thread's start function; the argument is ignored.

    Thread safety: only as the start function of the thread that
    task_process_init makes; never call it. */
LC_API void *task_process_main(void *arg);

/** A one-shot task: runs fn(arg) once on a pool worker, after the delay
    (`seconds` and `useconds`); the token dies when the task is handed
    over.  The new task's
    token, or -1 (see above).

    Thread safety: any thread, task functions and command handlers included;
    -1 while the library is stopped or stopping. */
LC_API int add_task(lc_task_fn fn, void *arg, long seconds, long useconds);
/** A fixed-period task: runs fn(arg) every interval (the delay), the next
    run armed before this one starts, so slow runs overlap.  The token, or
    -1 (see above).

    Thread safety: as add_task. */
LC_API int add_fixperiod_task(lc_task_fn fn, void *arg, long seconds, long useconds);
/** A fixed-delay task: runs fn(arg) after the delay, then one interval
    after each run has ended.  The token, or -1 (see above).

    Thread safety: as add_task. */
LC_API int add_fixdelay_task(lc_task_fn fn, void *arg, long seconds, long useconds);
/** A persistent task: runs fn(arg) once after the delay and once after
    every update_task; the token lives until remove_task.  The token, or -1
    (see above).

    Thread safety: as add_task. */
LC_API int add_nodestroy_task(lc_task_fn fn, void *arg, long seconds, long useconds);

/** Re-times a task: the next run after the delay (`seconds` and
    `useconds`) from now, and that as the new interval: 0, or -1 when no
    queued task has the token.

    Thread safety: any thread, task functions (the task's own included) and
    command handlers included. */
LC_API int update_task(int token, long seconds, long useconds);

/** Removes the task and sets *token to 0: 0 (also for an unknown token).
    A run under way is not waited for: see remove_task_wait.

    Thread safety: any thread, task functions (the task's own included) and
    command handlers included.  The token word is the caller's: two threads
    must not remove through the same word at once. */
LC_API int remove_task(int *token);

/**
 * Does what remove_task does, takes back the task's runs that the pool has
 * not started (a one-shot task already handed to the pool included: it then
 * never runs), and waits until the runs already started on a pool worker
 * have returned.  On 0 the task's function is not running and never runs
 * again, so its argument may be freed.
 *
 * Returns what remove_task returns (-1 for a null pointer, before
 * lib_common_init and after lib_common_exit, the token then unchanged; 0
 * for a token of 0, and for a token no task carries and no run under way
 * has: then without waiting), except that
 * from the task's own function, or from a debug command handler, it removes
 * the task as remove_task does but returns -1 without waiting: a run cannot
 * wait for itself, and the scheduler thread hands the runs over.  -1 always
 * means the argument is not yet free.
 *
 * Thread safety: any thread; it waits only outside the task's own runs and
 * off the scheduler thread (above).  A task function may wait for another
 * task; two tasks must not wait for each other.  lib_common_exit waits for
 * the calls under way.
 */
LC_API int remove_task_wait(int *token);

LC_END_DECLS

/** @} */

#endif /* LC_TASK_PROCESS_H */
