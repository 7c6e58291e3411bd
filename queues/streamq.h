/*
 * streamq.h - ring of in-place stream entries.
 */
#ifndef LC_STREAMQ_H
#define LC_STREAMQ_H

#include "lc_defs.h"

#endif /* LC_STREAMQ_H */
