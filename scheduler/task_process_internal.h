/*
 * task_process_internal.h - what the library's start and stop need to know
 * about the scheduler thread.  Not installed; nothing here is exported.
 */
#ifndef LC_TASK_PROCESS_INTERNAL_H
#define LC_TASK_PROCESS_INTERNAL_H

/* True on the scheduler thread, where the debug commands run: it must not
   wait for the start or the stop, which wait for it. */
bool lc_task_process_on_own_thread(void);

#endif /* LC_TASK_PROCESS_INTERNAL_H */
