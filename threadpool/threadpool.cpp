/*
 * threadpool.cpp - worker threads, the pending-task list, submission
 * (synchronous too) and the adjusting step.  Creation and destruction are
 * in threadpool_life.cpp, tagged hand-overs in threadpool_tags.cpp, the
 * debug switches in threadpool_debug.cpp.
 *
 * Lock order: task_lock before count_lock, never the other way round.  No
 * task function is ever called with a lock held, and no trace is made with
 * task_lock held (a trace may reach syslog; the workers must not wait for
 * it).  Traces made here on behalf of an exported function carry that
 * function's name and the line of its call.
 */
#include "threadpool.h"
#include "threadpool_internal.h"
#include "threadpool_record_internal.h"
#include "trace.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

enum { MAX_STEP = 3 }; /* workers added, or asked to leave, per step */

/* The list's figures shown while a submitter waits for room. */
namespace {
struct list_view {
    int32_t pending;
    int32_t shutdown;
};
}  // namespace

/* The calling thread's slot when it is a worker. */
static thread_local lc_pool_worker *this_worker = nullptr;

lc_pool_worker *lc_pool_this_worker(void)
{
    return this_worker;
}

/* ---- The list (task_lock held) */

/* Pending tasks, counted by walking the list; the walk stops at
   `stop_at`, all a full-list test needs.  Caller holds task_lock (but for
   the pool's statistics, which read a momentary picture). */
static int32_t pending_count(const threadpool *pool, int32_t stop_at)
{
    int32_t n = 0;
    const threadpool_task *sentinel = pool->task_list;
    for (const threadpool_task *t = sentinel->next; t != sentinel && n < stop_at; t = t->next)
        n++;
    return n;
}

static bool list_full(const threadpool *pool)
{
    return pending_count(pool, pool->queue_max) >= pool->queue_max;
}

/* ---- Task records */

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

lc_pool_task *lc_pool_new_task(lc_task_fn function, void *arg, bool sync, int32_t tag)
{
    lc_pool_task *task = static_cast<lc_pool_task *>(calloc(1, sizeof *task));
    if (task == nullptr)
        return nullptr;
    task->pub.function = function;
    task->pub.arg = arg;
    task->pub.sync = sync;
    task->pub.done_fd = sync ? eventfd(0, EFD_CLOEXEC) : -1;
    task->pub.ack_fd = sync ? eventfd(0, EFD_CLOEXEC) : -1;
    task->pub.next = task->pub.prev = &task->pub;
    task->tag = tag;
    if (sync && (task->pub.done_fd < 0 || task->pub.ack_fd < 0)) {
        if (task->pub.done_fd >= 0)
            close(task->pub.done_fd);
        if (task->pub.ack_fd >= 0)
            close(task->pub.ack_fd);
        free(task);
        task = nullptr;
    }
    return task;
}

void lc_pool_discard_task(lc_pool_task *task)
{
    if (task->pub.sync) {
        close(task->pub.done_fd);
        close(task->pub.ack_fd);
    }
    free(task);
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

/* ---- Workers */

/* Takes `task` out of the list as the worker's run under way (task_lock
   held).  True when a submitter waits for the room this makes and has not
   been told of room since it began to wait: the caller then broadcasts
   not_full.  Nobody else waits on not_full, and one broadcast wakes every
   submitter then waiting, so the others would wake nobody. */
static bool begin_run(lc_pool *impl, lc_pool_worker *ws, lc_pool_task *task)
{
    assert(impl->task_owner.mine());
    lc_pool_unlink(&task->pub);
    ws->tag = task->tag;
    if (lc_pool_list_empty(&impl->arriving) || impl->room_told)
        return false;
    impl->room_told = true;
    return true;
}

/* The worker's run has ended (task_lock held). */
static void end_run(lc_pool *impl, lc_pool_worker *ws)
{
    assert(impl->task_owner.mine());
    if (ws->tag != 0)
        lc_pool_tagged_run_ended(impl);
    ws->tag = 0;
}

/* Whether an idle worker leaves (task_lock held): when the pool shuts
   down, or on a request to leave while more than `min` workers live (a
   request is consumed all the same).  A leaving worker is taken off
   `live`; *live_left gets what remains. */
static bool leaves(lc_pool *impl, int32_t *live_left)
{
    assert(impl->task_owner.mine());
    threadpool *pool = &impl->pub;
    lc_lock_guard counts = lc_pool_hold_counts(impl);
    bool leave = pool->shutdown != 0;
    if (!leave && pool->exit_count > 0) {
        pool->exit_count--;
        leave = pool->live > pool->min;
    }
    if (leave)
        pool->live--;
    *live_left = pool->live;
    return leave;
}

/* One wait of an idle worker on task_ready (task_lock held by `lock`).
   Any wake-up settles one signal: one from a broadcast as well, which only
   makes the count low, and a low count costs a signal, never a wake-up. */
static void wait_for_task(lc_pool *impl, lc_lock_guard &lock)
{
    assert(impl->task_owner.mine());
    impl->idle++;
    lock.wait(impl->pub.task_ready);
    impl->idle--;
    if (impl->woken > 0)
        impl->woken--;
    assert(impl->idle >= 0);
}

/* Ends the worker's last run, then takes the oldest task, waiting while
   there is none: null when the worker is to leave.  Requests to leave are
   read before every wait, not only after a wake-up: a worker that was busy
   (or still starting) when the step broadcast still sees them, and one
   woken for a new task runs it rather than leave it with nobody woken for
   it.  *tell_room: the caller is to broadcast not_full.  Takes task_lock,
   and count_lock inside it. */
static lc_pool_task *take_next(lc_pool_worker *ws, int32_t *live_left, bool *tell_room)
{
    lc_pool *impl = ws->pool;
    threadpool *pool = &impl->pub;
    lc_lock_guard lock = lc_pool_hold_tasks(impl);
    end_run(impl, ws);
    bool leave = false;
    while (!leave && !pool->shutdown && lc_pool_list_empty(pool->task_list)) {
        leave = leaves(impl, live_left);
        if (!leave)
            wait_for_task(impl, lock);
    }
    if (!leave && pool->shutdown) /* pending tasks are not run */
        leave = leaves(impl, live_left);
    lc_pool_task *task = nullptr;
    if (!leave) {
        task = lc_pool_task_of(pool->task_list->prev);
        *tell_room = begin_run(impl, ws, task);
    }
    return task;
}

/* take_next, then the broadcast of not_full after task_lock is released: a
   submitter woken while the worker still held the lock would only block
   on it again and need a second wake-up.  The worker's pool outlives the
   broadcast: it is released only after every worker has been joined. */
static lc_pool_task *next_task(lc_pool_worker *ws, int32_t *live_left)
{
    bool tell_room = false;
    lc_pool_task *task = take_next(ws, live_left, &tell_room);
    if (tell_room)
        pthread_cond_broadcast(&ws->pool->pub.not_full);
    return task;
}

static void count_busy(lc_pool *impl, int32_t delta)
{
    lc_lock_guard counts = lc_pool_hold_counts(impl);
    impl->pub.busy += delta;
}

/* The worker's loop.  No lock is held while a task runs; the start and
   end traces follow the print-task switch. */
static void *threadpool_thread(void *arg)
{
    lc_pool_worker *ws = static_cast<lc_pool_worker *>(arg);
    lc_pool *impl = ws->pool;
    this_worker = ws;
    prctl(PR_SET_NAME, "threadpool_worker", 0, 0, 0);

    int32_t live_left = 0;
    lc_pool_task *task;
    while ((task = next_task(ws, &live_left)) != nullptr) {
        count_busy(impl, 1);
        const lc_task_fn function = task->pub.function;
        void *const arg_of_task = task->pub.arg;
        const bool print = lc_threadpool_print_task_get() != 0;
        if (print)
            XEL_TRACE(lib, 6, "thread 0x%x start working fun:0x%x arg:%p\n\n", lc_pool_word_of(pthread_self()),
                      lc_pool_word_of(function), arg_of_task);
        function(arg_of_task);
        threadpool_task_free(&task->pub);
        if (print)
            XEL_TRACE(lib, 6, "thread 0x%x end working \n\n", lc_pool_word_of(pthread_self()));
        count_busy(impl, -1);
    }
    XEL_TRACE(lib, 7, "thread 0x%x is exiting(live:%d) \n\n", lc_pool_word_of(pthread_self()), live_left);
    __atomic_store_n(&ws->ended, 1, __ATOMIC_RELEASE);
    return nullptr;
}

static bool thread_alive(lc_pool *impl, int32_t slot)
{
    return __atomic_load_n(&impl->slots[slot].ended, __ATOMIC_ACQUIRE) == 0;
}

bool lc_pool_start_worker(lc_pool *impl, int32_t slot)
{
    assert(slot >= 0 && slot < impl->pub.max);
    assert(impl->pub.threads[slot] == 0);
    lc_pool_worker *ws = &impl->slots[slot];
    ws->pool = impl;
    __atomic_store_n(&ws->ended, 0, __ATOMIC_RELAXED);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, threadpool_thread, ws) != 0)
        return false;
    impl->pub.threads[slot] = thread;
    return true;
}

/* ---- Submission */

/* A waiting submitter left (task_lock held): the destroying thread waits
   for the last one. */
static void visitor_left(lc_pool *impl)
{
    if (impl->pub.shutdown)
        pthread_cond_broadcast(&impl->changed);
}

/* Signals task_ready for a task just added (task_lock held), unless every
   idle worker already has a wake-up coming: a signal then wakes nobody
   more, and glibc's signal may even block until those workers have run.
   A synchronous task's submitter signals once it has released task_lock
   (wake_after), so that the worker does not wake into the lock. */
static void wake_worker(lc_pool *impl, lc_pool_task *task)
{
    assert(impl->task_owner.mine());
    const bool due = impl->idle > impl->woken;
    impl->woken += due;
    task->wake_after = due && task->pub.sync;
    if (due && !task->pub.sync)
        pthread_cond_signal(&impl->pub.task_ready);
}

/* There is room: the task goes to the newest end and one worker is woken.
   The list is full: the task waits among the arriving.  A cancelled task,
   or any once the pool shuts down, leaves the arriving for no list. */
lc_add_state lc_pool_try_queue(lc_pool *impl, lc_pool_task *task)
{
    assert(impl->task_owner.mine());
    threadpool *pool = &impl->pub;
    if (!task->cancelled && !pool->shutdown && list_full(pool)) {
        if (task->pub.next == &task->pub)
            lc_pool_link_newest(&impl->arriving, &task->pub);
        return LC_ADD_FULL;
    }
    lc_pool_unlink(&task->pub);
    if (task->cancelled || pool->shutdown) {
        visitor_left(impl);
        return task->cancelled ? LC_ADD_CANCELLED : LC_ADD_CLOSED;
    }
    lc_pool_link_newest(pool->task_list, &task->pub);
    wake_worker(impl, task);
    return LC_ADD_QUEUED;
}

/* Looks at the list for `task` and waits while it is full, but returns
   LC_ADD_FULL before a wait that is to be traced, unless `traced` says the
   caller has just traced it; *view then gets the figures for the next
   trace.  Takes and releases task_lock. */
static lc_add_state look(lc_pool *impl, lc_pool_task *task, bool traced, list_view *view)
{
    lc_lock_guard lock = lc_pool_hold_tasks(impl);
    lc_add_state state = lc_pool_try_queue(impl, task);
    while (state == LC_ADD_FULL && (traced || XEL_LEVEL(lib) < 6)) {
        impl->room_told = false;
        lock.wait(impl->pub.not_full);
        traced = false;
        state = lc_pool_try_queue(impl, task);
    }
    if (state == LC_ADD_FULL)
        *view = {pending_count(&impl->pub, INT32_MAX), impl->pub.shutdown};
    return state;
}

/* The record belongs to the pool's worker once queued.  While it waits
   among the arriving the pool cannot be released under it. */
bool lc_pool_queue_task(lc_pool *impl, lc_pool_task *task, const char *func, int line)
{
    list_view view = {0, 0};
    lc_add_state state = look(impl, task, false, &view);
    while (state == LC_ADD_FULL) {
        if (XEL_LEVEL(lib) >= 6) /* traced for `func`, whose call at `line` led here */
            xel_traceout(6, "[lib %s +%-4d]threadpool_task_size:%d shutdown:%d\n", func, line, view.pending,
                         view.shutdown);
        state = look(impl, task, true, &view);
    }
    if (state != LC_ADD_QUEUED)
        lc_pool_discard_task(task);
    return state != LC_ADD_CLOSED;
}

/* The record is made before the lock is taken, which keeps the critical
   section short; a submission that is then refused releases it again. */
extern "C" LC_API int _threadpool_add_task(threadpool *pool, int sync, lc_task_fn function, void *arg)
{
    lc_pool_trace_addition(__func__, __LINE__, function, arg);
    if (function == nullptr || pool == nullptr)
        return -1;
    lc_pool_task *task = lc_pool_new_task(function, arg, sync != 0, 0);
    if (task == nullptr)
        return -1;
    const int done_fd = task->pub.done_fd, ack_fd = task->pub.ack_fd;
    if (!lc_pool_queue_task(lc_pool_of(pool), task, __func__, __LINE__))
        return -1;
    if (sync) {
        /* The task belongs to the worker now but stays until the
           acknowledgement: wake_after is still there to read, and the
           descriptors open. */
        if (task->wake_after)
            pthread_cond_signal(&pool->task_ready);
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

/* ---- Statistics, the adjusting step, destruction */

extern "C" LC_API int threadpool_task_size_lock(threadpool *pool)
{
    if (pool == nullptr)
        return -1;
    lc_lock_guard lock = lc_pool_hold_tasks(lc_pool_of(pool));
    return pending_count(pool, INT32_MAX);
}

/* min and limit change under count_lock, where the workers and the
   adjusting step read them. */
extern "C" LC_API int threadpool_adjust_limit(threadpool *pool, int limit)
{
    if (pool == nullptr || limit < 0 || limit > pool->max)
        return -1;
    lc_lock_guard counts = lc_pool_hold_counts(lc_pool_of(pool));
    if (limit < pool->min)
        pool->min = limit;
    pool->limit = limit;
    return 0;
}

namespace {
/* The figures one adjusting step works from. */
struct pool_snapshot {
    int32_t pending, busy, live, limit, min;
};
}  // namespace

static pool_snapshot take_snapshot(lc_pool *impl)
{
    pool_snapshot s;
    {
        lc_lock_guard lock = lc_pool_hold_tasks(impl);
        s.pending = pending_count(&impl->pub, INT32_MAX);
    }
    lc_lock_guard counts = lc_pool_hold_counts(impl);
    s.busy = impl->pub.busy;
    s.live = impl->pub.live;
    s.limit = impl->pub.limit;
    s.min = impl->pub.min;
    return s;
}

/* Joins the workers that have ended, freeing their slots. */
static void reap(lc_pool *impl)
{
    for (int32_t i = 0; i < impl->pub.max; i++)
        if (impl->pub.threads[i] != 0 && !thread_alive(impl, i))
            lc_pool_join_slot(&impl->pub, i);
}

/* Sets the requests to leave and wakes the idle workers to read them.
   Under task_lock, so that no idle worker can be between its test and its
   wait and miss the broadcast. */
static void ask_to_leave(lc_pool *impl, int32_t leaving)
{
    lc_lock_guard lock = lc_pool_hold_tasks(impl);
    {
        lc_lock_guard counts = lc_pool_hold_counts(impl);
        impl->pub.exit_count = leaving;
    }
    pthread_cond_broadcast(&impl->pub.task_ready);
}

/* Both rules work from one snapshot, so a step may add workers and ask
   others to leave.  Only idle workers read a request to leave. */
extern "C" LC_API void threadpool_adjust(threadpool *pool)
{
    if (pool == nullptr)
        return;
    lc_pool *impl = lc_pool_of(pool);
    const pool_snapshot s = take_snapshot(impl);
    reap(impl);
    XEL_TRACE(lib, 7, "thread busy:%d live:%d limit:%d--task:%d\n", s.busy, s.live, s.limit, s.pending);

    if (s.pending >= 2 && s.live <= s.limit) {
        const int32_t room = s.limit - s.live;
        int32_t added = 0;
        for (int32_t i = 0; i < pool->max && added < MAX_STEP && added < room; i++) {
            if (pool->threads[i] != 0 && thread_alive(impl, i))
                continue;
            if (pool->threads[i] != 0)
                lc_pool_join_slot(pool, i); /* ended since the reaping pass */
            if (!lc_pool_start_worker(impl, i))
                continue;
            added++;
            XEL_TRACE(lib, 7, "new thread 0x%x-----------------------\n\n", lc_pool_word_of(pool->threads[i]));
        }
        lc_lock_guard counts = lc_pool_hold_counts(impl);
        pool->live += added;
    }

    if (s.live > 2 * s.busy && s.live > s.min) {
        ask_to_leave(impl, s.live - s.min < MAX_STEP ? s.live - s.min : MAX_STEP);
        XEL_TRACE(lib, 7, "admin cler --\n\n");
    }
}
