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
 * Tagged hand-overs (threadpool_tags.cpp): the scheduler hands its expired
 * timers over with the task's token as a tag, so that remove_task_wait can
 * take back the ones not yet started and wait for the runs under way.
 *
 * The hand-over comes in two steps.  lc_threadpool_announce makes the task
 * record and queues it, or, while the list is full, shows it among the
 * pool's tasks at once without waiting; lc_threadpool_deliver then waits for
 * room and queues it.  Together they are one threadpool_add_task, with its
 * traces under the name _threadpool_add_task.  Neither may be called with a
 * lock held that a task function might take.
 *
 * Only the scheduler thread hands over tagged tasks and only remove_task_wait
 * waits for them; the scheduler's stop waits for both before gpool goes.
 */

/* 0 when the task is queued; 1 when it waits for room as *arriving, which
   the caller passes to lc_threadpool_deliver; -1 when the pool refuses it
   (null pool or function, no memory, shutting down).  `tag` > 0. */
int lc_threadpool_announce(threadpool *pool, lc_task_fn function, void *arg, int32_t tag, threadpool_task **arriving);
/* Queues an announced task once there is room: 0, also when it was taken
   back meanwhile (then released unrun); -1 when the pool shut down
   meanwhile and released it unrun. */
int lc_threadpool_deliver(threadpool *pool, threadpool_task *task);

/* Takes back every task tagged `tag` (> 0) that has not started, pending or
   announced (none of them runs), then waits until no run tagged `tag` is
   under way.  Not from such a run itself (lc_threadpool_runs_tag). */
void lc_threadpool_cancel_tag(threadpool *pool, int32_t tag);

/* True on a pool worker while its run under way is tagged `tag`. */
bool lc_threadpool_runs_tag(int32_t tag);

#endif /* LC_THREADPOOL_INTERNAL_H */
