/**
 * \file
 * \defgroup lib_common_slot_queue Slot queue
 * \ingroup lib_common_queues
 * slot_queue.h - queue of fixed 512-byte slots in a caller record.
 *
 * A first-in first-out queue kept entirely inside one caller-owned record:
 * no allocation and no lock (one reader and one writer must be serialised
 * by the caller).  A write copies up to 512 bytes into the next slot and
 * records the length, a 16-bit type and a 16-byte information block for
 * that slot; a read copies the whole slot out and returns its index, by
 * which the caller looks up len[], type[] and info[] in the record.
 *
 * Results are 32-bit unsigned: LC_QUEUE_OK (255) success, LC_QUEUE_FULL
 * (65535) full, LC_QUEUE_ERR (0xFFFFFFFF) missing data or empty queue.
 *
 * Input this code refuses or bounds, so that no slot is overrun and a full
 * queue never reads as empty:
 *  - depth is bounded to 1..32 (the slots the record has) by queue_create,
 *    queue_clear and queue_flush, and maxdata to depth - 1: queue_clear sets
 *    31, but never more than depth - 1.  A depth of 0 or 1 gives a queue
 *    that reports every write full.
 *  - queue_write refuses a length above 512 with LC_QUEUE_ERR and the
 *    trace "Data Too Long!"; the record is left unchanged.
 *  - A null record gives LC_QUEUE_ERR (queue_clear and queue_flush do
 *    nothing); a null read buffer gives LC_QUEUE_ERR and consumes nothing.
 *  - A record whose positions do not lie on slots in use (never created,
 *    or overwritten by the caller) reads as empty, and every write to it
 *    gives LC_QUEUE_ERR until queue_create or queue_clear.
 *
 * Threads: no lock and no memory ordering; every call on one record, reads
 * and writes alike, is serialised by the caller (one thread at a time, or
 * under a lock of the caller's).  Different records are independent.
 * @{
 */
#ifndef LC_SLOT_QUEUE_H
#define LC_SLOT_QUEUE_H

#include "lc_defs.h"
#include "queue_results.h"

LC_BEGIN_DECLS

#define SLOT_QUEUE_SLOTS 32      /**< slots in every record */
#define SLOT_QUEUE_SLOT_SIZE 512 /**< bytes per slot */

/** The writer's information block, stored unchanged with its slot. */
typedef struct slot_queue_info {
    uint32_t word[4]; /**< the writer's, unchanged */
} slot_queue_info;

/** One queue, all in the caller's record (about 17 KB). */
typedef struct slot_queue {
    uint8_t *queue_out;                                   /**< slot the next read takes */
    uint8_t *queue_in;                                    /**< slot the next write fills */
    uint8_t *queue_end;                                   /**< just past the last slot in use */
    uint16_t maxdata;                                     /**< writes are accepted while fewer are stored */
    uint16_t depth;                                       /**< slots in use, at most 32 */
    uint8_t slot[SLOT_QUEUE_SLOTS][SLOT_QUEUE_SLOT_SIZE]; /**< the slots' bytes */
    uint16_t len[SLOT_QUEUE_SLOTS];                       /**< per slot: length of its write */
    uint16_t type[SLOT_QUEUE_SLOTS];                      /**< per slot: type of its write */
    slot_queue_info info[SLOT_QUEUE_SLOTS];               /**< per slot: its information block */
} slot_queue_t;

/** Sets depth and maxdata (bounded as above), zeroes the slots and empties
    the queue; len, type and info are not touched.  LC_QUEUE_OK.

    Thread safety: one thread at a time per record (see above). */
LC_API uint32_t queue_create(slot_queue_t *q, uint8_t depth, uint8_t maxdata);
/** Zeroes the slots, empties the queue and sets maxdata to 31 (at most
    depth - 1).

    Thread safety: one thread at a time per record. */
LC_API void queue_clear(slot_queue_t *q);
/** Empties the queue without touching the data and sets maxdata to 0: every
    write reports full until queue_clear or queue_create.

    Thread safety: one thread at a time per record. */
LC_API void queue_flush(slot_queue_t *q);
/** Number of stored slots.

    Thread safety: one thread at a time per record. */
LC_API uint32_t queue_length(const slot_queue_t *q);
/** Stores len bytes of data (at most 512) with its type and information
    block.  LC_QUEUE_OK, LC_QUEUE_FULL or LC_QUEUE_ERR.

    Thread safety: one thread at a time per record. */
LC_API uint32_t queue_write(slot_queue_t *q, const void *data, uint16_t len, uint16_t type, slot_queue_info info);
/** Copies the oldest slot (all 512 bytes) to buf and returns its index, or
    LC_QUEUE_ERR when the queue is empty.

    Thread safety: one thread at a time per record. */
LC_API uint32_t queue_read(slot_queue_t *q, void *buf);

LC_END_DECLS

/** @} */

#endif /* LC_SLOT_QUEUE_H */
