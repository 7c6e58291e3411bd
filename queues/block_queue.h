/**
 * \file
 * \defgroup lib_common_block_queue Block queue
 * \ingroup lib_common_queues
 * block_queue.h - self-locking queue of data blocks.
 *
 * A bounded first-in first-out queue of data blocks of any size, each kept
 * with a 32-bit type and a 64-bit value, in one caller-owned record with its
 * own mutex.  A write copies the block into memory owned by the queue; a
 * read hands that copy to the reader (who releases it with free()) together
 * with its size, type and value, without ever waiting for data.  Every
 * operation but queue_length3 takes the record lock, so any number of
 * writers and readers may share one record.
 *
 * Choices made for input the interface leaves open:
 *  - A null record gives LC_QUEUE_ERR (null from queue_read3); null out
 *    pointers of queue_read3 are skipped.
 *  - A record whose capacity is above 512, or whose indices or length do
 *    not fit its capacity (never created, or overwritten), is refused:
 *    LC_QUEUE_ERR from a write, null from a read; queue_clear3 then empties
 *    it without releasing anything.  A capacity of 0 gives a queue that
 *    reports every write full.
 *  - queue_length3 reads the length as one atomic word: a momentary value,
 *    but no data race with the other threads.
 * @{
 */
#ifndef LC_BLOCK_QUEUE_H
#define LC_BLOCK_QUEUE_H

#include "lc_defs.h"
#include "queue_results.h"

#include <pthread.h>

LC_BEGIN_DECLS

#define BLOCK_QUEUE_MAX 512 /**< entries in every record */
#define BLOCK_TYPE_NONE 2   /**< what queue_clear3 leaves in every type entry */

/** One queue; the caller owns the record, the queue the
    block copies in it. */
typedef struct block_queue {
    int32_t queue_out;               /**< next block to read */
    int32_t queue_in;                /**< next entry to fill */
    uint16_t queue_length;           /**< stored blocks */
    uint16_t maxdata;                /**< capacity: entries in use */
    pthread_mutex_t lock;            /**< guards every other field */
    void *block[BLOCK_QUEUE_MAX];    /**< copies owned by the queue */
    uint32_t size[BLOCK_QUEUE_MAX];  /**< byte size of each block */
    int32_t type[BLOCK_QUEUE_MAX];   /**< the writer's type of each block */
    uint64_t value[BLOCK_QUEUE_MAX]; /**< the writer's value, returned unchanged */
} block_queue_t;

/** Zeroes the record, sets its capacity and initialises the lock.
    LC_QUEUE_OK, or LC_QUEUE_ERR for a null record or a capacity above 512
    (the record is zeroed all the same).

    Thread safety: before the record is shared; no other call may use it
    meanwhile. */
LC_API uint32_t queue_create3(block_queue_t *q, uint16_t capacity);
/** Stored blocks, read without the lock; LC_QUEUE_ERR for a null record.

    Thread safety: any thread (atomic word); momentary. */
LC_API uint32_t queue_length3(block_queue_t *q);
/** Releases every stored block and empties the record (types become 2).
    LC_QUEUE_OK, or LC_QUEUE_ERR for a null record.

    Thread safety: any thread (record lock). */
LC_API uint32_t queue_clear3(block_queue_t *q);
/** Copies size bytes of data with its type and value into the queue.
    LC_QUEUE_OK; LC_QUEUE_FULL when full or out of memory; LC_QUEUE_ERR for
    a null record, null data or size 0.

    Thread safety: any thread, any number of writers (record lock); it
    never waits for room. */
LC_API uint32_t queue_write3(block_queue_t *q, const void *data, uint32_t size, int32_t type, uint64_t value);
/** The oldest block (the caller frees it), with its size, type and value;
    null when the queue is empty, and the out-values are then left alone.

    Thread safety: any thread, any number of readers (record lock); it
    never waits for data. */
LC_API void *queue_read3(block_queue_t *q, uint32_t *size, int32_t *type, uint64_t *value);

LC_END_DECLS

/** @} */

#endif /* LC_BLOCK_QUEUE_H */
