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
