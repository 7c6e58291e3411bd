/*
 * fifo_internal.h - the debug FIFO's own command table, for the start-up
 * code that registers it.  Not installed; nothing here is exported.
 */
#ifndef LC_FIFO_INTERNAL_H
#define LC_FIFO_INTERNAL_H

#include "fifo.h"

/* The "help" row: key "help", any value, lists every registered row.
   Register it first with add_fifo_work(lc_fifo_help_cmds, LC_FIFO_HELP_ROWS)
   so that the listing starts with it. */
enum { LC_FIFO_HELP_ROWS = 1 };
extern const fifo_cmd lc_fifo_help_cmds[LC_FIFO_HELP_ROWS];

#endif /* LC_FIFO_INTERNAL_H */
