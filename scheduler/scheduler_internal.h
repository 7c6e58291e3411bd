/*
 * scheduler_internal.h - the scheduler's shared state inside the library.
 * Not installed; nothing here is exported.
 */
#ifndef LC_SCHEDULER_INTERNAL_H
#define LC_SCHEDULER_INTERNAL_H

#include "delay_queue.h"
#include "lc_lock_internal.h"
#include "timeval.h"

/* The longest duration; an entry queued with exactly this never expires. */
extern const DelayInterval DELAY_FOREVER;

/*
 * The library's one delay queue; null while the scheduler is not running.
 * Create, publish and drop it while holding task_queue_lock.  Late pool
 * work (existEntry_handle) finds nothing once it is null.
 */
extern DelayQueue *task_queue;

/* Guards task_queue.  Statically initialised and never destroyed, so the
   scheduler can be stopped and started again in one process.  Never held
   while work is handed to the pool or a task function runs, so it never
   nests with a pool's locks. */
extern lc_mutex task_queue_lock;

/* Takes the first entry of `queue` if it is due, as handleAlarm does before
   the hand-over: a one-shot entry is unlinked (the caller then owns it), a
   fixed-period one re-armed one interval from now, the others parked.  The
   entry, or null when none is due.  Caller holds the queue's lock. */
DelayQueueEntry *lc_delay_queue_take_due(DelayQueue *queue);

/* What the pool runs for an expired entry of `kind`: a one-shot task's own
   function with its argument, a kept task's runner existEntry_handle with
   the token as its argument. */
struct lc_pool_work {
    lc_task_fn function;
    void *arg;
};
lc_pool_work lc_alarm_work(int32_t kind, int32_t token, lc_task_fn task, void *data);

#endif /* LC_SCHEDULER_INTERNAL_H */
