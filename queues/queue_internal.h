/*
 * queue_internal.h - helpers shared by the frame and block queues.
 *
 * Both keep up to 512 entries in caller records, with 32-bit indices that
 * wrap at the capacity, and a 16-bit length that other threads may read
 * without the lock: that word is always accessed atomically.
 */
#ifndef LC_QUEUE_INTERNAL_H
#define LC_QUEUE_INTERNAL_H

#include <stdint.h>

enum { QUEUE_TABLE_SIZE = 512 };

/* The entry after index i of a queue of capacity maxdata. */
static inline int32_t queue_next_index(int32_t i, uint16_t maxdata)
{
    return i < (int32_t)maxdata - 1 ? i + 1 : 0;
}

/* True when capacity, indices and length fit the 512-entry tables, so that
   no operation can index past them. */
static inline bool queue_fits(uint16_t maxdata, int32_t in, int32_t out, uint16_t length)
{
    if (maxdata > QUEUE_TABLE_SIZE || length > maxdata || in < 0 || out < 0)
        return false;
    if (maxdata == 0)
        return in == 0 && out == 0;
    return in < maxdata && out < maxdata;
}

template <typename T> static inline T atomic_get(const T *word)
{
    return __atomic_load_n(word, __ATOMIC_RELAXED);
}

template <typename T> static inline void atomic_set(T *word, T value)
{
    __atomic_store_n(word, value, __ATOMIC_RELAXED);
}

#endif /* LC_QUEUE_INTERNAL_H */
