/*
 * delay_queue.h - delta-time delay queue of timed entries (C++ classes).
 */
#ifndef LC_DELAY_QUEUE_H
#define LC_DELAY_QUEUE_H

#include "lc_defs.h"

#endif /* LC_DELAY_QUEUE_H */
