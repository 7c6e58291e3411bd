/*
 * frame_queue.h - double-buffered audio/video frame queue.
 */
#ifndef LC_FRAME_QUEUE_H
#define LC_FRAME_QUEUE_H

#include "lc_defs.h"

#endif /* LC_FRAME_QUEUE_H */
