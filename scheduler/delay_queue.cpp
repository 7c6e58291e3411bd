/*
 * delay_queue.cpp - the delta-time delay queue, its alarm handler, and the
 * runner of kept tasks.
 */
#include "delay_queue.h"
#include "scheduler_internal.h"
#include "timeval_internal.h"
#include "threadpool.h"

#include <assert.h>
#include <limits.h>
#include <pthread.h>

DelayQueue *task_queue = nullptr;
lc_mutex task_queue_lock = LC_MUTEX_INITIALIZER;

int32_t DelayQueueEntry::tokenCounter = 0;

/* The next token: positive and unique however many threads make entries at
   once; after the largest value it starts again at 1, never at 0. */
static int32_t take_token()
{
    int32_t cur = __atomic_load_n(&DelayQueueEntry::tokenCounter, __ATOMIC_RELAXED);
    int32_t next;
    do {
        next = (cur > 0 && cur < INT32_MAX) ? cur + 1 : 1;
    } while (!__atomic_compare_exchange_n(&DelayQueueEntry::tokenCounter, &cur, next, true, __ATOMIC_RELAXED,
                                          __ATOMIC_RELAXED));
    return next;
}

static bool is_forever(const DelayInterval &t)
{
    return lc_time::eq(t, DELAY_FOREVER);
}

/* Takes an entry out of whatever ring holds it; the entry after it absorbs
   its delta so that its own expiry does not move.  An entry in no ring
   (next null, or linked to itself) is left alone. */
void lc_delay_entry_unlink(DelayQueueEntry *entry)
{
    DelayQueueEntry *next = entry->fNext;
    if (next == nullptr || next == entry)
        return;
    assert(next->fPrev == entry);
    assert(entry->fPrev->fNext == entry);
    if (!is_forever(next->fRemaining))
        lc_time::add(next->fRemaining, entry->fRemaining);
    entry->fPrev->fNext = next;
    next->fPrev = entry->fPrev;
    entry->fNext = entry->fPrev = nullptr;
}

DelayQueueEntry::DelayQueueEntry(DelayInterval delay)
    : kind(TASK_ONCE), fNext(this), fPrev(this), fRemaining(delay), fInterval(delay), fToken(take_token())
{
}

/* Leaving a ring first keeps a queue from pointing at a destroyed entry. */
DelayQueueEntry::~DelayQueueEntry()
{
    lc_delay_entry_unlink(this);
}

void DelayQueueEntry::handleTimeout() {}

DelayQueue::DelayQueue() : DelayQueueEntry(DELAY_FOREVER), fLastSyncTime(TimeNow()) {}

DelayQueue::~DelayQueue()
{
    while (fNext != this) {
        DelayQueueEntry *entry = fNext;
        lc_delay_entry_unlink(entry);
        delete entry;
    }
}

/* Charges the time passed since the last call: the entries that fell due
   get a remaining time of zero, the first one not yet due loses the rest. */
void DelayQueue::synchronize()
{
    _EventTime now = TimeNow();
    /* The monotonic clock never goes back; its seconds, kept in 32 bits,
       wrap only after 136 years of uptime: no test can get here. */
    if (!lc_time::ge(now, fLastSyncTime)) {
        fLastSyncTime = now;
        return;
    }
    DelayInterval elapsed = lc_time::diff(now, fLastSyncTime);
    fLastSyncTime = now;

    DelayQueueEntry *cur = fNext;
    while (cur != this && lc_time::ge(elapsed, cur->fRemaining)) {
        lc_time::sub(elapsed, cur->fRemaining);
        cur->fRemaining = DELAY_ZERO;
        cur = cur->fNext;
    }
    if (!is_forever(cur->fRemaining))
        lc_time::sub(cur->fRemaining, elapsed);
}

/* Walks past every entry expiring at the same time or earlier, turning the
   new entry's delay into a delta, and takes its delta off the entry it is
   put in front of.  The sentinel (and any exactly parked entry) stops the
   walk. */
void DelayQueue::addEntry(DelayQueueEntry *entry)
{
    if (entry == nullptr || entry == this || (entry->fNext != nullptr && entry->fNext != entry))
        return;
    synchronize();

    DelayQueueEntry *cur = fNext;
    while (lc_time::ge(entry->fRemaining, cur->fRemaining) && !is_forever(cur->fRemaining)) {
        lc_time::sub(entry->fRemaining, cur->fRemaining);
        cur = cur->fNext;
    }
    if (!is_forever(cur->fRemaining))
        lc_time::sub(cur->fRemaining, entry->fRemaining);

    entry->fNext = cur;
    entry->fPrev = cur->fPrev;
    cur->fPrev->fNext = entry;
    cur->fPrev = entry;
}

int32_t DelayQueue::updateEntry(DelayQueueEntry *entry, DelayInterval delay)
{
    if (entry == nullptr || entry == this)
        return -1;
    lc_delay_entry_unlink(entry);
    entry->fRemaining = delay;
    entry->fInterval = delay;
    addEntry(entry);
    return 0;
}

int32_t DelayQueue::updateEntry(int32_t token, DelayInterval delay)
{
    return updateEntry(findEntryByToken(token), delay);
}

int32_t DelayQueue::updateEntry_Remaining(DelayQueueEntry *entry, DelayInterval delay)
{
    if (entry == nullptr || entry == this)
        return -1;
    lc_delay_entry_unlink(entry);
    entry->fRemaining = delay;
    addEntry(entry);
    return 0;
}

int32_t DelayQueue::updateEntry_reset(DelayQueueEntry *entry)
{
    if (entry == nullptr || entry == this)
        return -1;
    lc_delay_entry_unlink(entry);
    entry->fRemaining = entry->fInterval;
    addEntry(entry);
    return 0;
}

void DelayQueue::removeEntry(DelayQueueEntry *entry)
{
    if (entry != nullptr && entry != this)
        lc_delay_entry_unlink(entry);
}

DelayQueueEntry *DelayQueue::removeEntry(int32_t token)
{
    DelayQueueEntry *entry = findEntryByToken(token);
    removeEntry(entry);
    return entry;
}

DelayQueueEntry *DelayQueue::findEntryByToken(int32_t token)
{
    for (DelayQueueEntry *cur = fNext; cur != this; cur = cur->fNext)
        if (cur->fToken == token)
            return cur;
    return nullptr;
}

const DelayInterval &DelayQueue::timeToNextAlarm()
{
    if (lc_time::eq(fNext->fRemaining, DELAY_ZERO))
        return DELAY_ZERO;
    synchronize();
    return fNext->fRemaining;
}

/* A one-shot entry leaves the queue for good; a fixed-period one is
   re-armed one interval from now before it runs; the others are parked
   (any unknown kind too, so that it cannot fire again and again). */
DelayQueueEntry *lc_delay_queue_take_due(DelayQueue *queue)
{
    if (!lc_time::eq(queue->head()->remaining(), DELAY_ZERO))
        queue->synchronize();
    DelayQueueEntry *entry = queue->head();
    if (entry == queue || !lc_time::eq(entry->remaining(), DELAY_ZERO))
        return nullptr;
    if (entry->kind == TASK_ONCE)
        queue->removeEntry(entry);
    else if (entry->kind == TASK_FIXPERIOD)
        queue->updateEntry(entry, entry->interval());
    else
        queue->updateEntry_Remaining(entry, DELAY_FOREVER);
    return entry;
}

/* Only a one-shot entry is touched after its handleTimeout: the others are
   still queued, and the hand-over may have let another thread change or
   destroy them. */
int32_t DelayQueue::handleAlarm()
{
    DelayQueueEntry *entry = lc_delay_queue_take_due(this);
    if (entry == nullptr)
        return 0;
    const bool once = entry->kind == TASK_ONCE;
    entry->handleTimeout();
    if (once)
        delete entry;
    return 1;
}

lc_pool_work lc_alarm_work(int32_t kind, int32_t token, lc_task_fn task, void *data)
{
    if (kind == TASK_ONCE)
        return {task, data};
    return {existEntry_handle, reinterpret_cast<void *>(static_cast<intptr_t>(token))};
}

AlarmHandler::AlarmHandler(lc_task_fn task, void *clientData, DelayInterval delay)
    : DelayQueueEntry(delay), fProc(task), fClientData(clientData)
{
}

AlarmHandler::~AlarmHandler() {}

/* Hands the work to gpool.  The caller holds no lock the task may take:
   the pool may block while its list is full.  A hand-over the pool refuses
   is dropped without a report. */
void AlarmHandler::handleTimeout()
{
    const lc_pool_work work = lc_alarm_work(kind, token(), fProc, fClientData);
    (void)threadpool_add_task(__atomic_load_n(&gpool, __ATOMIC_ACQUIRE), work.function, work.arg);
}

namespace {
/* What a run of a kept task needs, read under task_queue_lock: found
   false when no queued entry has the token. */
struct kept_run {
    bool found;
    lc_task_fn task;
    void *data;
    int32_t kind;
};
}  // namespace

static kept_run look_up(int32_t token)
{
    kept_run run = {false, nullptr, nullptr, TASK_ONCE};
    lc_lock_guard lock(task_queue_lock);
    const AlarmHandler *entry =
        task_queue != nullptr ? static_cast<AlarmHandler *>(task_queue->findEntryByToken(token)) : nullptr;
    if (entry != nullptr)
        run = {true, entry->proc(), entry->clientData(), entry->kind};
    return run;
}

/* A fixed-delay task's next expiry, one interval after its run ended. */
static void rearm(int32_t token)
{
    lc_lock_guard lock(task_queue_lock);
    if (task_queue != nullptr)
        task_queue->updateEntry_reset(task_queue->findEntryByToken(token));
}

/* Runs a kept task on a pool worker.  The entry is looked up again by its
   token, so a task removed meanwhile (or a queue already gone) is simply
   not run.  A fixed-delay task is re-armed only once its run has ended. */
extern "C" LC_API void existEntry_handle(void *arg)
{
    const int32_t token = static_cast<int32_t>(reinterpret_cast<intptr_t>(arg));
    const kept_run run = look_up(token);
    if (!run.found)
        return;
    assert(!task_queue_lock.owner.mine());
    if (run.task != nullptr)
        run.task(run.data);
    if (run.kind == TASK_FIXDELAY)
        rearm(token);
}
