/*
 * ithread.h - thread, mutex, semaphore, sleep and affinity wrappers.
 */
#ifndef LC_ITHREAD_H
#define LC_ITHREAD_H

#include "lc_defs.h"

#endif /* LC_ITHREAD_H */
