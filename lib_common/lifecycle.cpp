/*
 * lifecycle.cpp - the library's settings record and its start and stop.
 *
 * lib_common_init creates gpool, starts the scheduler (which opens the
 * debug pipe), registers the library's own commands and reports the build;
 * lib_common_exit undoes it in reverse.  One lock keeps the three entry
 * points from overlapping when a process calls them from several threads.
 */
#include "lib_common.h"
#include "common_internal.h"
#include "fifo_internal.h"
#include "lc_lock_internal.h"
#include "task_process_internal.h"

#include <pthread.h>
#include <stdlib.h>

extern "C" {

LC_API common_profile_t common_profile = {
    0,           /* pool_adjust_enable */
    4,           /* pool_max_threads */
    0,           /* core_copy_enable */
    "/userdata", /* core_copy_dir */
};
}

enum {
    GPOOL_WORKERS = 2,  /* started at once; also the pool's minimum */
    GPOOL_PENDING = 15, /* most tasks waiting in gpool's list */
};

static lc_mutex life_lock = LC_MUTEX_INITIALIZER;
/* Whether lib_common_init got the scheduler running (life_lock held). */
static bool scheduler_up;

extern "C" LC_API int lib_common_init(void)
{
    /* A debug command: the library runs, and a stop may be waiting for
       this very thread while it holds the lock. */
    if (lc_task_process_on_own_thread())
        return 0;
    lc_lock_guard lock(life_lock);
    if (gpool != nullptr)
        return 0;
    /* Start-up levels first, so that every start-up trace obeys them. */
    lc_levels_part bad;
    for (const char *levels = getenv("LIB_COMMON_LEVELS"); lc_levels_next(&levels, &bad);) {
        if (bad.text == nullptr)
            continue;
        char shown[128];
        lc_escape(shown, sizeof shown, bad.text, bad.len);
        XEL_TRACE(lib, 3, "LIB_COMMON_LEVELS: ignored \"%s\": %s\n", shown, bad.why);
    }
    threadpool *pool = threadpool_create(GPOOL_WORKERS, common_profile.pool_max_threads, GPOOL_PENDING);
    if (pool == nullptr)
        return -1;
    __atomic_store_n(&gpool, pool, __ATOMIC_RELEASE);
    /* A scheduler that cannot start leaves the task functions refusing;
       the library still comes up. */
    scheduler_up = task_process_init() == 0;
    /* After the scheduler's start, which empties the command list; in the
       order "help" lists them. */
    add_fifo_work(lc_fifo_help_cmds, LC_FIFO_HELP_ROWS);
    trace_debug_init();
    threadpool_debug_init();
    /* The build as the device's logs have always shown it. */
    XEL_TRACE(lib, 6, "__STDC_VERSION__:%ld\n", 201710L);
    XEL_TRACE(lib, 6, "sizeof uint8:%d uint16:%d uint32:%d ulong:%d uint64:%d\n", (int)sizeof(uint8_t),
              (int)sizeof(uint16_t), (int)sizeof(uint32_t), (int)sizeof(unsigned long), (int)sizeof(uint64_t));
    XEL_TRACE(lib, 6, "sizeof fp32:%d fp64:%d LIB_BOOL:%d\n", (int)sizeof(float), (int)sizeof(double),
              (int)sizeof(LIB_BOOL));
    return 0;
}

extern "C" LC_API void lib_common_main(void)
{
    if (lc_task_process_on_own_thread())
        return;
    lc_lock_guard lock(life_lock);
    if (common_profile.pool_adjust_enable != 0 && gpool != nullptr)
        threadpool_adjust(gpool);
}

extern "C" LC_API int lib_common_exit(void)
{
    /* The scheduler thread cannot wait for its own end. */
    if (lc_task_process_on_own_thread())
        return -1;
    lc_lock_guard lock(life_lock);
    if (gpool == nullptr)
        return 0;
    /* A scheduler that never ran has no stop to free the command tables
       registered after it; they are freed here. */
    if (scheduler_up)
        task_process_exit();
    else
        fifo_exit_fun(-1);
    /* Unpublished first: a task still running then finds no pool rather
       than one being destroyed. */
    threadpool *pool = gpool;
    __atomic_store_n(&gpool, static_cast<threadpool *>(nullptr), __ATOMIC_RELEASE);
    threadpool_destroy(pool);
    return 0;
}
