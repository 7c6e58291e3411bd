/*
 * timeval.h - time values on the monotonic clock (C++ only).
 */
#ifndef LC_TIMEVAL_H
#define LC_TIMEVAL_H

#include "lc_defs.h"

#endif /* LC_TIMEVAL_H */
