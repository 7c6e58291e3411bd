/*
 * slot_queue.h - queue of fixed 512-byte slots in a caller record.
 */
#ifndef LC_SLOT_QUEUE_H
#define LC_SLOT_QUEUE_H

#include "lc_defs.h"

#endif /* LC_SLOT_QUEUE_H */
