/**
 * \file
 * \defgroup lib_common_delay_queue Delay queue (C++)
 * \ingroup lib_common_scheduler
 * delay_queue.h - delta-time delay queue of timed entries (C++ classes).
 *
 * A DelayQueue is a circular doubly linked list of DelayQueueEntry objects,
 * the queue itself being the sentinel.  Each entry stores only the time
 * between the expiry of the entry before it and its own, so bringing the
 * queue up to date touches only the entries that fell due.  Entries with
 * equal expiry times fire in the order they were added.  An entry queued
 * with the longest possible delay (seconds 2147483647, microseconds 999999)
 * is parked: it never falls due until it is re-armed.
 *
 * Every entry takes a token, a positive number unique in the process, from
 * DelayQueueEntry::tokenCounter (incremented atomically, so entries may be
 * made on many threads at once); 0 stands for no entry.
 *
 * The queue has no lock of its own: whoever shares one guards it.  Bad input
 * changes nothing: a null entry gives -1 from the update calls and is
 * ignored by addEntry and removeEntry, as are the queue itself and an entry
 * that is in no queue; an unknown token (or 0) gives -1 or null.  An entry
 * destroyed while still queued takes itself out of its ring first.
 *
 * AlarmHandler carries a task function and its argument; when it expires it
 * hands the work to the library's pool gpool: a one-shot task's own function
 * with its argument, a kept task's runner existEntry_handle with the token.
 * It takes and releases no lock: handleAlarm calls it with the caller's
 * locks held, and they stay held while the hand-over waits for room in a
 * full pool.  A hand-over that the pool refuses (no gpool, no memory, a
 * pool shutting down) is dropped without a report, and that run is lost: a
 * one-shot task never runs and its entry is destroyed all the same, a
 * fixed-period task runs again at its next expiry, a fixed-delay or
 * persistent one stays parked until update_task re-arms it.
 *
 * The library's own scheduler does not call handleAlarm: it takes the due
 * entry under its lock, releases the lock, and hands the work over itself,
 * with the same effects and in the same order (a one-shot entry is
 * unlinked before the hand-over and destroyed after it).
 *
 * The rest of the library is built without RTTI, but this class tree's
 * type information (typeinfo and vtables) is exported on purpose:
 * delay_queue.cpp is compiled with -frtti, so code built with or without
 * RTTI may derive from these classes.
 *
 * The library's own queue and its lock are internal: a program schedules
 * through the task functions (add_task and the others) and uses these
 * classes only for queues of its own.
 * @{
 */
#ifndef LC_DELAY_QUEUE_H
#define LC_DELAY_QUEUE_H

#include "lc_defs.h"
#include "timeval.h"

LC_BEGIN_DECLS

/** Runs the kept task whose token is `token` (an int32_t carried in the
    pointer); the pool calls it for periodic, fixed-delay and persistent
    tasks.  A token that no queued task carries does nothing.

    Thread safety: any thread; it looks the token up under the scheduler's
    lock and calls the task's function without it, on the calling thread.
    The library's scheduler hands it to gpool; a program has no need to
    call it. */
LC_API void existEntry_handle(void *token);

LC_END_DECLS

#ifdef __cplusplus

/** What happens to an entry when it expires (DelayQueueEntry::kind). */
enum {
    TASK_ONCE = 0,      /**< unlinked, handed over, destroyed */
    TASK_FIXPERIOD = 1, /**< re-armed at once, then handed over */
    TASK_FIXDELAY = 2,  /**< parked; re-armed when its run has ended */
    TASK_NODESTROY = 3, /**< parked until re-armed or removed */
};

class DelayQueue;

/** One timed entry of a DelayQueue, with its token.

    Thread safety: an entry may be made on any thread (its token comes from
    an atomic counter); everything else on it, destruction included, is
    guarded by whoever guards the queue it is in. */
class LC_API DelayQueueEntry {
public:
    /** A new entry, in no queue, with `delay` as its remaining time and its
        interval, and a new token. */
    explicit DelayQueueEntry(DelayInterval delay);
    /** Takes the entry out of its queue first, if it is in one. */
    virtual ~DelayQueueEntry();

    /** The entry's token, positive and unique in the process. */
    int32_t token() const { return fToken; }
    /** Called by DelayQueue::handleAlarm when the entry expires; the base
        class does nothing. */
    virtual void handleTimeout();

    /** The next entry of the queue (the queue itself after the last). */
    DelayQueueEntry *next() const { return fNext; }
    /** The entry before (the queue itself before the first). */
    DelayQueueEntry *prev() const { return fPrev; }
    /** Time between the expiry of the entry before and this one's. */
    const DelayInterval &remaining() const { return fRemaining; }
    /** The interval with which a periodic entry is re-armed. */
    const DelayInterval &interval() const { return fInterval; }

    DelayQueueEntry(const DelayQueueEntry &) = delete;
    DelayQueueEntry &operator=(const DelayQueueEntry &) = delete;

    /** The last token handed out; 0 at load.  Shared with the process (which
        must not define its own), incremented atomically; read it with an
        atomic load. */
    static int32_t tokenCounter;

    /** One of the TASK_ kinds (TASK_ONCE when made); set by whoever
        creates the entry. */
    int32_t kind;

private:
    friend class DelayQueue;
    friend void lc_delay_entry_unlink(DelayQueueEntry *entry);

    DelayQueueEntry *fNext;
    DelayQueueEntry *fPrev;
    DelayInterval fRemaining;
    DelayInterval fInterval;
    int32_t fToken;
};

/** A delta-time queue of entries; the queue is the ring's sentinel.

    Thread safety: no lock of its own: every use of one queue (adding,
    updating, removing, firing, destroying, and its entries' accessors) is
    serialised by its owner, and handleTimeout runs with the owner's locks
    held.  Separate queues are independent. */
class LC_API DelayQueue : public DelayQueueEntry {
public:
    /** An empty queue (it takes a token like any entry). */
    DelayQueue();
    /** Destroys every queued entry without firing it. */
    virtual ~DelayQueue();

    /** The first entry, or the queue itself when it is empty. */
    DelayQueueEntry *head() { return next(); }

    /** Queues `entry` to expire its remaining() after now; an entry that is
        already in a queue is left where it is. */
    void addEntry(DelayQueueEntry *entry);
    /** Re-queue with a new delay (remaining and interval); 0, or -1 for a
        null entry or an unknown token. */
    int32_t updateEntry(DelayQueueEntry *entry, DelayInterval delay);
    /** As above, for the queued entry with `token`. */
    int32_t updateEntry(int32_t token, DelayInterval delay);
    /** Re-queue with a new remaining time only; 0, or -1 for null. */
    int32_t updateEntry_Remaining(DelayQueueEntry *entry, DelayInterval delay);
    /** Re-queue to expire one interval after now; 0, or -1 for null. */
    int32_t updateEntry_reset(DelayQueueEntry *entry);
    /** Unlinks the entry (not destroyed); null and unqueued entries are
        ignored. */
    void removeEntry(DelayQueueEntry *entry);
    /** Unlinks and returns the entry (the caller then owns it), or null. */
    DelayQueueEntry *removeEntry(int32_t token);
    /** The queued entry with `token`, or null (also for 0). */
    DelayQueueEntry *findEntryByToken(int32_t token);

    /** Time until the first entry expires; copy it before unlocking. */
    const DelayInterval &timeToNextAlarm();
    /** Fires the first entry if due: 1 if one was handled, else 0.  The
        entry is re-armed, parked or (one-shot) unlinked first; then its
        handleTimeout runs, with the caller's locks; then a one-shot entry
        is destroyed. */
    int32_t handleAlarm();
    /** Charges the time passed since lastSyncTime() to the entries. */
    void synchronize();

    /** When the entries were last brought up to date. */
    const _EventTime &lastSyncTime() const { return fLastSyncTime; }

private:
    _EventTime fLastSyncTime;
};

/** An entry that runs a task function on gpool when it expires.

    Thread safety: as DelayQueueEntry; handleTimeout may wait while gpool's
    list is full, so its caller must hold no lock that a task function or
    the pool's workers take. */
class LC_API AlarmHandler : public DelayQueueEntry {
public:
    /** An entry for `task` with `clientData`, of kind TASK_ONCE until its
        creator sets another. */
    AlarmHandler(lc_task_fn task, void *clientData, DelayInterval delay);
    /** Destroys the entry (out of its queue first); the argument is not
        touched. */
    virtual ~AlarmHandler();
    /** Hands the work to gpool (see the group's notes): the task itself for
        a one-shot entry, existEntry_handle with the token otherwise. */
    virtual void handleTimeout();

    /** The task function. */
    lc_task_fn proc() const { return fProc; }
    /** The task function's argument. */
    void *clientData() const { return fClientData; }

private:
    lc_task_fn fProc;
    void *fClientData;
};

/** @} */

#endif /* __cplusplus */

#endif /* LC_DELAY_QUEUE_H */
