/*
 * threadpool.h - thread pool with a bounded task list.
 */
#ifndef LC_THREADPOOL_H
#define LC_THREADPOOL_H

#include "lc_defs.h"

#endif /* LC_THREADPOOL_H */
