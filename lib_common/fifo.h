/**
 * \file
 * \defgroup lib_common_fifo Debug command pipe and level commands
 * \ingroup lib_common_frame
 * fifo.h - debug command FIFO and the level commands.
 *
 * Each process listens on a named pipe, "/dev/libfifo" for the first
 * process on the device and `/dev/libfifo_<tid>` for later ones, for text
 * commands "key=value" separated by semicolons, e.g.
 *
 *     echo "lib_level=debug;dbg_time=1" > /dev/libfifo
 *
 * Commands come from tables of fifo_cmd rows registered with add_fifo_work.
 * Blanks, tabs, line feeds, vertical tabs, form feeds, carriage returns and
 * double quotes at both ends of key and value are ignored; the rest must
 * equal a row's key and value exactly (a row with a null value matches any
 * value).  The first matching row's handler runs; a command that matches no
 * row makes fifo_handle trace a hint once per read.  "help=1" lists every
 * registered row through the trace output.
 *
 * Calling order: fifo_init_fun, then add_fifo_work any number of times,
 * fifo_handle whenever the descriptor is readable, fifo_exit_fun last.
 *
 * Choices for unusual input:
 *  - A key or value that is longer than 99 characters once trimmed refuses
 *    the whole command (it fails and the hint is traced); it is never cut,
 *    so a truncated text can never run a command nobody wrote.
 *  - A NUL byte inside a write ends the command it is in; the commands after
 *    the next semicolon still run.
 *  - One read takes 256 bytes.  A command cut by that boundary (the read is
 *    full, its last byte is no ';' or line feed, and more waits in the
 *    pipe) fails in both reads: neither half runs, and each read traces
 *    the hint.  A command that ends exactly at the boundary runs.
 *  - A piece that starts with a NUL byte and "lcctl " (no command row can
 *    match such a piece) is a request of the lcctl tool: it names a FIFO
 *    of the asker's, into which the traces the rest of the request makes
 *    are copied, followed by a status line.  A FIFO that is not a private
 *    reply FIFO of this user or root is refused with a level-3 trace, and
 *    the rest of that request does not run.  Nothing changes for a write
 *    without such a piece.
 *  - add_fifo_work drops the registration (and traces it at level 3) when
 *    its record cannot be allocated, when the table is null or has no rows,
 *    or when fifo_init_fun has never run.
 *  - Rows with a null key or a null handler never match.
 *  - The registration list has its own lock: tables may be registered on
 *    any thread while commands are handled on another.  Handlers run
 *    without that lock, so a handler may register tables itself.  The trace
 *    output_hook must not call fifo_exit_fun while "help" is listing.
 *  - Two processes starting at once may both find "/dev/libfifo" free; the
 *    one that loses the race to create it serves `/dev/libfifo_<tid>`
 *    instead of nothing.
 *  - Once a process has found its node already present it never serves a
 *    pipe again and never creates a node; a node is only ever removed by
 *    the process that made it.
 *
 * Threads: lib_common_init opens the pipe, the scheduler thread reads it and
 * runs every handler, lib_common_exit closes it.  A handler holds up the
 * timed tasks and the pipe for as long as it runs: keep it short, and never
 * let it wait for a task function or a timer.
 * @{
 */
#ifndef LC_FIFO_H
#define LC_FIFO_H

#include "lc_defs.h"

LC_BEGIN_DECLS

/** Called with the trimmed value text (valid only during the call) and the
    row's data, on the scheduler thread (see the group's notes on threads):
    what it shares with other threads it guards itself. */
typedef void (*fifo_cmd_handler)(const char *value, void *data);

/** One command row.  Tables of rows belong to whoever registers them and
    must stay valid until fifo_exit_fun (lib_common_exit). */
typedef struct fifo_cmd {
    const char *key;          /**< matched against the text before '=' */
    const char *value;        /**< matched against the text after it; null: any */
    fifo_cmd_handler handler; /**< run when the row matches */
    void *data;               /**< handed to the handler unchanged */
} fifo_cmd;

/** Place in the circular registration list. */
typedef struct fifo_link {
    struct fifo_link *prev; /**< the registration before (the head's: the last) */
    struct fifo_link *next; /**< the registration after (the last's: the head) */
} fifo_link;

/** One registration: a table's address and row count. */
typedef struct fifo_work {
    const fifo_cmd *cmds; /**< the registered table, not copied */
    int32_t count;        /**< rows in it */
    fifo_link link;       /**< place in the list */
} fifo_work;

/** Head of the registration list (only its link is used).  The list belongs
    to the library and is guarded by its lock, which a program cannot
    take: read it only while no thread registers tables and the library is
    not being started or stopped, and never change it. */
extern LC_API fifo_work fifo_queue;

/** Creates and opens this process's pipe and empties the registration list.
    Returns the descriptor, or -1 when no pipe is served.

    Thread safety: the library's own start (task_process_init, from
    lib_common_init) calls it before the scheduler thread starts; a process
    that uses lib_common_init never calls it.  Not while fifo_handle or
    fifo_exit_fun runs. */
LC_API int32_t fifo_init_fun(void);

/** Reads at most 256 bytes from fd once and runs the commands they hold.

    Thread safety: the scheduler thread calls it whenever the pipe is
    readable, and the handlers run on the thread that calls it.  One thread
    at a time (it remembers a command cut by the last read), never beside
    fifo_init_fun or fifo_exit_fun. */
LC_API void fifo_handle(int32_t fd);

/** Frees every registration, closes fd (when not negative) and removes the
    pipe node if this process made it.

    Thread safety: the library's own stop (task_process_exit, from
    lib_common_exit) calls it after the scheduler thread has ended; a process
    that uses lib_common_exit never calls it.  Not while fifo_handle runs,
    nor from an output hook while "help" lists the rows. */
LC_API void fifo_exit_fun(int32_t fd);

/** Appends a table of `count` rows to the registration list.  Register
    after lib_common_init: its start empties the list, so rows registered
    before it (or while the library is stopped) are dropped then.

    Thread safety: any thread, task functions and command handlers
    included, also while commands are handled (the list has its own lock,
    which handlers do not hold). */
LC_API void add_fifo_work(const fifo_cmd *cmds, int32_t count);

/** The "help" handler: traces every registered row as key=value (key=NULL
    for a value-less row) at level 6 of module "cc".  Arguments are ignored.

    Thread safety: any thread (normally the scheduler thread, as the row
    "help"); it holds the registration list's lock while it traces, so an
    output hook may register tables then but must not call fifo_exit_fun. */
LC_API void fifo_print_debug(const char *value, void *data);

/** Sets the trace rate limit to 10 messages per 5 seconds and registers the
    26 level and time-stamp commands: `<module>_level=err|info|debug` for
    lib, para, cc, visca, module, net, mpp and all (levels 3, 6, 7), then
    dbg_time=1 and dbg_time=0.  lib_common_init calls it; a second call
    registers the rows once more (the first registration keeps matching).

    Thread safety: any thread, as add_fifo_work, but not while other
    threads call trace_ratelimit (it resets that limiter with plain
    stores). */
LC_API void trace_debug_init(void);

LC_END_DECLS

/** @} */

#endif /* LC_FIFO_H */
