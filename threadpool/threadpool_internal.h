/*
 * threadpool_internal.h - switches of the pool's debug commands.
 * Not installed; nothing here is exported.
 *
 * Both switches act on every pool and start at 0.  They are read and
 * written atomically, so a command may change them while workers run.
 */
#ifndef LC_THREADPOOL_INTERNAL_H
#define LC_THREADPOOL_INTERNAL_H

#include <stdint.h>

/* Print-task switch: while nonzero, workers trace the start and the end of
   every task they run. */
void threadpool_print_task_set(int32_t on);
int32_t threadpool_print_task_get(void);

/* Add-trace countdown: each of the next `count` submissions to any pool
   (rejected ones included) traces its function and argument. */
void threadpool_add_trace_set(int32_t count);
int32_t threadpool_add_trace_get(void);

#endif /* LC_THREADPOOL_INTERNAL_H */
