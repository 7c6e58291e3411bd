/*
 * threadpool_debug.cpp - debug commands for the library's own pool:
 * gpool=statistics, gpool=print_task and gpool=add_task, and the switches
 * they set, which act on every pool.
 *
 * The handlers run on the scheduler thread, which lib_common_exit joins
 * before it destroys gpool, so a non-null gpool stays valid while one runs.
 */
#include "threadpool.h"
#include "threadpool_internal.h"
#include "threadpool_record_internal.h"
#include "fifo.h"
#include "trace.h"

static int32_t print_task_switch = 0;
static int32_t add_trace_countdown = 0;

void lc_threadpool_print_task_set(int32_t on)
{
    __atomic_store_n(&print_task_switch, on, __ATOMIC_RELAXED);
}

int32_t lc_threadpool_print_task_get(void)
{
    return __atomic_load_n(&print_task_switch, __ATOMIC_RELAXED);
}

void lc_threadpool_add_trace_set(int32_t count)
{
    __atomic_store_n(&add_trace_countdown, count, __ATOMIC_RELAXED);
}

/* Takes one count off the add-trace countdown; false when it is at 0. */
static bool take_add_trace_count(void)
{
    int32_t left = __atomic_load_n(&add_trace_countdown, __ATOMIC_RELAXED);
    while (left > 0) {
        if (__atomic_compare_exchange_n(&add_trace_countdown, &left, left - 1, true, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED))
            return true;
    }
    return false;
}

/* The count goes down also when the level hides the trace or the call is
   refused. */
void lc_pool_trace_addition(const char *func, int line, lc_task_fn function, void *arg)
{
    if (take_add_trace_count() && XEL_LEVEL(lib) >= 6)
        xel_traceout(6, "[lib %s +%-4d]function:%p arg:%p\n", func, line, reinterpret_cast<void *>(function), arg);
}

/* Traces the pool's counts and its pending tasks.  Both lines carry the
   family's name rather than the handler's. */
static void gpool_statistics(const char *, void *)
{
    threadpool *pool = __atomic_load_n(&gpool, __ATOMIC_ACQUIRE);
    if (pool == nullptr || XEL_LEVEL(lib) < 6)
        return;
    pthread_mutex_lock(&pool->count_lock);
    const int min = pool->min, max = pool->max, live = pool->live, busy = pool->busy;
    pthread_mutex_unlock(&pool->count_lock);
    xel_traceout(6, "[lib %s +%-4d]min:%d,max:%d,live:%d,busy:%d\n", "threadpool_debug", __LINE__, min, max, live,
                 busy);
    /* Counted under the list lock: a worker may free a task meanwhile. */
    const int pending = threadpool_task_size_lock(pool);
    xel_traceout(6, "[lib %s +%-4d]task_size:%d\n", "threadpool_debug", __LINE__, pending);
}

/* Switches the workers' start and end traces on or off. */
static void gpool_print_task(const char *, void *)
{
    if (__atomic_load_n(&gpool, __ATOMIC_ACQUIRE) != nullptr)
        lc_threadpool_print_task_set(lc_threadpool_print_task_get() == 0 ? 1 : 0);
}

/* The next 10 submissions to any pool trace their function and argument. */
static void gpool_add_task(const char *, void *)
{
    if (__atomic_load_n(&gpool, __ATOMIC_ACQUIRE) != nullptr)
        lc_threadpool_add_trace_set(10);
}

/* The rows' data, which no handler reads. */
static char row_data[] = "t";

static const fifo_cmd gpool_cmds[] = {
    {"gpool", "statistics", gpool_statistics, row_data},
    {"gpool", "print_task", gpool_print_task, row_data},
    {"gpool", "add_task", gpool_add_task, row_data},
};

extern "C" LC_API void threadpool_debug_init(void)
{
    add_fifo_work(gpool_cmds, (int32_t)(sizeof gpool_cmds / sizeof gpool_cmds[0]));
}
