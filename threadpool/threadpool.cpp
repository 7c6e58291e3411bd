/*
 * threadpool.cpp - worker threads, the pending-task list, the adjusting
 * step, synchronous submission and destruction.
 *
 * Lock order: task_lock before count_lock, never the other way round.  No
 * task function is ever called with a lock held.
 */
#include "threadpool.h"
#include "threadpool_internal.h"
#include "trace.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

extern "C" {
LC_API threadpool *gpool = nullptr;
}

enum { MAX_STEP = 3 }; /* workers added, or asked to leave, per step */

static int32_t print_task_switch = 0;
static int32_t add_trace_countdown = 0;

struct pool_impl;

/* What a worker is started with: its pool, and a flag it raises as its
   last act.  pthread_kill(thread, 0) cannot tell an ended worker from a
   live one (glibc answers 0 until the thread is joined), so the flag is
   what tells the adjusting step that a slot can be joined and reused. */
struct worker_slot {
    pool_impl *pool;
    int32_t ended;
};

/* The pool as allocated: the public record first, so that a threadpool
   pointer is a pool_impl pointer, followed by what only this file sees. */
struct pool_impl {
    threadpool pub;
    worker_slot *slots; /* parallel to pub.threads */
    int32_t full_waiters; /* submitters waiting on a full list (task_lock) */
};

static pool_impl *impl_of(threadpool *pool)
{
    return reinterpret_cast<pool_impl *>(pool);
}

/* A thread handle or code address as the traces print it. */
static unsigned word_of(pthread_t thread)
{
    return static_cast<unsigned>(thread);
}

static unsigned word_of(lc_task_fn fn)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(fn));
}

void threadpool_print_task_set(int32_t on)
{
    __atomic_store_n(&print_task_switch, on, __ATOMIC_RELAXED);
}

int32_t threadpool_print_task_get(void)
{
    return __atomic_load_n(&print_task_switch, __ATOMIC_RELAXED);
}

void threadpool_add_trace_set(int32_t count)
{
    __atomic_store_n(&add_trace_countdown, count, __ATOMIC_RELAXED);
}

int32_t threadpool_add_trace_get(void)
{
    return __atomic_load_n(&add_trace_countdown, __ATOMIC_RELAXED);
}

/* Takes one count off the add-trace countdown; false when it is at 0. */
static bool take_add_trace_count(void)
{
    int32_t left = __atomic_load_n(&add_trace_countdown, __ATOMIC_RELAXED);
    while (left > 0) {
        if (__atomic_compare_exchange_n(&add_trace_countdown, &left, left - 1, true,
                                        __ATOMIC_RELAXED, __ATOMIC_RELAXED))
            return true;
    }
    return false;
}

/* Pending tasks, counted by walking the list (task_lock held); the walk
   stops at `stop_at`, all a full-list test needs. */
static int32_t pending_count(const threadpool *pool, int32_t stop_at)
{
    int32_t n = 0;
    const threadpool_task *sentinel = pool->task_list;
    for (const threadpool_task *t = sentinel->next; t != sentinel && n < stop_at; t = t->next)
        n++;
    return n;
}

/* True while a submitter must wait: the list is full and the pool runs
   (task_lock held). */
static bool list_full(const threadpool *pool)
{
    return pending_count(pool, pool->queue_max) >= pool->queue_max && !pool->shutdown;
}

static void signal_event(int fd)
{
    const uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

static void wait_event(int fd)
{
    uint64_t value;
    while (read(fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

static bool thread_alive(pool_impl *impl, int32_t slot)
{
    return __atomic_load_n(&impl->slots[slot].ended, __ATOMIC_ACQUIRE) == 0;
}

static void *threadpool_thread(void *arg);

/* Starts a worker into `slot`; the handle is stored only on success. */
static bool start_worker(pool_impl *impl, int32_t slot)
{
    worker_slot *ws = &impl->slots[slot];
    ws->pool = impl;
    __atomic_store_n(&ws->ended, 0, __ATOMIC_RELAXED);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, threadpool_thread, ws) != 0)
        return false;
    impl->pub.threads[slot] = thread;
    return true;
}

static void join_slot(threadpool *pool, int32_t slot)
{
    pthread_join(pool->threads[slot], nullptr);
    pool->threads[slot] = 0;
}

/* Initialises both mutexes and both conditions; on failure destroys the
   ones already made. */
static bool init_sync(threadpool *pool)
{
    if (pthread_mutex_init(&pool->task_lock, nullptr) != 0)
        return false;
    if (pthread_mutex_init(&pool->count_lock, nullptr) == 0) {
        if (pthread_cond_init(&pool->task_ready, nullptr) == 0) {
            if (pthread_cond_init(&pool->not_full, nullptr) == 0)
                return true;
            pthread_cond_destroy(&pool->task_ready);
        }
        pthread_mutex_destroy(&pool->count_lock);
    }
    pthread_mutex_destroy(&pool->task_lock);
    return false;
}

static void destroy_sync(threadpool *pool)
{
    pthread_mutex_destroy(&pool->task_lock);
    pthread_mutex_destroy(&pool->count_lock);
    pthread_cond_destroy(&pool->task_ready);
    pthread_cond_destroy(&pool->not_full);
}

/* Releases the record and its tables (no worker left). */
static void free_record(pool_impl *impl)
{
    free(impl->pub.task_list);
    free(impl->pub.threads);
    free(impl->slots);
    free(impl);
}

extern "C" LC_API threadpool *threadpool_create(int min, int max, int queue_max)
{
    if (min < 0 || max < 1 || queue_max < 1)
        return nullptr;
    if (min > max)
        min = max; /* the table has `max` slots: never start beyond it */

    pool_impl *impl = static_cast<pool_impl *>(calloc(1, sizeof *impl));
    if (impl == nullptr) {
        XEL_TRACE(lib, 7, "malloc threadpool false; \n\n");
        return nullptr;
    }
    threadpool *pool = &impl->pub;
    pool->min = min;
    pool->max = max;
    pool->limit = min;
    pool->queue_max = queue_max;

    pool->threads = static_cast<pthread_t *>(calloc(static_cast<size_t>(max), sizeof(pthread_t)));
    impl->slots = static_cast<worker_slot *>(calloc(static_cast<size_t>(max), sizeof(worker_slot)));
    if (pool->threads == nullptr || impl->slots == nullptr) {
        XEL_TRACE(lib, 7, "malloc threads false;\n\n");
        free_record(impl);
        return nullptr;
    }
    if (!init_sync(pool)) {
        XEL_TRACE(lib, 7, "init lock or cond false;\n\n");
        free_record(impl);
        return nullptr;
    }
    threadpool_task *sentinel = static_cast<threadpool_task *>(calloc(1, sizeof *sentinel));
    if (sentinel == nullptr) {
        destroy_sync(pool);
        free_record(impl);
        return nullptr;
    }
    sentinel->next = sentinel->prev = sentinel;
    sentinel->done_fd = sentinel->ack_fd = -1;
    pool->task_list = sentinel;

    /* Only workers that really started are counted: one that is counted
       but never ran could not end, and destruction would wait for it. */
    int32_t started = 0;
    for (int32_t i = 0; i < min; i++) {
        if (start_worker(impl, i)) {
            started++;
            XEL_TRACE(lib, 7, "start thread %d 0x%x... \n\n", i, word_of(pool->threads[i]));
        }
    }
    pthread_mutex_lock(&pool->count_lock);
    pool->live = started;
    pthread_mutex_unlock(&pool->count_lock);

    XEL_TRACE(lib, 6, "leave %p\n", static_cast<void *>(pool));
    return pool;
}

static void *threadpool_thread(void *arg)
{
    worker_slot *ws = static_cast<worker_slot *>(arg);
    threadpool *pool = &ws->pool->pub;
    threadpool_task *const sentinel = pool->task_list;
    prctl(PR_SET_NAME, "threadpool_worker", 0, 0, 0);

    for (;;) {
        pthread_mutex_lock(&pool->task_lock);
        bool leave = false; /* set with count_lock held */
        while (sentinel->next == sentinel && !pool->shutdown) {
            /* An idle worker reads the requests to leave before every wait,
               not only when woken: one that was busy (or still starting)
               when the step broadcast still sees them, and a worker woken
               for a new task always runs it instead of leaving it behind
               with nobody woken for it.  A request is consumed even when
               it cannot be honoured because only `min` workers are live. */
            pthread_mutex_lock(&pool->count_lock);
            if (pool->exit_count > 0) {
                pool->exit_count--;
                if (pool->live > pool->min) {
                    pool->live--;
                    leave = true;
                    break;
                }
            }
            pthread_mutex_unlock(&pool->count_lock);
            pthread_cond_wait(&pool->task_ready, &pool->task_lock);
        }
        if (!leave && pool->shutdown) {
            pthread_mutex_lock(&pool->count_lock);
            pool->live--;
            leave = true;
        }
        if (leave) {
            XEL_TRACE(lib, 7, "thread 0x%x is exiting(live:%d) \n\n", word_of(pthread_self()),
                      pool->live);
            pthread_mutex_unlock(&pool->count_lock);
            pthread_mutex_unlock(&pool->task_lock);
            break;
        }

        threadpool_task *task = sentinel->prev; /* the oldest */
        task->prev->next = sentinel;
        sentinel->prev = task->prev;
        if (ws->pool->full_waiters > 0) /* nobody else waits on not_full */
            pthread_cond_broadcast(&pool->not_full);
        pthread_mutex_unlock(&pool->task_lock);

        pthread_mutex_lock(&pool->count_lock);
        pool->busy++;
        pthread_mutex_unlock(&pool->count_lock);

        const bool print = threadpool_print_task_get() != 0;
        if (print)
            XEL_TRACE(lib, 6, "thread 0x%x start working fun:0x%x arg:%p\n\n",
                      word_of(pthread_self()), word_of(task->function), task->arg);
        task->function(task->arg);
        threadpool_task_free(task);
        if (print)
            XEL_TRACE(lib, 6, "thread 0x%x end working \n\n", word_of(pthread_self()));

        pthread_mutex_lock(&pool->count_lock);
        pool->busy--;
        pthread_mutex_unlock(&pool->count_lock);
    }
    __atomic_store_n(&ws->ended, 1, __ATOMIC_RELEASE);
    return nullptr;
}

extern "C" LC_API int threadpool_task_free(threadpool_task *task)
{
    if (task == nullptr)
        return -1;
    if (task->sync) {
        /* The acknowledgement keeps done_fd open until the submitter has
           read it. */
        signal_event(task->done_fd);
        wait_event(task->ack_fd);
        close(task->done_fd);
        close(task->ack_fd);
        task->done_fd = task->ack_fd = -1;
    }
    free(task);
    return 0;
}

/* Makes the two event counters of a synchronous task, or neither. */
static bool open_events(threadpool_task *task)
{
    task->done_fd = eventfd(0, EFD_CLOEXEC);
    if (task->done_fd < 0)
        return false;
    task->ack_fd = eventfd(0, EFD_CLOEXEC);
    if (task->ack_fd < 0) {
        close(task->done_fd);
        task->done_fd = -1;
        return false;
    }
    return true;
}

/* The record is made before the lock is taken, which keeps the critical
   section short; a submission that is then refused releases it again. */
extern "C" LC_API int _threadpool_add_task(threadpool *pool, int sync, lc_task_fn function,
                                           void *arg)
{
    if (take_add_trace_count())
        XEL_TRACE(lib, 6, "function:%p arg:%p\n", reinterpret_cast<void *>(function), arg);
    if (function == nullptr || pool == nullptr)
        return -1;

    threadpool_task *task = static_cast<threadpool_task *>(calloc(1, sizeof *task));
    if (task == nullptr)
        return -1;
    task->function = function;
    task->arg = arg;
    task->sync = sync != 0;
    task->done_fd = task->ack_fd = -1;
    if (task->sync && !open_events(task)) {
        free(task);
        return -1;
    }
    const int done_fd = task->done_fd;
    const int ack_fd = task->ack_fd;

    pool_impl *impl = impl_of(pool);
    pthread_mutex_lock(&pool->task_lock);
    if (list_full(pool)) {
        impl->full_waiters++; /* keeps the pool alive while we are inside */
        do {
            if (XEL_LEVEL(lib) >= 6) {
                /* Traced without the lock: a trace may reach syslog, and the
                   workers must not wait for that. */
                const int32_t pending = pending_count(pool, INT32_MAX);
                const int32_t down = pool->shutdown;
                pthread_mutex_unlock(&pool->task_lock);
                XEL_TRACE(lib, 6, "threadpool_task_size:%d shutdown:%d\n", pending, down);
                pthread_mutex_lock(&pool->task_lock);
                if (!list_full(pool))
                    break;
            }
            pthread_cond_wait(&pool->not_full, &pool->task_lock);
        } while (list_full(pool));
        impl->full_waiters--;
        if (pool->shutdown) /* the destroying thread waits for us to leave */
            pthread_cond_broadcast(&pool->not_full);
    }
    if (pool->shutdown) {
        pthread_mutex_unlock(&pool->task_lock);
        if (task->sync) {
            close(done_fd);
            close(ack_fd);
        }
        free(task);
        return -1;
    }
    threadpool_task *sentinel = pool->task_list;
    task->next = sentinel->next; /* the newest end */
    task->prev = sentinel;
    sentinel->next->prev = task;
    sentinel->next = task;
    pthread_cond_signal(&pool->task_ready);
    pthread_mutex_unlock(&pool->task_lock);

    if (sync) {
        /* The task belongs to the worker now; only its descriptors are used,
           and the worker keeps them open until the acknowledgement. */
        wait_event(done_fd);
        signal_event(ack_fd);
    }
    return 0;
}

extern "C" LC_API int threadpool_add_task(threadpool *pool, lc_task_fn function, void *arg)
{
    return _threadpool_add_task(pool, 0, function, arg);
}

extern "C" LC_API int threadpool_add_task_sync(threadpool *pool, lc_task_fn function, void *arg)
{
    return _threadpool_add_task(pool, 1, function, arg);
}

extern "C" LC_API int threadpool_task_size_lock(threadpool *pool)
{
    if (pool == nullptr)
        return -1;
    pthread_mutex_lock(&pool->task_lock);
    int32_t n = pending_count(pool, INT32_MAX);
    pthread_mutex_unlock(&pool->task_lock);
    return n;
}

/* min and limit change under count_lock, where the workers and the
   adjusting step read them. */
extern "C" LC_API int threadpool_adjust_limit(threadpool *pool, int limit)
{
    if (pool == nullptr || limit < 0 || limit > pool->max)
        return -1;
    pthread_mutex_lock(&pool->count_lock);
    if (limit < pool->min)
        pool->min = limit;
    pool->limit = limit;
    pthread_mutex_unlock(&pool->count_lock);
    return 0;
}

/* Both rules work from one snapshot, so a step may add workers and ask
   others to leave.  Only idle workers read a request to leave. */
extern "C" LC_API void threadpool_adjust(threadpool *pool)
{
    if (pool == nullptr)
        return;
    pool_impl *impl = impl_of(pool);

    pthread_mutex_lock(&pool->task_lock);
    const int32_t pending = pending_count(pool, INT32_MAX);
    pthread_mutex_unlock(&pool->task_lock);
    pthread_mutex_lock(&pool->count_lock);
    const int32_t busy = pool->busy;
    const int32_t live = pool->live;
    const int32_t limit = pool->limit;
    const int32_t min = pool->min;
    pthread_mutex_unlock(&pool->count_lock);

    for (int32_t i = 0; i < pool->max; i++)
        if (pool->threads[i] != 0 && !thread_alive(impl, i))
            join_slot(pool, i);

    XEL_TRACE(lib, 7, "thread busy:%d live:%d limit:%d--task:%d\n", busy, live, limit, pending);

    if (pending >= 2 && live <= limit) {
        const int32_t room = limit - live;
        int32_t added = 0;
        for (int32_t i = 0; i < pool->max && added < MAX_STEP && added < room; i++) {
            if (pool->threads[i] != 0) {
                if (thread_alive(impl, i))
                    continue;
                join_slot(pool, i); /* ended since the reaping pass */
            }
            if (start_worker(impl, i)) {
                added++;
                XEL_TRACE(lib, 7, "new thread 0x%x-----------------------\n\n",
                          word_of(pool->threads[i]));
            }
        }
        if (added > 0) {
            pthread_mutex_lock(&pool->count_lock);
            pool->live += added;
            pthread_mutex_unlock(&pool->count_lock);
        }
    }

    if (live > 2 * busy && live > min) {
        const int32_t leaving = live - min < MAX_STEP ? live - min : MAX_STEP;
        /* Set and announced under task_lock, so no idle worker can be
           between its test and its wait and miss the broadcast. */
        pthread_mutex_lock(&pool->task_lock);
        pthread_mutex_lock(&pool->count_lock);
        pool->exit_count = leaving;
        pthread_mutex_unlock(&pool->count_lock);
        pthread_cond_broadcast(&pool->task_ready);
        pthread_mutex_unlock(&pool->task_lock);
        XEL_TRACE(lib, 7, "admin cler --\n\n");
    }
}

/* Pending tasks are released without running; a synchronous submitter of
   one is released by threadpool_task_free as if its task had run. */
static void threadpool_free(pool_impl *impl)
{
    threadpool *pool = &impl->pub;
    threadpool_task *sentinel = pool->task_list;
    while (sentinel->prev != sentinel) {
        threadpool_task *task = sentinel->prev;
        sentinel->prev = task->prev;
        task->prev->next = sentinel;
        threadpool_task_free(task);
    }
    destroy_sync(pool);
    free_record(impl);
}

/* shutdown is set under task_lock: a worker tests it under that lock
   before every wait, so one broadcast reaches every idle worker, and busy
   ones see it when their task is done.  Joining them replaces polling. */
extern "C" LC_API int threadpool_destroy(threadpool *pool)
{
    if (pool == nullptr)
        return -1;
    XEL_TRACE(lib, 6, "enter %p\n", static_cast<void *>(pool));
    pool_impl *impl = impl_of(pool);

    pthread_mutex_lock(&pool->task_lock);
    pool->shutdown = 1;
    pthread_cond_broadcast(&pool->task_ready);
    pthread_cond_broadcast(&pool->not_full);
    pthread_mutex_unlock(&pool->task_lock);

    for (int32_t i = 0; i < pool->max; i++)
        if (pool->threads[i] != 0)
            join_slot(pool, i);

    /* Submitters woken from a full list still use the pool's lock. */
    pthread_mutex_lock(&pool->task_lock);
    while (impl->full_waiters > 0)
        pthread_cond_wait(&pool->not_full, &pool->task_lock);
    pthread_mutex_unlock(&pool->task_lock);

    threadpool_free(impl);
    return 0;
}
