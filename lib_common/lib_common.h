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
 */
#ifndef LIB_COMMON_H
#define LIB_COMMON_H

#include "lc_defs.h"
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

/* Settings of the library; the process may write them (pool_max_threads
   only takes effect when set before lib_common_init). */
typedef struct common_profile_t {
    int32_t pool_adjust_enable; /* nonzero: lib_common_main adjusts gpool */
    int32_t pool_max_threads;   /* most workers of gpool (default 4) */
    int32_t core_copy_enable;   /* nonzero: the crash dump copies its file */
    const char *core_copy_dir;  /* where that copy goes ("/userdata") */
} common_profile_t;

extern LC_API common_profile_t common_profile;

LC_END_DECLS

#endif /* LIB_COMMON_H */
