/*
 * lib_common.h - the one public header of lib_common.
 *
 * Include this and nothing else.  It declares every exported function and
 * record: plain functions with C linkage, and (for C++ only) the scheduler's
 * time values and delay queue classes.
 *
 * A process calls lib_common_init() once at start, lib_common_main() from
 * its own main loop, and lib_common_exit() at the end.  Everything else is
 * called directly.
 *
 * Names.  A process may have functions, classes, methods, vtables and type
 * information of its own under the library's names (another library's
 * DelayQueue, its own trim or loop): the library's own calls never reach
 * them, while the process's calls reach its own definitions.  It must not
 * define the exported data: dbgout_profile, common_profile, gpool,
 * fifo_queue, the DELAY_ constants, THE_END_OF_TIME and
 * DelayQueueEntry::tokenCounter are each one object that the process and
 * the library share, and a definition of the process's own would take the
 * library's place.
 *
 * time_t.  On a 32-bit target a process may be compiled with or without
 * _TIME_BITS=64; the declarations pick the library's matching symbols.
 * Every exported symbol carries the version of the release that added it
 * (LIB_COMMON_1.0, LIB_COMMON_1.1, ...); lc_version() names the running one.
 *
 * Every exported function's comment ends with a line "Thread safety: ..."
 * saying which threads may call it (application threads, task functions on
 * the pool's workers, debug command handlers on the scheduler thread) and
 * what may run at the same time.  No function of the library may be called
 * from a signal handler unless its line says so.  For the C++ classes the
 * line stands in the class's comment and holds for all its members.
 * scripts/docs.sh makes the reference (HTML and man pages) from these
 * comments; its front page is lib_common/lib_common.md.
 */
#ifndef LIB_COMMON_H
#define LIB_COMMON_H

/** \defgroup lib_common_frame Library frame and diagnostics
    Start-up and shut-down of the library's services, trace output with
    per-module levels, the message rate limiter, the debug command pipe and
    its commands, the lib_ helpers and the crash report. */
/** \defgroup lib_common_scheduler Timed task scheduler
    Time values, the delta-time delay queue, and the scheduler thread with
    the task functions (add_task and the others). */
/** \defgroup lib_common_queues Queues and ring buffers
    Caller-owned queues for frames, blocks, slots and stream entries, and two
    ring buffers. */
/** \defgroup lib_common_platform Platform helpers
    Thin wrappers over threads, files and System V IPC. */
/** \defgroup lib_common_text Text, configuration and control
    String buffer, configuration store, URL query parameters and the
    table-driven state machine. */

#include "lc_defs.h" /* brings <features.h>, which settles the macros below */

/*
 * The headers use POSIX types (pthread_rwlock_t, struct timespec).  GNU
 * dialects and C++ see them by default; strict ISO C (-std=c11 and the like)
 * sees them only when the program asks for POSIX before its first #include.
 * A header must not define that for its includer, so it stops here instead.
 */
#if !(defined(_POSIX_C_SOURCE) && _POSIX_C_SOURCE >= 200112L) && !(defined(_XOPEN_SOURCE) && _XOPEN_SOURCE >= 500)
#error "lib_common.h needs POSIX: define _POSIX_C_SOURCE as 200809L before the first #include"
#else

#include "lc_version.h"
#include "trace.h"
#include "fifo.h"
#include "lib_helpers.h"

#include "timeval.h"
#include "delay_queue.h"
#include "task_process.h"
#include "threadpool.h"

#include "slot_queue.h"
#include "frame_queue.h"
#include "block_queue.h"
#include "ring_buf.h"
#include "streamq.h"
#include "lwrb.h"

#include "ithread.h"
#include "file_helpers.h"
#include "ipc.h"

#include "buffer.h"
#include "configure.h"
#include "request.h"
#include "state_machine.h"

LC_BEGIN_DECLS

/**
 * \file
 * \defgroup lib_common_lifecycle Lifecycle and settings
 * \ingroup lib_common_frame
 * lib_common.h - start-up, main-loop step and shut-down of the library's
 * services, and the settings record they read.
 *
 * A process calls lib_common_init() once at start, lib_common_main() from
 * its own main loop and lib_common_exit() at the end; it may start the
 * library again after lib_common_exit.  One lock serialises the three, so
 * they may be called from several application threads.
 * @{
 */

/** Settings of the library; the process may write them (pool_max_threads
    only takes effect when set before lib_common_init). */
typedef struct common_profile_t {
    int32_t pool_adjust_enable; /**< nonzero: lib_common_main adjusts gpool */
    int32_t pool_max_threads;   /**< most workers of gpool (default 4) */
    int32_t core_copy_enable;   /**< nonzero: the crash dump copies its file */
    const char *core_copy_dir;  /**< where that copy goes ("/userdata") */
} common_profile_t;

/** The library's settings, shared with the process (which must not define
    its own).  Written by the process, without a lock: pool_max_threads
    before lib_common_init, core_copy_enable and core_copy_dir before a
    crash report may be written; pool_adjust_enable is read at every
    lib_common_main, on that call's thread. */
extern LC_API common_profile_t common_profile;

/** The library's boolean type: one byte. */
typedef uint8_t LIB_BOOL;

/**
 * Starts the library's services: the pool gpool (2 workers, at most
 * pool_max_threads, at most 15 pending tasks), the scheduler thread with
 * the debug pipe, and the commands "help", the level commands and the
 * gpool commands, in that order.  Before anything traces it applies the
 * levels of the environment variable `LIB_COMMON_LEVELS` (for example
 * `lib=7,cc=debug,all=info,time=1`; a part it does not know is traced at
 * level 3 and ignored).  Traces three build lines at level 6.
 * 0, or -1 when the pool cannot be created (then nothing runs).  Called
 * again while the library runs (also from a debug command) it changes
 * nothing and returns 0.  A scheduler that cannot start does not fail it:
 * the task functions then return -1.
 *
 * Thread safety: application threads; serialised with lib_common_main and
 * lib_common_exit by one lock.  From a debug command handler it returns 0
 * at once.  Not from a task function: a lib_common_exit under way would
 * wait for the task while the task waits for it.
 */
LC_API int lib_common_init(void);

/** One step of the process's main loop: adjusts gpool when
    pool_adjust_enable is set.  Does nothing before lib_common_init, after
    lib_common_exit, or when called from a debug command.

    Thread safety: application threads (normally the main loop's); serialised
    with lib_common_init and lib_common_exit by one lock.  From a debug
    command handler it does nothing.  Not from a task function, for the
    reason given at lib_common_init. */
LC_API void lib_common_main(void);

/**
 * Stops the scheduler (tasks still queued never run, the debug pipe is
 * closed and its node removed), then destroys gpool (pending pool tasks do
 * not run) and sets it to null.  0; also when the library is not running,
 * in which case it does nothing.  Called from a debug command (which runs
 * on the scheduler thread it would have to wait for) it does nothing and
 * returns -1.  Never call it from a task function: the pool cannot be
 * destroyed by one of its own workers.
 *
 * Thread safety: application threads; serialised with lib_common_init and
 * lib_common_main by one lock.  It waits for the task runs and the
 * remove_task_wait calls under way; task functions called meanwhile or
 * later return -1.  -1 from a debug command handler; never from a task
 * function.  Nothing may use gpool directly once it may run.
 */
LC_API int lib_common_exit(void);

/** @} */

LC_END_DECLS

#endif /* POSIX types available */

#endif /* LIB_COMMON_H */
