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
#include "fifo.h"
#include "trace.h"
#include "mutex_guard_internal.h"

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
static pthread_mutex_t start_lock = PTHREAD_MUTEX_INITIALIZER;
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

bool task_process_on_own_thread(void)
{
    return on_scheduler_thread;
}

/* Ends the scheduler's current wait.  A failed write only delays the
   change until the next time-out.  The caller holds task_queue_lock or
   is the one thread that starts and stops the scheduler. */
static void wake_scheduler(void)
{
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

/* Fires the first due timer, if any. */
static void fire_one(void)
{
    MutexGuard lock(task_queue_lock);
    if (task_queue != nullptr)
        task_queue->handleAlarm();
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
        DelayInterval wait = LONGEST_WAIT;
        {
            MutexGuard lock(task_queue_lock);
            if (task_queue != nullptr)
                wait = task_queue->timeToNextAlarm();
        }
        if (wait > LONGEST_WAIT)
            wait = LONGEST_WAIT;
        struct timeval tv = {wait.seconds(), wait.useconds()};
        fd_set readable = watched;
        int n = select(highest + 1, &readable, nullptr, nullptr, &tv);
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
    }
    XEL_TRACE(lib, 6, "leave\n");
    return nullptr;
}

/* Drops the queue with every task in it and closes what the start opened.
   The scheduler thread has ended (or never started). */
static void release_scheduler(void)
{
    {
        MutexGuard lock(task_queue_lock);
        __atomic_store_n(&task_accepting, false, __ATOMIC_RELEASE);
        DelayQueue *queue = task_queue;
        __atomic_store_n(&task_queue, static_cast<DelayQueue *>(nullptr), __ATOMIC_RELEASE);
        delete queue;
    }
    fifo_exit_fun(task_fifo_fd);
    task_fifo_fd = -1;
    if (task_event_fd >= 0)
        close(task_event_fd);
    task_event_fd = -1;
}

extern "C" LC_API int task_process_init(void)
{
    if (on_scheduler_thread)
        return EBUSY;
    MutexGuard start(start_lock);
    if (task_started)
        return EBUSY;
    DelayQueue *queue = new (std::nothrow) DelayQueue();
    if (queue == nullptr)
        return ENOMEM;
    {
        MutexGuard lock(task_queue_lock);
        __atomic_store_n(&task_queue, queue, __ATOMIC_RELEASE);
    }
    task_event_fd = eventfd(0, EFD_CLOEXEC);
    task_fifo_fd = fifo_init_fun();
    __atomic_store_n(&task_run, 1, __ATOMIC_RELEASE);

    int rc = pthread_create(&task_thread, nullptr, task_process_main, nullptr);
    if (rc != 0) {
        release_scheduler();
        return rc;
    }
    task_started = true;
    MutexGuard lock(task_queue_lock);
    __atomic_store_n(&task_accepting, true, __ATOMIC_RELEASE);
    return 0;
}

extern "C" LC_API int task_process_exit(void)
{
    if (on_scheduler_thread)
        return -1;
    MutexGuard start(start_lock);
    if (!task_started)
        return 0;
    __atomic_store_n(&task_run, -1, __ATOMIC_RELEASE);
    wake_scheduler();
    pthread_join(task_thread, nullptr);
    task_started = false;
    release_scheduler();
    return 0;
}

/* The body of the four adding functions.  The token is noted before the
   entry is queued: from then on the scheduler may fire and destroy it. */
static int add_entry(int32_t kind, lc_task_fn fn, void *arg, long seconds, long useconds,
                     const char *caller, int line, void *ret_address)
{
    if (fn == nullptr || !delay_ok(seconds, useconds) || !accepting_hint())
        return -1;
    AlarmHandler *entry = new (std::nothrow)
        AlarmHandler(fn, arg, DelayInterval((int32_t)seconds, (int32_t)useconds));
    if (entry == nullptr)
        return -1;
    entry->kind = kind;
    const int32_t token = entry->token();
    {
        MutexGuard lock(task_queue_lock);
        if (!task_accepting || task_queue == nullptr) {
            delete entry;
            return -1;
        }
        task_queue->addEntry(entry);
        wake_scheduler();
    }
    if (XEL_LEVEL(lib) >= 7)
        xel_traceout(7, "[lib %s +%-4d]%p,%p,token:%d,ret_address:%p\n", caller, line,
                     reinterpret_cast<void *>(fn), arg, (int)token, ret_address);
    return token;
}

/* The four adding functions differ only in the kind they set and the name
   they trace. */
#define LC_ADD_FUNCTION(name, kind)                                                     \
    extern "C" LC_API int name(lc_task_fn fn, void *arg, long seconds, long useconds)   \
    {                                                                                   \
        return add_entry(kind, fn, arg, seconds, useconds, __func__, __LINE__,          \
                         __builtin_return_address(0));                                  \
    }

LC_ADD_FUNCTION(add_task, TASK_ONCE)
LC_ADD_FUNCTION(add_fixperiod_task, TASK_FIXPERIOD)
LC_ADD_FUNCTION(add_fixdelay_task, TASK_FIXDELAY)
LC_ADD_FUNCTION(add_nodestroy_task, TASK_NODESTROY)

extern "C" LC_API int update_task(int token, long seconds, long useconds)
{
    if (!delay_ok(seconds, useconds) || !accepting_hint())
        return -1;
    MutexGuard lock(task_queue_lock);
    if (!task_accepting || task_queue == nullptr)
        return -1;
    int rc = task_queue->updateEntry((int32_t)token, DelayInterval((int32_t)seconds, (int32_t)useconds));
    if (rc == 0)
        wake_scheduler();
    return rc;
}

extern "C" LC_API int remove_task(int *token)
{
    if (token == nullptr || !accepting_hint())
        return -1;
    {
        MutexGuard lock(task_queue_lock);
        if (!task_accepting || task_queue == nullptr)
            return -1;
        delete task_queue->removeEntry((int32_t)*token);
        wake_scheduler();
    }
    *token = 0;
    return 0;
}
