/*
 * block_queue.h - self-locking queue of data blocks.
 */
#ifndef LC_BLOCK_QUEUE_H
#define LC_BLOCK_QUEUE_H

#include "lc_defs.h"

#endif /* LC_BLOCK_QUEUE_H */
