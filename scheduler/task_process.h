/*
 * task_process.h - timed tasks kept by the scheduler thread.
 */
#ifndef LC_TASK_PROCESS_H
#define LC_TASK_PROCESS_H

#include "lc_defs.h"

#endif /* LC_TASK_PROCESS_H */
