/*
 * threadpool_record_internal.h - the pool record as the pool's own files
 * see it: threadpool.cpp (the list, the workers, submission and the
 * adjusting step), threadpool_life.cpp (creation and destruction) and
 * threadpool_tags.cpp (tagged hand-overs and their waiting).  Not installed; nothing here is exported.
 *
 * Lock order: task_lock before count_lock, never the other way round.
 */
#ifndef LC_THREADPOOL_RECORD_INTERNAL_H
#define LC_THREADPOOL_RECORD_INTERNAL_H

#include "threadpool.h"
#include "lc_lock_internal.h"

#include <assert.h>
#include <stdint.h>

struct lc_pool;

/* What a worker is started with: its pool, a flag it raises as its last
   act, and the tag of its run under way.  pthread_kill(thread, 0) cannot
   tell an ended worker from a live one (glibc answers 0 until the thread is
   joined), so the flag is what tells the adjusting step that a slot can be
   joined and reused. */
struct lc_pool_worker {
    lc_pool *pool;
    int32_t ended;
    int32_t tag; /* of the run under way; 0: none, or untagged (task_lock) */
};

/* A task record as the pool allocates it. */
struct lc_pool_task {
    threadpool_task pub;
    int32_t tag;     /* 0: none */
    bool cancelled;  /* taken back while waiting for room; its submitter
                       releases it (task_lock) */
    bool wake_after; /* synchronous: its submitter signals task_ready once
                        task_lock is released (set under task_lock) */
};

/* The pool as allocated: the public record first, so that a threadpool
   pointer is an lc_pool pointer, followed by what only the pool sees. */
struct lc_pool {
    threadpool pub;
    lc_pool_worker *slots;    /* parallel to pub.threads */
    threadpool_task arriving; /* sentinel: submissions waiting for room, and
                                 announced ones (task_lock) */
    pthread_cond_t changed;   /* a tagged run ended, or a visitor left a
                                 pool that shuts down */
    int32_t tag_waiters;      /* threads waiting for tagged runs (task_lock) */
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
enum lc_add_state { LC_ADD_QUEUED, LC_ADD_FULL, LC_ADD_CANCELLED, LC_ADD_CLOSED };

static inline lc_pool *lc_pool_of(threadpool *pool)
{
    return reinterpret_cast<lc_pool *>(pool);
}

static inline lc_pool_task *lc_pool_task_of(threadpool_task *task)
{
    return reinterpret_cast<lc_pool_task *>(task);
}

/* task_lock for a scope; never taken while count_lock is held. */
static inline lc_lock_guard lc_pool_hold_tasks(lc_pool *impl)
{
    assert(!impl->count_owner.mine());
    assert(!impl->task_owner.mine());
    return lc_lock_guard(impl->pub.task_lock, impl->task_owner);
}

static inline lc_lock_guard lc_pool_hold_counts(lc_pool *impl)
{
    assert(!impl->count_owner.mine());
    return lc_lock_guard(impl->pub.count_lock, impl->count_owner);
}

/* A thread handle or code address as the traces print it. */
static inline unsigned lc_pool_word_of(pthread_t thread)
{
    return static_cast<unsigned>(thread);
}
static inline unsigned lc_pool_word_of(lc_task_fn fn)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(fn));
}

/* Starts a worker into `slot`, which is free: true, with its handle
   stored. */
bool lc_pool_start_worker(lc_pool *impl, int32_t slot);

/* Joins the worker of `slot` and frees the slot. */
static inline void lc_pool_join_slot(threadpool *pool, int32_t slot)
{
    assert(slot >= 0 && slot < pool->max);
    pthread_join(pool->threads[slot], nullptr);
    pool->threads[slot] = 0;
}

/* Lists: circular, threaded through the records' link nodes; a record in
   no list is linked to itself.  The newest end is right after the
   sentinel, the oldest right before it.  Callers hold task_lock. */
static inline bool lc_pool_list_empty(const threadpool_task *sentinel)
{
    return sentinel->next == sentinel;
}
static inline void lc_pool_link_newest(threadpool_task *sentinel, threadpool_task *task)
{
    task->next = sentinel->next;
    task->prev = sentinel;
    sentinel->next->prev = task;
    sentinel->next = task;
}
static inline void lc_pool_unlink(threadpool_task *task)
{
    task->prev->next = task->next;
    task->next->prev = task->prev;
    task->next = task->prev = task;
}

/* A record for `function` and `arg`, linked to itself; with `sync`, with
   its two event counters.  Null when any part cannot be made. */
lc_pool_task *lc_pool_new_task(lc_task_fn function, void *arg, bool sync, int32_t tag);
/* Releases a record that no worker got: closes its counters unused. */
void lc_pool_discard_task(lc_pool_task *task);

/* Traces a submission for `func` at `line` while the add-trace countdown
   runs. */
void lc_pool_trace_addition(const char *func, int line, lc_task_fn function, void *arg);

/* One look at the list for `task` (task_lock held): queued, waiting among
   the arriving while the list is full, cancelled, or refused as the pool
   shuts down (then in no list; its submitter releases it). */
lc_add_state lc_pool_try_queue(lc_pool *impl, lc_pool_task *task);
/* Queues `task`, waiting while the list is full and tracing each wait for
   `func` at `line`: true; false when the pool shuts down.  A record that
   is not queued is released.  Takes and releases task_lock. */
bool lc_pool_queue_task(lc_pool *impl, lc_pool_task *task, const char *func, int line);

/* The worker running on the calling thread, or null. */
lc_pool_worker *lc_pool_this_worker(void);

/* In threadpool_tags.cpp: a tagged run ended on a worker (task_lock
   held); and the check of a pool about to be destroyed. */
void lc_pool_tagged_run_ended(lc_pool *impl);
void lc_pool_assert_no_tags(lc_pool *impl);

#endif /* LC_THREADPOOL_RECORD_INTERNAL_H */
