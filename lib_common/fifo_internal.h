/*
 * fifo_internal.h - the debug FIFO's own command table, for the start-up
 * code that registers it, and the matching of commands for lcctl's
 * channel.  Not installed; nothing here is exported.
 */
#ifndef LC_FIFO_INTERNAL_H
#define LC_FIFO_INTERNAL_H

#include "fifo.h"

/* The "help" row: key "help", any value, lists every registered row.
   Register it first with add_fifo_work(lc_fifo_help_cmds, LC_FIFO_HELP_ROWS)
   so that the listing starts with it. */
enum { LC_FIFO_HELP_ROWS = 1 };
extern const fifo_cmd lc_fifo_help_cmds[LC_FIFO_HELP_ROWS];

/* A command piece that lcctl's channel hands over: longer ones never
   match (a key and a value of 99 characters, '=' and blanks around). */
enum { LC_FIFO_PIECE_MAX = 256 };

/* Runs one "key=value" piece (changed in place) as if it came through the
   pipe: trimmed, matched, the first matching row's handler called.  False
   when it matches no row.  On the thread that serves the pipe. */
bool lc_fifo_run(char *piece);

/* Whether a piece would match a row, without running it. */
bool lc_fifo_matches(const char *piece);

/* Calls fn with the key and value (null: any) of every row that can run,
   in the order "help" lists them, holding the table list's lock: fn must
   not register tables. */
void lc_fifo_each_row(void (*fn)(const char *key, const char *value, void *ctx), void *ctx);

/* The path of the pipe this process serves; null when it serves none. */
const char *lc_fifo_served_path(void);

#endif /* LC_FIFO_INTERNAL_H */
