/*
 * ipc.h - System V message queue, semaphore and shared memory wrappers.
 */
#ifndef LC_IPC_H
#define LC_IPC_H

#include "lc_defs.h"

#endif /* LC_IPC_H */
