/*
 * fifo.h - debug command FIFO and the level commands.
 */
#ifndef LC_FIFO_H
#define LC_FIFO_H

#include "lc_defs.h"

#endif /* LC_FIFO_H */
