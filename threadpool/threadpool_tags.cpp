/*
 * threadpool_tags.cpp - tagged hand-overs and their waiting.
 *
 * The scheduler hands its expired timers over with the task's token as a
 * tag, in two steps (announce, then deliver once there is room), so that
 * remove_task_wait can take back the hand-overs that have not started and
 * wait for the runs under way.
 *
 * Lifecycle: tagged hand-overs come only from the scheduler thread, and
 * tagged waits only from remove_task_wait, which the scheduler's stop waits
 * for; lib_common_exit joins the scheduler thread before it destroys gpool.
 * So no tagged hand-over and no tag waiter outlives the scheduler thread,
 * and a pool being destroyed has none (asserted in debug builds).  Tagged
 * runs already under way end with the workers, as every run does.
 */
#include "threadpool_internal.h"
#include "threadpool_record_internal.h"

/* The scheduler's hand-over is a threadpool_add_task made in two steps;
   its traces carry that body's name. */
int lc_threadpool_announce(threadpool *pool, lc_task_fn function, void *arg, int32_t tag, threadpool_task **arriving)
{
    assert(tag > 0);
    lc_pool_trace_addition("_threadpool_add_task", __LINE__, function, arg);
    if (function == nullptr || pool == nullptr)
        return -1;
    lc_pool_task *task = lc_pool_new_task(function, arg, false, tag);
    if (task == nullptr)
        return -1;
    lc_pool *impl = lc_pool_of(pool);
    lc_add_state state;
    {
        lc_lock_guard lock = lc_pool_hold_tasks(impl);
        state = lc_pool_try_queue(impl, task);
    }
    if (state == LC_ADD_CLOSED)
        lc_pool_discard_task(task);
    *arriving = state == LC_ADD_FULL ? &task->pub : nullptr;
    return state == LC_ADD_CLOSED ? -1 : state == LC_ADD_FULL;
}

int lc_threadpool_deliver(threadpool *pool, threadpool_task *task)
{
    return lc_pool_queue_task(lc_pool_of(pool), lc_pool_task_of(task), "_threadpool_add_task", __LINE__) ? 0 : -1;
}

/* Takes back the tasks tagged `tag` (task_lock held): pending ones leave
   the list unrun, those waiting for room are marked for their submitter to
   release.  True when a submitter waiting for room is to look again. */
static bool take_back(lc_pool *impl, int32_t tag)
{
    assert(impl->task_owner.mine());
    threadpool_task *list = impl->pub.task_list;
    bool changed = false;
    for (threadpool_task *t = list->next, *next; t != list; t = next) {
        next = t->next;
        if (lc_pool_task_of(t)->tag == tag) {
            lc_pool_unlink(t);
            lc_pool_discard_task(lc_pool_task_of(t));
            changed = true;
        }
    }
    for (threadpool_task *t = impl->arriving.next; t != &impl->arriving; t = t->next) {
        if (lc_pool_task_of(t)->tag == tag) {
            lc_pool_task_of(t)->cancelled = true;
            changed = true;
        }
    }
    return changed && !lc_pool_list_empty(&impl->arriving);
}

static bool tag_running(const lc_pool *impl, int32_t tag)
{
    for (int32_t i = 0; i < impl->pub.max; i++)
        if (impl->slots[i].tag == tag)
            return true;
    return false;
}

/* The destroying thread waits for the last waiter to leave. */
void lc_threadpool_cancel_tag(threadpool *pool, int32_t tag)
{
    assert(tag > 0);
    lc_pool *impl = lc_pool_of(pool);
    lc_lock_guard lock = lc_pool_hold_tasks(impl);
    if (take_back(impl, tag))
        pthread_cond_broadcast(&impl->pub.not_full);
    impl->tag_waiters++;
    while (tag_running(impl, tag))
        lock.wait(impl->changed);
    impl->tag_waiters--;
    if (impl->pub.shutdown)
        pthread_cond_broadcast(&impl->changed);
}

bool lc_threadpool_runs_tag(int32_t tag)
{
    const lc_pool_worker *ws = lc_pool_this_worker();
    return ws != nullptr && tag != 0 && ws->tag == tag;
}

void lc_pool_tagged_run_ended(lc_pool *impl)
{
    assert(impl->task_owner.mine());
    if (impl->tag_waiters > 0)
        pthread_cond_broadcast(&impl->changed);
}

void lc_pool_assert_no_tags(lc_pool *impl)
{
#ifndef NDEBUG
    lc_lock_guard lock = lc_pool_hold_tasks(impl);
    assert(impl->tag_waiters == 0);
    for (const threadpool_task *t = impl->arriving.next; t != &impl->arriving; t = t->next)
        assert(reinterpret_cast<const lc_pool_task *>(t)->tag == 0);
#else
    (void)impl;
#endif
}
