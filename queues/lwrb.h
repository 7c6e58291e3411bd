/*
 * lwrb.h - lock-free single-producer single-consumer byte ring.
 */
#ifndef LC_LWRB_H
#define LC_LWRB_H

#include "lc_defs.h"

#endif /* LC_LWRB_H */
