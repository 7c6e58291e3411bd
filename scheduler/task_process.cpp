/*
 * task_process.cpp - the scheduler thread and the task functions.
 *
 * The thread waits in select on the wake-up counter and the debug pipe, for
 * at most the time to the next timer (never more than 400 ms), fires at
 * most one due timer per pass and runs the commands that arrive.  Callers
 * change the queue and write the wake-up under task_queue_lock.
 */
#include "task_process.h"
#include "task_process_internal.h"
#include "delay_queue.h"
#include "scheduler_internal.h"
#include "threadpool_internal.h"
#include "fifo.h"
#include "ctl_internal.h"
#include "trace.h"

#include <assert.h>
#include <errno.h>
#include <new>
#include <pthread.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <unistd.h>

static const DelayInterval LONGEST_WAIT(0, 400000);

/* Serialises starting and stopping. */
static lc_mutex start_lock = LC_MUTEX_INITIALIZER;
/* Guarded by start_lock: the scheduler thread exists and must be joined. */
static bool task_started = false;
static pthread_t task_thread;
/* 1 while the thread should keep going; -1 asks it to stop. */
static int32_t task_run = 1;
/* Written before the thread starts and after it has been joined; read
   meanwhile by the thread, and by callers under task_queue_lock. */
static int task_event_fd = -1;
static int task_fifo_fd = -1;
/* Guarded by task_queue_lock (and read early without it as a hint): tasks
   are taken while it is set. */
static bool task_accepting = false;
/* Set on the scheduler thread only. */
static thread_local bool on_scheduler_thread = false;

/* Guarded by task_queue_lock: the token of the one-shot task the scheduler
   thread has taken out of the queue and not yet shown to the pool (0:
   none), and the callers inside remove_task_wait, who still use gpool. */
static int32_t handing_over = 0;
static pthread_cond_t handover_done = PTHREAD_COND_INITIALIZER;
static int32_t waiting_removals = 0;
static pthread_cond_t removals_done = PTHREAD_COND_INITIALIZER;

bool lc_task_process_on_own_thread(void)
{
    return on_scheduler_thread;
}

/* Ends the scheduler's current wait.  A failed write only delays the
   change until the next time-out.  The caller holds task_queue_lock or
   is the one thread that starts and stops the scheduler. */
static void wake_scheduler(void)
{
    assert(task_queue_lock.owner.mine() || start_lock.owner.mine());
    if (task_event_fd >= 0) {
        uint64_t one = 1;
        ssize_t n = write(task_event_fd, &one, sizeof one);
        (void)n;
    }
}

/* A delay the queue can hold: whole seconds in 0..2^31-1, microseconds in
   0..999999. */
static bool delay_ok(long seconds, long useconds)
{
    return seconds >= 0 && seconds <= INT32_MAX && useconds >= 0 && useconds <= 999999;
}

static bool accepting_hint(void)
{
    return __atomic_load_n(&task_accepting, __ATOMIC_ACQUIRE);
}

/* True while tasks are taken (task_queue_lock held). */
static bool running_locked(void)
{
    assert(task_queue_lock.owner.mine());
    return task_accepting && task_queue != nullptr;
}

namespace {
/* The due timer as its hand-over needs it, read under task_queue_lock:
   once the lock is released a kept entry may be removed at any time, so
   nothing reads it again.  A one-shot entry is the scheduler's own. */
struct due_timer {
    DelayQueueEntry *once; /* the unlinked one-shot entry, else null */
    int32_t token;
    lc_pool_work work;
};
}  // namespace

/* Takes the first due timer, if any: true.  A one-shot task stays marked
   as being handed over until the pool shows it. */
static bool take_due(due_timer *due)
{
    lc_lock_guard lock(task_queue_lock);
    DelayQueueEntry *entry = task_queue != nullptr ? lc_delay_queue_take_due(task_queue) : nullptr;
    if (entry == nullptr)
        return false;
    const AlarmHandler *alarm = static_cast<AlarmHandler *>(entry);
    due->once = entry->kind == TASK_ONCE ? entry : nullptr;
    due->token = entry->token();
    due->work = lc_alarm_work(entry->kind, due->token, alarm->proc(), alarm->clientData());
    if (due->once != nullptr)
        handing_over = due->token;
    return true;
}

/* The pool shows the one-shot task, or refused it: a waiting removal can
   see which. */
static void end_handing_over(void)
{
    lc_lock_guard lock(task_queue_lock);
    handing_over = 0;
    if (waiting_removals > 0)
        pthread_cond_broadcast(&handover_done);
}

/* Hands the first due timer to gpool, without task_queue_lock; the hand-
   over may wait while the pool's list is full. */
static void fire_one(void)
{
    due_timer due;
    if (!take_due(&due))
        return;
    assert(!task_queue_lock.owner.mine());
    threadpool *pool = __atomic_load_n(&gpool, __ATOMIC_ACQUIRE);
    threadpool_task *arriving = nullptr;
    int rc = lc_threadpool_announce(pool, due.work.function, due.work.arg, due.token, &arriving);
    if (due.once != nullptr)
        end_handing_over();
    if (rc == 1)
        rc = lc_threadpool_deliver(pool, arriving);
    (void)rc;        /* a refused hand-over is dropped without a report */
    delete due.once; /* unlinked before the hand-over, destroyed after it */
}

static void add_to_set(int fd, fd_set *set, int *highest)
{
    if (fd >= 0 && fd < FD_SETSIZE) {
        FD_SET(fd, set);
        if (fd > *highest)
            *highest = fd;
    }
}

static bool ready(int fd, const fd_set *set)
{
    return fd >= 0 && fd < FD_SETSIZE && FD_ISSET(fd, set);
}

/* The time to the next timer, at most the longest wait. */
static DelayInterval next_wait(void)
{
    DelayInterval wait = LONGEST_WAIT;
    lc_lock_guard lock(task_queue_lock);
    if (task_queue != nullptr)
        wait = task_queue->timeToNextAlarm();
    return wait > LONGEST_WAIT ? LONGEST_WAIT : wait;
}

extern "C" LC_API void *task_process_main(void *)
{
    on_scheduler_thread = true;
    prctl(PR_SET_NAME, "task_process", 0, 0, 0);
    XEL_TRACE(lib, 6, "enter\n");

    fd_set watched;
    FD_ZERO(&watched);
    int highest = 0;
    add_to_set(task_event_fd, &watched, &highest);
    add_to_set(task_fifo_fd, &watched, &highest);

    while (__atomic_load_n(&task_run, __ATOMIC_ACQUIRE) != -1) {
        const DelayInterval wait = next_wait();
        struct timeval tv = {wait.seconds(), wait.useconds()};
        fd_set readable = watched;
        int most = highest;
        lc_ctl_watch(&readable, &most);
        int n = select(most + 1, &readable, nullptr, nullptr, &tv);
        if (n < 0)
            break;
        if (ready(task_event_fd, &readable)) {
            uint64_t count;
            ssize_t got = read(task_event_fd, &count, sizeof count);
            (void)got;
        }
        /* Every pass, not only after a time-out: a pipe kept readable by a
           flood of commands must not hold back timers that are due. */
        fire_one();
        if (ready(task_fifo_fd, &readable))
            fifo_handle(task_fifo_fd);
        lc_ctl_serve(&readable);
    }
    XEL_TRACE(lib, 6, "leave\n");
    return nullptr;
}

/* Drops the queue with every task in it, waits for the callers still
   inside remove_task_wait, and closes what the start opened.  The
   scheduler thread has ended (or never started). */
static void release_scheduler(void)
{
    {
        lc_lock_guard lock(task_queue_lock);
        __atomic_store_n(&task_accepting, false, __ATOMIC_RELEASE);
        delete task_queue;
        task_queue = nullptr;
        while (waiting_removals > 0)
            lock.wait(removals_done);
    }
    fifo_exit_fun(task_fifo_fd);
    task_fifo_fd = -1;
    lc_ctl_close();
    if (task_event_fd >= 0)
        close(task_event_fd);
    task_event_fd = -1;
}

extern "C" LC_API int task_process_init(void)
{
    if (on_scheduler_thread)
        return EBUSY;
    lc_lock_guard start(start_lock);
    if (task_started)
        return EBUSY;
    DelayQueue *queue = new (std::nothrow) DelayQueue();
    if (queue == nullptr)
        return ENOMEM;
    {
        lc_lock_guard lock(task_queue_lock);
        task_queue = queue;
    }
    task_event_fd = eventfd(0, EFD_CLOEXEC);
    task_fifo_fd = fifo_init_fun();
    lc_ctl_open();
    __atomic_store_n(&task_run, 1, __ATOMIC_RELEASE);

    int rc = pthread_create(&task_thread, nullptr, task_process_main, nullptr);
    if (rc != 0) {
        release_scheduler();
        return rc;
    }
    task_started = true;
    lc_lock_guard lock(task_queue_lock);
    __atomic_store_n(&task_accepting, true, __ATOMIC_RELEASE);
    return 0;
}

extern "C" LC_API int task_process_exit(void)
{
    if (on_scheduler_thread)
        return -1;
    lc_lock_guard start(start_lock);
    if (!task_started)
        return 0;
    __atomic_store_n(&task_run, -1, __ATOMIC_RELEASE);
    wake_scheduler();
    pthread_join(task_thread, nullptr);
    task_started = false;
    release_scheduler();
    return 0;
}

/* The body of the four adding functions, which differ only in the kind
   they set and the name they trace (`caller`, at `line`, called from
   `ret_address`).  The token is noted before the entry is queued: from
   then on the scheduler may fire and destroy it. */
static int add_entry(int32_t kind, lc_task_fn fn, void *arg, long seconds, long useconds, const char *caller, int line,
                     void *ret_address)
{
    if (fn == nullptr || !delay_ok(seconds, useconds) || !accepting_hint())
        return -1;
    AlarmHandler *entry = new (std::nothrow) AlarmHandler(fn, arg, DelayInterval((int32_t)seconds, (int32_t)useconds));
    if (entry == nullptr)
        return -1;
    entry->kind = kind;
    const int32_t token = entry->token();
    bool queued;
    {
        lc_lock_guard lock(task_queue_lock);
        queued = running_locked();
        if (queued) {
            task_queue->addEntry(entry);
            wake_scheduler();
        }
    }
    if (!queued) {
        delete entry;
        return -1;
    }
    if (XEL_LEVEL(lib) >= 7)
        xel_traceout(7, "[lib %s +%-4d]%p,%p,token:%d,ret_address:%p\n", caller, line, reinterpret_cast<void *>(fn),
                     arg, (int)token, ret_address);
    return token;
}

extern "C" LC_API int add_task(lc_task_fn fn, void *arg, long seconds, long useconds)
{
    return add_entry(TASK_ONCE, fn, arg, seconds, useconds, __func__, __LINE__, __builtin_return_address(0));
}

extern "C" LC_API int add_fixperiod_task(lc_task_fn fn, void *arg, long seconds, long useconds)
{
    return add_entry(TASK_FIXPERIOD, fn, arg, seconds, useconds, __func__, __LINE__, __builtin_return_address(0));
}

extern "C" LC_API int add_fixdelay_task(lc_task_fn fn, void *arg, long seconds, long useconds)
{
    return add_entry(TASK_FIXDELAY, fn, arg, seconds, useconds, __func__, __LINE__, __builtin_return_address(0));
}

extern "C" LC_API int add_nodestroy_task(lc_task_fn fn, void *arg, long seconds, long useconds)
{
    return add_entry(TASK_NODESTROY, fn, arg, seconds, useconds, __func__, __LINE__, __builtin_return_address(0));
}

extern "C" LC_API int update_task(int token, long seconds, long useconds)
{
    if (!delay_ok(seconds, useconds) || !accepting_hint())
        return -1;
    lc_lock_guard lock(task_queue_lock);
    int rc = -1;
    if (running_locked())
        rc = task_queue->updateEntry((int32_t)token, DelayInterval((int32_t)seconds, (int32_t)useconds));
    if (rc == 0)
        wake_scheduler();
    return rc;
}

/* Removes and destroys the queued task with `token`, if any, and wakes
   the scheduler in any case (task_queue_lock held). */
static void drop_entry(int32_t token)
{
    assert(running_locked());
    delete task_queue->removeEntry(token);
    wake_scheduler();
}

extern "C" LC_API int remove_task(int *token)
{
    if (token == nullptr || !accepting_hint())
        return -1;
    bool running;
    {
        lc_lock_guard lock(task_queue_lock);
        running = running_locked();
        if (running)
            drop_entry((int32_t)*token);
    }
    if (running)
        *token = 0;
    return running ? 0 : -1;
}

/* Removes the task as remove_task does and counts the caller among the
   waiting removals: false when the scheduler does not run.  Then waits
   while the scheduler hands the task's one-shot run to the pool, until
   the pool shows it, where it can be taken back. */
static bool begin_removal(int32_t token, threadpool **pool)
{
    lc_lock_guard lock(task_queue_lock);
    if (!running_locked())
        return false;
    drop_entry(token);
    waiting_removals++;
    while (token != 0 && handing_over == token)
        lock.wait(handover_done);
    *pool = __atomic_load_n(&gpool, __ATOMIC_ACQUIRE);
    return true;
}

static void end_removal(void)
{
    lc_lock_guard lock(task_queue_lock);
    if (--waiting_removals == 0)
        pthread_cond_broadcast(&removals_done);
}

extern "C" LC_API int remove_task_wait(int *token)
{
    if (token == nullptr)
        return -1;
    const int32_t id = (int32_t)*token;
    /* The scheduler thread hands the runs over, and a run cannot wait for
       itself. */
    if (on_scheduler_thread || (id > 0 && lc_threadpool_runs_tag(id))) {
        remove_task(token);
        return -1;
    }
    threadpool *pool = nullptr;
    if (!accepting_hint() || !begin_removal(id, &pool))
        return -1;
    *token = 0;
    if (id > 0 && pool != nullptr)
        lc_threadpool_cancel_tag(pool, id);
    end_removal();
    return 0;
}
