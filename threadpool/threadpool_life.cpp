/*
 * threadpool_life.cpp - a pool's creation and destruction.
 *
 * A pool is released only after its workers have been joined and every
 * submitter waiting for room has left.
 */
#include "threadpool.h"
#include "threadpool_record_internal.h"
#include "trace.h"

#include <stdlib.h>

extern "C" {
LC_API threadpool *gpool = nullptr;
}

/* Initialises the pool's mutexes and conditions in order, counting them in
   sync_made, up to the first failure. */
static bool init_sync(lc_pool *impl)
{
    threadpool *pool = &impl->pub;
    return pthread_mutex_init(&pool->task_lock, nullptr) == 0 && ++impl->sync_made &&
           pthread_mutex_init(&pool->count_lock, nullptr) == 0 && ++impl->sync_made &&
           pthread_cond_init(&pool->task_ready, nullptr) == 0 && ++impl->sync_made &&
           pthread_cond_init(&pool->not_full, nullptr) == 0 && ++impl->sync_made &&
           pthread_cond_init(&impl->changed, nullptr) == 0 && ++impl->sync_made;
}

/* Releases whatever a pool record holds, also one made only in part: the
   tasks still pending (without running them; a synchronous submitter of
   one is released as if it had run), the lists, the tables, the mutexes
   and conditions that were made.  No worker is left. */
static void free_pool(lc_pool *impl)
{
    threadpool *pool = &impl->pub;
    threadpool_task *sentinel = pool->task_list;
    while (sentinel != nullptr && !lc_pool_list_empty(sentinel)) {
        threadpool_task *task = sentinel->prev;
        lc_pool_unlink(task);
        threadpool_task_free(task);
    }
    const int32_t made = impl->sync_made;
    if (made > 4)
        pthread_cond_destroy(&impl->changed);
    if (made > 3)
        pthread_cond_destroy(&pool->not_full);
    if (made > 2)
        pthread_cond_destroy(&pool->task_ready);
    if (made > 1)
        pthread_mutex_destroy(&pool->count_lock);
    if (made > 0)
        pthread_mutex_destroy(&pool->task_lock);
    free(sentinel);
    free(pool->threads);
    free(impl->slots);
    free(impl);
}

/* A pool record with its tables, locks and empty lists, or null; *failure
   then names what failed, for the trace (null: nothing to trace). */
static lc_pool *new_pool(int32_t min, int32_t max, int32_t queue_max, const char **failure)
{
    lc_pool *impl = static_cast<lc_pool *>(calloc(1, sizeof *impl));
    if (impl == nullptr) {
        *failure = "malloc threadpool false; \n\n";
        return nullptr;
    }
    threadpool *pool = &impl->pub;
    pool->min = min;
    pool->max = max;
    pool->limit = min;
    pool->queue_max = queue_max;
    pool->threads = static_cast<pthread_t *>(calloc(static_cast<size_t>(max), sizeof(pthread_t)));
    impl->slots = static_cast<lc_pool_worker *>(calloc(static_cast<size_t>(max), sizeof(lc_pool_worker)));
    if (pool->threads == nullptr || impl->slots == nullptr)
        *failure = "malloc threads false;\n\n";
    else if (!init_sync(impl))
        *failure = "init lock or cond false;\n\n";
    else
        pool->task_list = static_cast<threadpool_task *>(calloc(1, sizeof(threadpool_task)));
    if (pool->task_list == nullptr) {
        free_pool(impl);
        return nullptr;
    }
    pool->task_list->next = pool->task_list->prev = pool->task_list;
    pool->task_list->done_fd = pool->task_list->ack_fd = -1;
    impl->arriving.next = impl->arriving.prev = &impl->arriving;
    return impl;
}

extern "C" LC_API threadpool *threadpool_create(int min, int max, int queue_max)
{
    if (min < 0 || max < 1 || queue_max < 1)
        return nullptr;
    const char *failure = nullptr;
    /* The table has `max` slots: never start beyond it. */
    lc_pool *impl = new_pool(min < max ? min : max, max, queue_max, &failure);
    if (failure != nullptr && XEL_LEVEL(lib) >= 7)
        xel_traceout(7, "[lib %s +%-4d]%s", __func__, __LINE__, failure);
    if (impl == nullptr)
        return nullptr;

    /* Only workers that really started are counted: one that is counted
       but never ran could not end, and destruction would wait for it. */
    threadpool *pool = &impl->pub;
    int32_t started = 0;
    for (int32_t i = 0; i < pool->min; i++) {
        if (!lc_pool_start_worker(impl, i))
            continue;
        started++;
        XEL_TRACE(lib, 7, "start thread %d 0x%x... \n\n", i, lc_pool_word_of(pool->threads[i]));
    }
    {
        lc_lock_guard counts = lc_pool_hold_counts(impl);
        pool->live = started;
    }
    XEL_TRACE(lib, 6, "leave %p\n", static_cast<void *>(pool));
    return pool;
}

/* shutdown is set under task_lock: a worker tests it under that lock
   before every wait, so one broadcast reaches every idle worker, and busy
   ones see it when their task is done.  Submitters waiting for room are
   woken too. */
static void begin_shutdown(lc_pool *impl)
{
    lc_lock_guard lock = lc_pool_hold_tasks(impl);
    impl->pub.shutdown = 1;
    pthread_cond_broadcast(&impl->pub.task_ready);
    pthread_cond_broadcast(&impl->pub.not_full);
    pthread_cond_broadcast(&impl->changed);
}

/* Waits until no submitter waits for room (nor, see threadpool_tags.cpp,
   for tagged runs): they still use the pool's lock. */
static void wait_visitors_gone(lc_pool *impl)
{
    lc_lock_guard lock = lc_pool_hold_tasks(impl);
    while (!lc_pool_list_empty(&impl->arriving) || impl->tag_waiters > 0)
        lock.wait(impl->changed);
}

/* Joining the workers replaces polling their count. */
extern "C" LC_API int threadpool_destroy(threadpool *pool)
{
    if (pool == nullptr)
        return -1;
    XEL_TRACE(lib, 6, "enter %p\n", static_cast<void *>(pool));
    lc_pool *impl = lc_pool_of(pool);
    lc_pool_assert_no_tags(impl);
    begin_shutdown(impl);
    for (int32_t i = 0; i < pool->max; i++)
        if (pool->threads[i] != 0)
            lc_pool_join_slot(pool, i);
    wait_visitors_gone(impl);
    free_pool(impl);
    return 0;
}
