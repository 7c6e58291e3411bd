/*
 * scheduler_internal.h - the scheduler's shared state inside the library.
 * Not installed; nothing here is exported.
 */
#ifndef LC_SCHEDULER_INTERNAL_H
#define LC_SCHEDULER_INTERNAL_H

#include "delay_queue.h"
#include "timeval.h"

#include <pthread.h>

/* The longest duration; an entry queued with exactly this never expires. */
extern const DelayInterval DELAY_FOREVER;

/*
 * The library's one delay queue; null while the scheduler is not running.
 * Create, publish and drop it while holding task_queue_lock, and store the
 * pointer with __atomic_store_n: handleAlarm on another queue reads it
 * without the lock to tell that it is not the library's.  Late pool work
 * (existEntry_handle) finds nothing once it is null.
 */
extern DelayQueue *task_queue;

/* Guards task_queue.  Statically initialised and never destroyed, so the
   scheduler can be stopped and started again in one process. */
extern pthread_mutex_t task_queue_lock;

#endif /* LC_SCHEDULER_INTERNAL_H */
