/*
 * queue_internal.h - helpers shared by the frame and block queues.
 *
 * Both keep up to 512 entries in caller records, with 32-bit indices that
 * wrap at the capacity, and a 16-bit length that other threads may read
 * without the lock: that word is always accessed atomically.
 */
#ifndef LC_QUEUE_INTERNAL_H
#define LC_QUEUE_INTERNAL_H

#include "queue_results.h"
#include "trace.h"

#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

enum { LC_QUEUE_TABLE_SIZE = 512 };

/* The entry after index i of a queue of capacity maxdata. */
static inline int32_t lc_queue_next_index(int32_t i, uint16_t maxdata)
{
    return i < (int32_t)maxdata - 1 ? i + 1 : 0;
}

/* True when capacity, indices and length fit the 512-entry tables, so that
   no operation can index past them. */
static inline bool lc_queue_fits(uint16_t maxdata, int32_t in, int32_t out, uint16_t length)
{
    if (maxdata > LC_QUEUE_TABLE_SIZE || length > maxdata || in < 0 || out < 0)
        return false;
    if (maxdata == 0)
        return in == 0 && out == 0;
    return in < maxdata && out < maxdata;
}

template <typename T> static inline T lc_atomic_get(const T *word)
{
    return __atomic_load_n(word, __ATOMIC_RELAXED);
}

template <typename T> static inline void lc_atomic_set(T *word, T value)
{
    __atomic_store_n(word, value, __ATOMIC_RELAXED);
}

/* A copy of the caller's bytes in memory of their own; null when memory
   runs out. */
static inline void *lc_queue_copy(const void *data, uint32_t size)
{
    void *copy = malloc(size);
    return copy == nullptr ? nullptr : memcpy(copy, data, size);
}

/* How a write of the frame or block queue ended. */
enum class lc_put { stored, full, no_memory, refused };

/* The write of the frame and block queues.  The copy is made before `lock`
   is taken, unless the queue `looked_full`, so that the lock covers only
   the hand-over of the pointer and the other side never waits behind the
   allocator.  Under the lock, look() tells whether the record takes the
   copy (lc_put::stored), is full (lc_put::full; look() keeps what the
   caller traces) or cannot be used (lc_put::refused); store(copy) then
   stores it.  A copy not stored is released: the queue never owned it.
   Traces are the caller's, made after this returns, with no lock held. */
template <class Look, class Store>
static inline lc_put lc_queue_put(pthread_mutex_t *lock, bool looked_full, const void *data, uint32_t size, Look look,
                                  Store store)
{
    void *copy = looked_full ? nullptr : lc_queue_copy(data, size);
    if (!looked_full && copy == nullptr)
        return lc_put::no_memory;
    pthread_mutex_lock(lock);
    lc_put put = look();
    if (put == lc_put::stored && copy == nullptr && (copy = lc_queue_copy(data, size)) == nullptr)
        put = lc_put::no_memory; /* room appeared after the first look */
    if (put == lc_put::stored) {
        store(copy);
        copy = nullptr;
    }
    pthread_mutex_unlock(lock);
    free(copy);
    return put;
}

/* The result word of a write that ended as `put`. */
static inline uint32_t lc_put_result(lc_put put)
{
    return put == lc_put::stored ? LC_QUEUE_OK : put == lc_put::refused ? LC_QUEUE_ERR : LC_QUEUE_FULL;
}

/* The body of queue_create2 and queue_create3: zeroes the record, then,
   for a capacity of at most `most`, stores it and initialises the record's
   lock, which it traces as `func` called at `line`.  LC_QUEUE_OK, or
   LC_QUEUE_ERR for a null record or a larger capacity (the record zeroed
   all the same). */
template <typename Record>
static inline uint32_t lc_queue_create(Record *q, uint16_t capacity, uint16_t most, const char *func, int line)
{
    if (q == nullptr)
        return LC_QUEUE_ERR;
    memset(q, 0, sizeof *q);
    if (capacity > most)
        return LC_QUEUE_ERR;
    q->maxdata = capacity;
    pthread_mutex_init(&q->lock, nullptr);
    if (XEL_LEVEL(lib) >= 6)
        xel_traceout(6, "[lib %s +%-4d]mutex:%p\n", func, line, static_cast<void *>(&q->lock));
    return LC_QUEUE_OK;
}

#endif /* LC_QUEUE_INTERNAL_H */
