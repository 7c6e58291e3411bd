/*
 * threadpool_internal.h - what the rest of the library uses of the pool
 * beyond its exported functions.  Not installed; nothing here is exported.
 */
#ifndef LC_THREADPOOL_INTERNAL_H
#define LC_THREADPOOL_INTERNAL_H

#include "threadpool.h"

#include <stdint.h>

/* The debug commands' switches act on every pool and start at 0.  They
   are read and written atomically, so a command may change them while
   workers run. */

/* Print-task switch: while nonzero, workers trace the start and the end of
   every task they run. */
void lc_threadpool_print_task_set(int32_t on);
int32_t lc_threadpool_print_task_get(void);

/* Add-trace countdown: each of the next `count` submissions to any pool
   (rejected ones included) traces its function and argument. */
void lc_threadpool_add_trace_set(int32_t count);

/*
 * Tagged tasks: the scheduler hands its expired timers over with the task's
 * token as a tag, so that a caller can wait until no run of that task is
 * left in the pool.
 *
 * The hand-over comes in two steps.  lc_threadpool_announce makes the task
 * record and queues it, or, while the list is full, shows it among the
 * pool's tasks at once without waiting; lc_threadpool_deliver then waits for
 * room and queues it.  Together they are one threadpool_add_task, with its
 * traces under the name _threadpool_add_task.  Neither may be called with a
 * lock held that a task function might take.
 */

/* 0 when the task is queued; 1 when it waits for room as *arriving, which
   the caller passes to lc_threadpool_deliver; -1 when the pool refuses it
   (null pool or function, no memory, shutting down). */
int lc_threadpool_announce(threadpool *pool, lc_task_fn function, void *arg, int32_t tag, threadpool_task **arriving);
/* Queues an announced task once there is room (or sees it already run by
   a waiter, below): 0; -1 when the pool shut down meanwhile and released it
   unrun. */
int lc_threadpool_deliver(threadpool *pool, threadpool_task *task);

/* Waits until no task tagged `tag` runs in the pool and, with pending_too,
   none is announced or waiting in its list either (those would still run).
   A worker of the pool waiting here runs such a task itself rather than
   wait for another worker, so waits never pile up on a busy pool; the
   start and end traces of such a run carry `func` and `line`.  A pool that
   shuts down stops the wait once the runs under way have ended. */
void lc_threadpool_wait_tag(threadpool *pool, int32_t tag, bool pending_too, const char *func, int line);

/* True on a pool worker while a task tagged `tag` runs on it (also one
   whose function is waiting in lc_threadpool_wait_tag below it). */
bool lc_threadpool_runs_tag(int32_t tag);

#endif /* LC_THREADPOOL_INTERNAL_H */
