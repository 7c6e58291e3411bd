/*
 * ring_buf.h - ring of fixed-size elements.
 */
#ifndef LC_RING_BUF_H
#define LC_RING_BUF_H

#include "lc_defs.h"

#endif /* LC_RING_BUF_H */
