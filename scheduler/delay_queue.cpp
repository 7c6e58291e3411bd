/*
 * delay_queue.cpp - the delta-time delay queue, its alarm handler, and the
 * runner of kept tasks.
 */
#include "delay_queue.h"
#include "scheduler_internal.h"
#include "timeval_internal.h"
#include "threadpool.h"

#include <limits.h>
#include <pthread.h>

DelayQueue *task_queue = nullptr;
pthread_mutex_t task_queue_lock = PTHREAD_MUTEX_INITIALIZER;

int32_t DelayQueueEntry::tokenCounter = 0;

/* Set by handleAlarm around the hand-over of the entry it fires: true when
   it fires the library's queue, whose lock the firing thread then holds and
   AlarmHandler releases while it waits for the pool.  Per thread, since
   private queues may fire on any thread. */
static thread_local bool fire_holds_task_lock = false;

/* The next token: positive and unique however many threads make entries at
   once; after the largest value it starts again at 1, never at 0. */
static int32_t take_token()
{
    int32_t cur = __atomic_load_n(&DelayQueueEntry::tokenCounter, __ATOMIC_RELAXED);
    int32_t next;
    do {
        next = (cur > 0 && cur < INT32_MAX) ? cur + 1 : 1;
    } while (!__atomic_compare_exchange_n(&DelayQueueEntry::tokenCounter, &cur, next, true,
                                          __ATOMIC_RELAXED, __ATOMIC_RELAXED));
    return next;
}

static bool is_forever(const DelayInterval &t)
{
    return lc_time::eq(t, DELAY_FOREVER);
}

/* Takes an entry out of whatever ring holds it; the entry after it absorbs
   its delta so that its own expiry does not move.  An entry in no ring
   (next null, or linked to itself) is left alone. */
void delay_entry_unlink(DelayQueueEntry *entry)
{
    DelayQueueEntry *next = entry->fNext;
    if (next == nullptr || next == entry)
        return;
    if (!is_forever(next->fRemaining))
        lc_time::add(next->fRemaining, entry->fRemaining);
    entry->fPrev->fNext = next;
    next->fPrev = entry->fPrev;
    entry->fNext = entry->fPrev = nullptr;
}

DelayQueueEntry::DelayQueueEntry(DelayInterval delay)
    : kind(TASK_ONCE), fNext(this), fPrev(this), fRemaining(delay), fInterval(delay),
      fToken(take_token())
{
}

/* Leaving a ring first keeps a queue from pointing at a destroyed entry. */
DelayQueueEntry::~DelayQueueEntry()
{
    delay_entry_unlink(this);
}

void DelayQueueEntry::handleTimeout()
{
}

DelayQueue::DelayQueue() : DelayQueueEntry(DELAY_FOREVER), fLastSyncTime(TimeNow())
{
}

DelayQueue::~DelayQueue()
{
    while (fNext != this) {
        DelayQueueEntry *entry = fNext;
        delay_entry_unlink(entry);
        delete entry;
    }
}

/* Charges the time passed since the last call: the entries that fell due
   get a remaining time of zero, the first one not yet due loses the rest. */
void DelayQueue::synchronize()
{
    _EventTime now = TimeNow();
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
    delay_entry_unlink(entry);
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
    delay_entry_unlink(entry);
    entry->fRemaining = delay;
    addEntry(entry);
    return 0;
}

int32_t DelayQueue::updateEntry_reset(DelayQueueEntry *entry)
{
    if (entry == nullptr || entry == this)
        return -1;
    delay_entry_unlink(entry);
    entry->fRemaining = entry->fInterval;
    addEntry(entry);
    return 0;
}

void DelayQueue::removeEntry(DelayQueueEntry *entry)
{
    if (entry != nullptr && entry != this)
        delay_entry_unlink(entry);
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

/* Fires the first entry when it is due.  A one-shot entry leaves the queue
   for good; a fixed-period one is re-armed one interval from now before it
   runs; the others are parked (any unknown kind too, so that it cannot fire
   again and again).  Only a one-shot entry is touched after the hand-over:
   the others are still queued, and the hand-over may have let another
   thread change or destroy them. */
int32_t DelayQueue::handleAlarm()
{
    if (!lc_time::eq(fNext->fRemaining, DELAY_ZERO))
        synchronize();
    DelayQueueEntry *entry = fNext;
    if (entry == this || !lc_time::eq(entry->fRemaining, DELAY_ZERO))
        return 0;

    const int32_t entry_kind = entry->kind;
    if (entry_kind == TASK_ONCE)
        delay_entry_unlink(entry);
    else if (entry_kind == TASK_FIXPERIOD)
        updateEntry(entry, entry->fInterval);
    else
        updateEntry_Remaining(entry, DELAY_FOREVER);

    const bool saved = fire_holds_task_lock;
    fire_holds_task_lock = (this == __atomic_load_n(&task_queue, __ATOMIC_RELAXED));
    entry->handleTimeout();
    fire_holds_task_lock = saved;

    if (entry_kind == TASK_ONCE)
        delete entry;
    return 1;
}

AlarmHandler::AlarmHandler(lc_task_fn task, void *clientData, DelayInterval delay)
    : DelayQueueEntry(delay), fProc(task), fClientData(clientData)
{
}

AlarmHandler::~AlarmHandler()
{
}

/* Hands the work to gpool.  Everything needed is read before the lock is
   released: once it is, another thread may remove and destroy a kept
   entry.  The pool may block while its list is full; the queue stays
   usable meanwhile. */
void AlarmHandler::handleTimeout()
{
    const int32_t token = this->token();
    const int32_t entry_kind = kind;
    const lc_task_fn task = fProc;
    void *const data = fClientData;
    const bool holds_lock = fire_holds_task_lock;

    if (holds_lock)
        pthread_mutex_unlock(&task_queue_lock);
    if (entry_kind == TASK_ONCE)
        threadpool_add_task(gpool, task, data);
    else
        threadpool_add_task(gpool, existEntry_handle, reinterpret_cast<void *>(static_cast<intptr_t>(token)));
    if (holds_lock)
        pthread_mutex_lock(&task_queue_lock);
}

/* Runs a kept task on a pool worker.  The entry is looked up again by its
   token, so a task removed meanwhile (or a queue already gone) is simply
   not run.  A fixed-delay task is re-armed only once its run has ended. */
extern "C" LC_API void existEntry_handle(void *arg)
{
    const int32_t token = static_cast<int32_t>(reinterpret_cast<intptr_t>(arg));
    lc_task_fn proc = nullptr;
    void *data = nullptr;
    int32_t kind = TASK_ONCE;
    bool found = false;

    pthread_mutex_lock(&task_queue_lock);
    if (task_queue != nullptr) {
        AlarmHandler *entry = static_cast<AlarmHandler *>(task_queue->findEntryByToken(token));
        if (entry != nullptr) {
            proc = entry->proc();
            data = entry->clientData();
            kind = entry->kind;
            found = true;
        }
    }
    pthread_mutex_unlock(&task_queue_lock);
    if (!found)
        return;

    if (proc != nullptr)
        proc(data);

    if (kind == TASK_FIXDELAY) {
        pthread_mutex_lock(&task_queue_lock);
        if (task_queue != nullptr)
            task_queue->updateEntry_reset(task_queue->findEntryByToken(token));
        pthread_mutex_unlock(&task_queue_lock);
    }
}
