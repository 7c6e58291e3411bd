/*
 * threadpool.cpp - worker threads, the pending-task list, the adjusting
 * step, synchronous submission, tagged hand-overs and destruction.
 *
 * Lock order: task_lock before count_lock, never the other way round.  No
 * task function is ever called with a lock held, and no trace is made with
 * task_lock held (a trace may reach syslog; the workers must not wait for
 * it).  Traces made here on behalf of an exported function carry that
 * function's name and the line of its call.
 */
#include "threadpool.h"
#include "threadpool_internal.h"
#include "lc_lock_internal.h"
#include "trace.h"

#include <assert.h>
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

/* XEL_TRACE for the exported function `func`, whose call at `line` led
   here. */
#define TRACE_FOR(func, line, lvl, fmt, ...)                                          \
    do {                                                                              \
        if (XEL_LEVEL(lib) >= (lvl))                                                  \
            xel_traceout((lvl), "[lib %s +%-4d]" fmt, (func), (line), ##__VA_ARGS__); \
    } while (0)

namespace {
struct pool_impl;

/* A run under way on a worker.  Runs nest when a task waits for a tagged
   one and runs it itself (lc_threadpool_wait_tag). */
struct run_mark {
    int32_t tag;
    run_mark *below;
};

/* What a worker is started with: its pool, a flag it raises as its last
   act, and its runs.  pthread_kill(thread, 0) cannot tell an ended worker
   from a live one (glibc answers 0 until the thread is joined), so the flag
   is what tells the adjusting step that a slot can be joined and reused. */
struct worker_slot {
    pool_impl *pool;
    int32_t ended;
    run_mark *runs; /* innermost first; written by the worker under task_lock */
};

/* A task record as the pool allocates it. */
struct task_impl {
    threadpool_task pub;
    int32_t tag;     /* 0: none */
    bool claimed;    /* taken by a waiter to run itself (task_lock) */
    bool wake_after; /* synchronous: its submitter signals task_ready once
                        task_lock is released (set under task_lock) */
};

/* The pool as allocated: the public record first, so that a threadpool
   pointer is a pool_impl pointer, followed by what only this file sees. */
struct pool_impl {
    threadpool pub;
    worker_slot *slots;       /* parallel to pub.threads */
    threadpool_task arriving; /* sentinel: submissions waiting for room, and
                                 announced ones (task_lock) */
    pthread_cond_t run_done;  /* a tagged run ended, or a visitor left a
                                 pool that shuts down */
    int32_t tag_waiters;      /* threads in lc_threadpool_wait_tag (task_lock) */
    bool room_told;           /* not_full was broadcast since the last
                                 submitter began to wait (task_lock) */
    int32_t idle;             /* workers waiting on task_ready (task_lock) */
    int32_t woken;            /* signals of task_ready that no worker has
                                 woken from yet, at most `idle` (task_lock) */
    int32_t sync_made;        /* mutexes and conditions initialised so far */
    lc_lock_owner task_owner;
    lc_lock_owner count_owner;
};

/* Where a submission stands. */
enum add_state { ADD_QUEUED, ADD_FULL, ADD_CLAIMED, ADD_CLOSED };

/* The list's figures shown while a submitter waits for room. */
struct list_view {
    int32_t pending;
    int32_t shutdown;
};
}  // namespace

/* The calling thread's slot when it is a worker. */
static thread_local worker_slot *this_worker = nullptr;

static pool_impl *impl_of(threadpool *pool)
{
    return reinterpret_cast<pool_impl *>(pool);
}

static task_impl *task_of(threadpool_task *task)
{
    return reinterpret_cast<task_impl *>(task);
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

/* task_lock for a scope; never taken while count_lock is held. */
static lc_lock_guard hold_tasks(pool_impl *impl)
{
    assert(!impl->count_owner.mine());
    assert(!impl->task_owner.mine());
    return lc_lock_guard(impl->pub.task_lock, impl->task_owner);
}

static lc_lock_guard hold_counts(pool_impl *impl)
{
    assert(!impl->count_owner.mine());
    return lc_lock_guard(impl->pub.count_lock, impl->count_owner);
}

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

/* ---- Lists: circular, threaded through the records' link nodes; a record
   in no list is linked to itself.  The newest end is right after the
   sentinel, the oldest right before it.  Callers hold task_lock. */

static bool list_empty(const threadpool_task *sentinel)
{
    return sentinel->next == sentinel;
}

static void link_newest(threadpool_task *sentinel, threadpool_task *task)
{
    task->next = sentinel->next;
    task->prev = sentinel;
    sentinel->next->prev = task;
    sentinel->next = task;
}

static void unlink_task(threadpool_task *task)
{
    task->prev->next = task->next;
    task->next->prev = task->prev;
    task->next = task->prev = task;
}

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

/* The oldest record of a list that carries `tag`, or null. */
static task_impl *find_tagged(threadpool_task *sentinel, int32_t tag)
{
    for (threadpool_task *t = sentinel->prev; t != sentinel; t = t->prev)
        if (task_of(t)->tag == tag)
            return task_of(t);
    return nullptr;
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

/* A record for `function` and `arg`, linked to itself; with `sync`, with
   its two event counters.  Null when any part cannot be made. */
static task_impl *new_task(lc_task_fn function, void *arg, bool sync, int32_t tag)
{
    task_impl *task = static_cast<task_impl *>(calloc(1, sizeof *task));
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

/* Releases a record that no worker got: closes its counters unused. */
static void discard_task(task_impl *task)
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

/* Pushes a run of `task` on the worker (task_lock held), taking the task
   out of its list.  True when a submitter waits for the room this makes
   and has not been told of room since it began to wait: the caller then
   broadcasts not_full.  Nobody else waits on not_full, and one broadcast
   wakes every submitter then waiting, so the others would wake nobody. */
static bool begin_run(pool_impl *impl, worker_slot *ws, task_impl *task, run_mark *mark)
{
    assert(impl->task_owner.mine());
    unlink_task(&task->pub);
    mark->tag = task->tag;
    mark->below = ws->runs;
    ws->runs = mark;
    if (list_empty(&impl->arriving) || impl->room_told)
        return false;
    impl->room_told = true;
    return true;
}

/* Pops the worker's innermost run, if any (task_lock held), and tells
   whoever waits for tagged runs. */
static void end_run(pool_impl *impl, worker_slot *ws)
{
    assert(impl->task_owner.mine());
    run_mark *run = ws->runs;
    if (run == nullptr)
        return;
    ws->runs = run->below;
    if (run->tag != 0 && impl->tag_waiters > 0)
        pthread_cond_broadcast(&impl->run_done);
}

/* Whether an idle worker leaves (task_lock held): when the pool shuts
   down, or on a request to leave while more than `min` workers live (a
   request is consumed all the same).  A leaving worker is taken off
   `live`; *live_left gets what remains. */
static bool leaves(pool_impl *impl, int32_t *live_left)
{
    assert(impl->task_owner.mine());
    threadpool *pool = &impl->pub;
    lc_lock_guard counts = hold_counts(impl);
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
static void wait_for_task(pool_impl *impl, lc_lock_guard &lock)
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
static task_impl *take_next(worker_slot *ws, run_mark *mark, int32_t *live_left, bool *tell_room)
{
    pool_impl *impl = ws->pool;
    threadpool *pool = &impl->pub;
    lc_lock_guard lock = hold_tasks(impl);
    end_run(impl, ws);
    bool leave = false;
    while (!leave && !pool->shutdown && list_empty(pool->task_list)) {
        leave = leaves(impl, live_left);
        if (!leave)
            wait_for_task(impl, lock);
    }
    if (!leave && pool->shutdown) /* pending tasks are not run */
        leave = leaves(impl, live_left);
    task_impl *task = nullptr;
    if (!leave) {
        task = task_of(pool->task_list->prev);
        *tell_room = begin_run(impl, ws, task, mark);
    }
    return task;
}

/* take_next, then the broadcast of not_full after task_lock is released: a
   submitter woken while the worker still held the lock would only block
   on it again and need a second wake-up.  The worker's pool outlives the
   broadcast: it is released only after every worker has been joined. */
static task_impl *next_task(worker_slot *ws, run_mark *mark, int32_t *live_left)
{
    bool tell_room = false;
    task_impl *task = take_next(ws, mark, live_left, &tell_room);
    if (tell_room)
        pthread_cond_broadcast(&ws->pool->pub.not_full);
    return task;
}

static void count_busy(pool_impl *impl, int32_t delta)
{
    lc_lock_guard counts = hold_counts(impl);
    impl->pub.busy += delta;
}

/* Runs a task on the calling worker and releases its record when `owned`
   (else its submitter does); the start and end traces, with the print-task
   switch on, name `func` and `line`.  No lock held. */
static void run_task(pool_impl *impl, lc_task_fn function, void *arg, task_impl *owned, const char *func, int line)
{
    assert(!impl->task_owner.mine());
    assert(!impl->count_owner.mine());
    (void)impl; /* read by the checks of debug builds only */
    const bool print = lc_threadpool_print_task_get() != 0;
    if (print)
        TRACE_FOR(func, line, 6, "thread 0x%x start working fun:0x%x arg:%p\n\n", word_of(pthread_self()),
                  word_of(function), arg);
    function(arg);
    if (owned != nullptr)
        threadpool_task_free(&owned->pub);
    if (print)
        TRACE_FOR(func, line, 6, "thread 0x%x end working \n\n", word_of(pthread_self()));
}

static void *threadpool_thread(void *arg)
{
    worker_slot *ws = static_cast<worker_slot *>(arg);
    pool_impl *impl = ws->pool;
    this_worker = ws;
    prctl(PR_SET_NAME, "threadpool_worker", 0, 0, 0);

    run_mark mark;
    int32_t live_left = 0;
    task_impl *task;
    while ((task = next_task(ws, &mark, &live_left)) != nullptr) {
        count_busy(impl, 1);
        run_task(impl, task->pub.function, task->pub.arg, task, __func__, __LINE__);
        count_busy(impl, -1);
    }
    XEL_TRACE(lib, 7, "thread 0x%x is exiting(live:%d) \n\n", word_of(pthread_self()), live_left);
    __atomic_store_n(&ws->ended, 1, __ATOMIC_RELEASE);
    return nullptr;
}

static bool thread_alive(pool_impl *impl, int32_t slot)
{
    return __atomic_load_n(&impl->slots[slot].ended, __ATOMIC_ACQUIRE) == 0;
}

/* Starts a worker into `slot`, which is free; the handle is stored only on
   success. */
static bool start_worker(pool_impl *impl, int32_t slot)
{
    assert(slot >= 0 && slot < impl->pub.max);
    assert(impl->pub.threads[slot] == 0);
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
    assert(slot >= 0 && slot < pool->max);
    pthread_join(pool->threads[slot], nullptr);
    pool->threads[slot] = 0;
}

/* ---- Creation and release */

/* Initialises the pool's mutexes and conditions in order, counting them in
   sync_made, up to the first failure. */
static bool init_sync(pool_impl *impl)
{
    threadpool *pool = &impl->pub;
    return pthread_mutex_init(&pool->task_lock, nullptr) == 0 && ++impl->sync_made &&
           pthread_mutex_init(&pool->count_lock, nullptr) == 0 && ++impl->sync_made &&
           pthread_cond_init(&pool->task_ready, nullptr) == 0 && ++impl->sync_made &&
           pthread_cond_init(&pool->not_full, nullptr) == 0 && ++impl->sync_made &&
           pthread_cond_init(&impl->run_done, nullptr) == 0 && ++impl->sync_made;
}

/* Releases whatever a pool record holds, also one made only in part: the
   tasks still pending (without running them; a synchronous submitter of
   one is released as if it had run), the lists, the tables, the mutexes
   and conditions that were made.  No worker is left. */
static void free_pool(pool_impl *impl)
{
    threadpool *pool = &impl->pub;
    threadpool_task *sentinel = pool->task_list;
    while (sentinel != nullptr && !list_empty(sentinel)) {
        threadpool_task *task = sentinel->prev;
        unlink_task(task);
        threadpool_task_free(task);
    }
    const int32_t made = impl->sync_made;
    if (made > 4)
        pthread_cond_destroy(&impl->run_done);
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
static pool_impl *new_pool(int32_t min, int32_t max, int32_t queue_max, const char **failure)
{
    pool_impl *impl = static_cast<pool_impl *>(calloc(1, sizeof *impl));
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
    impl->slots = static_cast<worker_slot *>(calloc(static_cast<size_t>(max), sizeof(worker_slot)));
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
    pool_impl *impl = new_pool(min < max ? min : max, max, queue_max, &failure);
    if (failure != nullptr && XEL_LEVEL(lib) >= 7)
        xel_traceout(7, "[lib %s +%-4d]%s", __func__, __LINE__, failure);
    if (impl == nullptr)
        return nullptr;

    /* Only workers that really started are counted: one that is counted
       but never ran could not end, and destruction would wait for it. */
    threadpool *pool = &impl->pub;
    int32_t started = 0;
    for (int32_t i = 0; i < pool->min; i++) {
        if (!start_worker(impl, i))
            continue;
        started++;
        XEL_TRACE(lib, 7, "start thread %d 0x%x... \n\n", i, word_of(pool->threads[i]));
    }
    {
        lc_lock_guard counts = hold_counts(impl);
        pool->live = started;
    }
    XEL_TRACE(lib, 6, "leave %p\n", static_cast<void *>(pool));
    return pool;
}

/* ---- Submission */

/* A waiting submitter or a tag waiter left (task_lock held): the
   destroying thread waits for the last one. */
static void visitor_left(pool_impl *impl)
{
    if (impl->pub.shutdown)
        pthread_cond_broadcast(&impl->run_done);
}

/* Whether a task just added is to wake an idle worker (task_lock held):
   not when every idle worker already has a wake-up coming, for a signal
   then wakes nobody more, and glibc's signal may even block until those
   workers have run.  Each added task still wakes an idle worker when there
   is one.  True counts the wake-up as coming: the caller signals. */
static bool wake_due(pool_impl *impl)
{
    assert(impl->task_owner.mine());
    if (impl->idle <= impl->woken)
        return false;
    impl->woken++;
    return true;
}

/* Signals task_ready for a task just added, when due.  A synchronous
   task's submitter signals only after releasing task_lock: a worker woken
   while it still held the lock would block on it at once and need a
   second wake-up.  That late signal cannot reach a released pool: the
   record, and with it the pool, is released only after the submitter's
   acknowledgement, which comes later still. */
static void wake_worker(pool_impl *impl, task_impl *task)
{
    const bool due = wake_due(impl);
    if (task->pub.sync)
        task->wake_after = due;
    else if (due)
        pthread_cond_signal(&impl->pub.task_ready);
}

/* One look at the list for `task` (task_lock held).  There is room: the
   task goes to the newest end and one worker is woken.  The list is full:
   the task waits among the arriving.  A waiter took it to run it itself,
   or the pool shuts down: the task is in no list, and its submitter
   releases it. */
static add_state try_queue(pool_impl *impl, task_impl *task)
{
    assert(impl->task_owner.mine());
    threadpool *pool = &impl->pub;
    if (task->claimed)
        return ADD_CLAIMED;
    if (!pool->shutdown && list_full(pool)) {
        if (task->pub.next == &task->pub)
            link_newest(&impl->arriving, &task->pub);
        return ADD_FULL;
    }
    unlink_task(&task->pub);
    if (pool->shutdown) {
        visitor_left(impl);
        return ADD_CLOSED;
    }
    link_newest(pool->task_list, &task->pub);
    wake_worker(impl, task);
    return ADD_QUEUED;
}

/* Looks at the list for `task` and waits while it is full, but returns
   ADD_FULL before a wait that is to be traced, unless `traced` says the
   caller has just traced it; *view then gets the figures for the next
   trace.  Takes and releases task_lock. */
static add_state look(pool_impl *impl, task_impl *task, bool traced, list_view *view)
{
    lc_lock_guard lock = hold_tasks(impl);
    add_state state = try_queue(impl, task);
    while (state == ADD_FULL && (traced || XEL_LEVEL(lib) < 6)) {
        impl->room_told = false;
        lock.wait(impl->pub.not_full);
        traced = false;
        state = try_queue(impl, task);
    }
    if (state == ADD_FULL)
        *view = {pending_count(&impl->pub, INT32_MAX), impl->pub.shutdown};
    return state;
}

/* Queues `task`, waiting without limit while the list is full and tracing
   each wait for `func` at `line`: true; false when the pool shuts down.
   The record belongs to the pool's worker once queued; otherwise it is
   released here.  While it waits among the arriving the pool cannot be
   released under it. */
static bool queue_task(pool_impl *impl, task_impl *task, const char *func, int line)
{
    list_view view = {0, 0};
    add_state state = look(impl, task, false, &view);
    while (state == ADD_FULL) {
        TRACE_FOR(func, line, 6, "threadpool_task_size:%d shutdown:%d\n", view.pending, view.shutdown);
        state = look(impl, task, true, &view);
    }
    if (state != ADD_QUEUED)
        discard_task(task);
    return state != ADD_CLOSED;
}

/* Traces a submission while the add-trace countdown runs; the count goes
   down also when the level hides the trace or the call is refused. */
static void trace_addition(const char *func, int line, lc_task_fn function, void *arg)
{
    if (take_add_trace_count())
        TRACE_FOR(func, line, 6, "function:%p arg:%p\n", reinterpret_cast<void *>(function), arg);
}

/* The record is made before the lock is taken, which keeps the critical
   section short; a submission that is then refused releases it again. */
extern "C" LC_API int _threadpool_add_task(threadpool *pool, int sync, lc_task_fn function, void *arg)
{
    trace_addition(__func__, __LINE__, function, arg);
    if (function == nullptr || pool == nullptr)
        return -1;
    task_impl *task = new_task(function, arg, sync != 0, 0);
    if (task == nullptr)
        return -1;
    const int done_fd = task->pub.done_fd, ack_fd = task->pub.ack_fd;
    if (!queue_task(impl_of(pool), task, __func__, __LINE__))
        return -1;
    if (sync) {
        /* The task belongs to the worker now, but stays until the
           acknowledgement: its wake_after, which only this thread writes,
           is still there to read, and the worker keeps the descriptors
           open. */
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

/* The scheduler's hand-over is a threadpool_add_task made in two steps;
   its traces carry that body's name. */
int lc_threadpool_announce(threadpool *pool, lc_task_fn function, void *arg, int32_t tag, threadpool_task **arriving)
{
    trace_addition("_threadpool_add_task", __LINE__, function, arg);
    if (function == nullptr || pool == nullptr)
        return -1;
    task_impl *task = new_task(function, arg, false, tag);
    if (task == nullptr)
        return -1;
    pool_impl *impl = impl_of(pool);
    add_state state;
    {
        lc_lock_guard lock = hold_tasks(impl);
        state = try_queue(impl, task);
    }
    if (state == ADD_CLOSED)
        discard_task(task);
    *arriving = state == ADD_FULL ? &task->pub : nullptr;
    return state == ADD_CLOSED ? -1 : state == ADD_FULL;
}

int lc_threadpool_deliver(threadpool *pool, threadpool_task *task)
{
    return queue_task(impl_of(pool), task_of(task), "_threadpool_add_task", __LINE__) ? 0 : -1;
}

/* ---- Waiting for tagged runs */

static bool tag_running(const pool_impl *impl, int32_t tag)
{
    for (int32_t i = 0; i < impl->pub.max; i++)
        for (const run_mark *run = impl->slots[i].runs; run != nullptr; run = run->below)
            if (run->tag == tag)
                return true;
    return false;
}

/* A task tagged `tag` that would still run: pending, or announced or
   waiting for room (then *arriving is set).  None once the pool shuts
   down.  Caller holds task_lock. */
static task_impl *find_queued(pool_impl *impl, int32_t tag, bool *arriving)
{
    task_impl *task = nullptr;
    if (!impl->pub.shutdown) {
        task = find_tagged(impl->pub.task_list, tag);
        *arriving = task == nullptr;
        if (task == nullptr)
            task = find_tagged(&impl->arriving, tag);
    }
    return task;
}

namespace {
/* A run that a waiting worker makes itself. */
struct claimed_run {
    lc_task_fn function;
    void *arg;
    task_impl *owned; /* the record, when the runner releases it */
};
}  // namespace

/* Waits until no task tagged `tag` runs (and, with pending_too, none is
   queued), or until the worker `own` may run a queued one itself: true,
   with the task claimed, marked as run on `own` and copied to *run.  A
   record claimed from among the arriving stays its submitter's, who sees
   the claim and releases it.  False when the wait is over.  Takes and
   releases task_lock. */
static bool await_tag(pool_impl *impl, worker_slot *own, int32_t tag, bool pending_too, run_mark *mark,
                      claimed_run *run)
{
    lc_lock_guard lock = hold_tasks(impl);
    for (;;) {
        bool arriving = false;
        task_impl *queued = pending_too ? find_queued(impl, tag, &arriving) : nullptr;
        if (queued != nullptr && own != nullptr) {
            *run = {queued->pub.function, queued->pub.arg, arriving ? nullptr : queued};
            const bool tell_room = begin_run(impl, own, queued, mark);
            queued->claimed = arriving;
            if (arriving || tell_room) /* its submitter waits there */
                pthread_cond_broadcast(&impl->pub.not_full);
            return true;
        }
        if (queued == nullptr && !tag_running(impl, tag))
            return false;
        lock.wait(impl->run_done);
    }
}

static void change_tag_waiters(pool_impl *impl, int32_t delta)
{
    lc_lock_guard lock = hold_tasks(impl);
    impl->tag_waiters += delta;
    if (delta < 0)
        visitor_left(impl);
}

static void end_claimed_run(pool_impl *impl, worker_slot *own)
{
    lc_lock_guard lock = hold_tasks(impl);
    end_run(impl, own);
}

void lc_threadpool_wait_tag(threadpool *pool, int32_t tag, bool pending_too, const char *func, int line)
{
    pool_impl *impl = impl_of(pool);
    worker_slot *own = this_worker != nullptr && this_worker->pool == impl ? this_worker : nullptr;
    change_tag_waiters(impl, 1);
    run_mark mark;
    claimed_run run;
    while (await_tag(impl, own, tag, pending_too, &mark, &run)) {
        run_task(impl, run.function, run.arg, run.owned, func, line);
        end_claimed_run(impl, own);
    }
    change_tag_waiters(impl, -1);
}

bool lc_threadpool_runs_tag(int32_t tag)
{
    const worker_slot *ws = this_worker;
    for (const run_mark *run = ws != nullptr ? ws->runs : nullptr; run != nullptr; run = run->below)
        if (run->tag == tag)
            return true;
    return false;
}

/* ---- Statistics, the adjusting step, destruction */

extern "C" LC_API int threadpool_task_size_lock(threadpool *pool)
{
    if (pool == nullptr)
        return -1;
    lc_lock_guard lock = hold_tasks(impl_of(pool));
    return pending_count(pool, INT32_MAX);
}

/* min and limit change under count_lock, where the workers and the
   adjusting step read them. */
extern "C" LC_API int threadpool_adjust_limit(threadpool *pool, int limit)
{
    if (pool == nullptr || limit < 0 || limit > pool->max)
        return -1;
    lc_lock_guard counts = hold_counts(impl_of(pool));
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

static pool_snapshot take_snapshot(pool_impl *impl)
{
    pool_snapshot s;
    {
        lc_lock_guard lock = hold_tasks(impl);
        s.pending = pending_count(&impl->pub, INT32_MAX);
    }
    lc_lock_guard counts = hold_counts(impl);
    s.busy = impl->pub.busy;
    s.live = impl->pub.live;
    s.limit = impl->pub.limit;
    s.min = impl->pub.min;
    return s;
}

/* Joins the workers that have ended, freeing their slots. */
static void reap(pool_impl *impl)
{
    for (int32_t i = 0; i < impl->pub.max; i++)
        if (impl->pub.threads[i] != 0 && !thread_alive(impl, i))
            join_slot(&impl->pub, i);
}

/* Sets the requests to leave and wakes the idle workers to read them.
   Under task_lock, so that no idle worker can be between its test and its
   wait and miss the broadcast. */
static void ask_to_leave(pool_impl *impl, int32_t leaving)
{
    lc_lock_guard lock = hold_tasks(impl);
    {
        lc_lock_guard counts = hold_counts(impl);
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
    pool_impl *impl = impl_of(pool);
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
                join_slot(pool, i); /* ended since the reaping pass */
            if (!start_worker(impl, i))
                continue;
            added++;
            XEL_TRACE(lib, 7, "new thread 0x%x-----------------------\n\n", word_of(pool->threads[i]));
        }
        lc_lock_guard counts = hold_counts(impl);
        pool->live += added;
    }

    if (s.live > 2 * s.busy && s.live > s.min) {
        ask_to_leave(impl, s.live - s.min < MAX_STEP ? s.live - s.min : MAX_STEP);
        XEL_TRACE(lib, 7, "admin cler --\n\n");
    }
}

/* shutdown is set under task_lock: a worker tests it under that lock
   before every wait, so one broadcast reaches every idle worker, and busy
   ones see it when their task is done.  Submitters waiting for room and
   tag waiters are woken too. */
static void begin_shutdown(pool_impl *impl)
{
    lc_lock_guard lock = hold_tasks(impl);
    impl->pub.shutdown = 1;
    pthread_cond_broadcast(&impl->pub.task_ready);
    pthread_cond_broadcast(&impl->pub.not_full);
    pthread_cond_broadcast(&impl->run_done);
}

/* Waits until no submitter waits for room and no thread waits for tagged
   runs: they still use the pool's lock. */
static void wait_visitors_gone(pool_impl *impl)
{
    lc_lock_guard lock = hold_tasks(impl);
    while (!list_empty(&impl->arriving) || impl->tag_waiters > 0)
        lock.wait(impl->run_done);
}

/* Joining the workers replaces polling their count. */
extern "C" LC_API int threadpool_destroy(threadpool *pool)
{
    if (pool == nullptr)
        return -1;
    XEL_TRACE(lib, 6, "enter %p\n", static_cast<void *>(pool));
    pool_impl *impl = impl_of(pool);
    begin_shutdown(impl);
    for (int32_t i = 0; i < pool->max; i++)
        if (pool->threads[i] != 0)
            join_slot(pool, i);
    wait_visitors_gone(impl);
    free_pool(impl);
    return 0;
}
