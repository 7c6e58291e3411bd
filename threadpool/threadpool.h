/**
 * \file
 * \defgroup lib_common_threadpool Thread pool
 * threadpool.h - thread pool with a bounded task list.
 *
 * A pool runs submitted tasks (a function and one untyped argument) on its
 * worker threads ("threadpool_worker"), in the order of submission.  It
 * starts `min` workers; threadpool_adjust, called periodically, reaps ended
 * workers, adds up to 3 per call (never beyond `limit`) while tasks pile
 * up, and asks up to 3 idle workers to leave while most are idle.  At most
 * `queue_max` tasks wait in the list; a submitter that finds it full waits.
 * threadpool_add_task_sync returns once a worker has run the task.
 *
 * Choices for unusual input:
 * - threadpool_create: `min` above `max` is lowered to `max`; a negative
 *   `min`, a `max` below 1 or a `queue_max` below 1 gives null.  Only the
 *   workers that really started are counted.
 * - A null pool gives -1 (threadpool_adjust does nothing); a null function
 *   gives -1; threadpool_adjust_limit refuses a limit below 0 or above
 *   `max`; threadpool_task_free(NULL) gives -1.
 * - A synchronous submission whose event counters cannot be made fails
 *   with -1, nothing queued.
 * - threadpool_destroy runs none of the pending tasks (a synchronous
 *   submitter of one returns 0), wakes submitters waiting on a full list
 *   (they return -1) and releases nothing until they have left.  Do not
 *   submit to a pool once its destruction has begun, and do not destroy a
 *   pool from one of its own tasks.
 *
 * Threads: a pool guards its list with task_lock and its counts with
 * count_lock (always in that order) and never calls a task with a lock
 * held.  The library's own pool gpool is created by lib_common_init,
 * adjusted by lib_common_main and destroyed by lib_common_exit; programs
 * only submit to it.
 * @{
 */
#ifndef LC_THREADPOOL_H
#define LC_THREADPOOL_H

#include "lc_defs.h"

#include <pthread.h>

LC_BEGIN_DECLS

/** One submitted task; allocated by the submitting call, released by
    threadpool_task_free once it has run or been discarded.  The pool's own
    record: programs never hold one. */
typedef struct threadpool_task {
    lc_task_fn function;          /**< what the worker calls */
    void *arg;                    /**< its argument, the submitter's */
    int32_t sync;                 /**< nonzero: the submitter waits for completion */
    int32_t done_fd;              /**< event counter: the task has run (sync only) */
    int32_t ack_fd;               /**< event counter: the submitter has seen done_fd */
    struct threadpool_task *next; /**< list link, towards the newest */
    struct threadpool_task *prev; /**< list link, towards the oldest */
} threadpool_task;

/** A pool.  Made by threadpool_create and released by threadpool_destroy.
    The fields are the pool's bookkeeping, for reading only: count_lock
    guards live, busy, exit_count, min and limit, task_lock the list and
    shutdown; threads changes only in the adjusting step and the
    destruction. */
typedef struct threadpool {
    int32_t shutdown;           /**< 1 once threadpool_destroy has begun */
    pthread_t *threads;         /**< `max` slots; 0 is a free slot */
    int32_t min;                /**< started at creation; idle floor */
    int32_t max;                /**< slots in threads; ceiling of limit */
    int32_t limit;              /**< ceiling of live when adding workers */
    int32_t exit_count;         /**< idle workers still asked to leave */
    int32_t live;               /**< workers started and not leaving */
    pthread_mutex_t count_lock; /**< guards live, busy, exit_count */
    int32_t busy;               /**< workers running a task */
    pthread_cond_t not_full;    /**< a task was taken off the list */
    pthread_cond_t task_ready;  /**< a task was added, or leave */
    pthread_mutex_t task_lock;  /**< guards the list (before count_lock) */
    threadpool_task *task_list; /**< sentinel of the pending list */
    int32_t queue_max;          /**< most pending tasks */
} threadpool;

/** The library's own pool; null before lib_common_init and after
    lib_common_exit.  Shared with the process (which must not define its
    own).  Set and cleared only by those two calls (published with release
    ordering): submit to it only while the library is sure to run. */
extern LC_API threadpool *gpool;

/** A pool that starts `min` workers and may grow to `max`, with at most
    `queue_max` pending tasks; null when refused (see above) or when the
    pool cannot be made.

    Thread safety: any thread. */
LC_API threadpool *threadpool_create(int min, int max, int queue_max);
/** 0 once queued (may wait while the list is full), else -1.

    Thread safety: any thread until threadpool_destroy begins; task
    functions included, but the wait for room then holds a worker (a pool
    whose every worker waits so never frees room).  From a command handler,
    a full list holds up the scheduler too. */
LC_API int threadpool_add_task(threadpool *pool, lc_task_fn function, void *arg);
/** As threadpool_add_task, but returns once a worker has run the task.

    Thread safety: as threadpool_add_task, and not from a task function of
    the same pool: with every worker waiting so, nobody would run the task.
    From a command handler it holds up the scheduler until the task has
    run. */
LC_API int threadpool_add_task_sync(threadpool *pool, lc_task_fn function, void *arg);
/** The body of both: `sync` nonzero waits as threadpool_add_task_sync.

    Thread safety: as the form chosen by `sync`. */
LC_API int _threadpool_add_task(threadpool *pool, int sync, lc_task_fn function, void *arg);
/** One adjusting step: reap, grow, shrink.

    Thread safety: one thread at a time per pool, not during
    threadpool_destroy (it joins ended workers); any other call may run
    meanwhile.  For gpool, lib_common_main makes this step. */
LC_API void threadpool_adjust(threadpool *pool);
/** Sets the ceiling for growth (lowering min with it); -1 when out of
    range.  The next threadpool_adjust acts on it.

    Thread safety: any thread (count_lock). */
LC_API int threadpool_adjust_limit(threadpool *pool, int limit);
/** Tasks waiting in the list.

    Thread safety: any thread (task_lock); the answer is momentary. */
LC_API int threadpool_task_size_lock(threadpool *pool);
/** Releases a task, completing a synchronous hand-over first.

    Thread safety: the worker that ran the task (or the pool discarding
    it) calls it; a program holds no task record to release. */
LC_API int threadpool_task_free(threadpool_task *task);
/** Ends every worker and releases the pool; -1 for null.  Tasks still
    pending do not run; running ones are waited for.

    Thread safety: one thread, once, and not a task function of the same
    pool; nothing may submit to the pool or adjust it once it has begun.
    Never on gpool: lib_common_exit destroys it. */
LC_API int threadpool_destroy(threadpool *pool);

/** Registers the debug commands gpool=statistics (traces min, max, live,
    busy and the pending count of gpool), gpool=print_task (toggles the
    workers' start and end traces) and gpool=add_task (traces the next 10
    submissions).  They do nothing while gpool is null.  lib_common_init
    calls it.

    Thread safety: any thread, as add_fifo_work; the commands run on the
    scheduler thread. */
LC_API void threadpool_debug_init(void);

LC_END_DECLS

/** @} */

#endif /* LC_THREADPOOL_H */
