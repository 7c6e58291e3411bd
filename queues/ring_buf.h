/**
 * \file
 * \defgroup lib_common_ring_buf Element ring buffer
 * \ingroup lib_common_queues
 * ring_buf.h - ring of fixed-size elements.
 *
 * A fixed-capacity ring of equal-sized elements in storage the ring
 * allocates itself.  All `count` slots are usable: bit 31 of each index is
 * a lap flag, so equal slot numbers mean empty when the flags agree and
 * full when they differ.  Elements are copied in and out whole.  No lock
 * and no memory ordering: callers serialise every use of a record.
 *
 * Choices made for input the interface leaves open:
 *  - ring_buf_write returns 1 when it stored the element and 0 when it did
 *    not (full ring, no storage, null argument), like ring_buf_read.
 *  - ring_buf_init refuses (returns 0, storage null) a null record, a count
 *    of 0 or of 2^31 and above, a size of 0, and a count x size above
 *    PTRDIFF_MAX.  It does not release storage the record may hold
 *    already (the record may be uninitialised): call ring_buf_free first.
 *  - A ring without storage (after a failed init, or after ring_buf_free)
 *    holds nothing and takes nothing: ring_buf_is_empty and ring_buf_is_full
 *    both give 1, writes store nothing and reads copy nothing.  So does a
 *    ring whose index words name a slot beyond count.
 *  - A null record gives 0 everywhere except ring_buf_is_empty and
 *    ring_buf_is_full (1); ring_buf_incr ignores a null index pointer.
 * @{
 */
#ifndef LC_RING_BUF_H
#define LC_RING_BUF_H

#include "lc_defs.h"

LC_BEGIN_DECLS

#define RING_BUF_LAP 0x80000000u /**< lap flag of an index word */

/** One ring; the caller owns the record, the ring its storage. */
typedef struct ring_buf {
    uint32_t count;       /**< slots, below 2^31 */
    uint32_t size;        /**< bytes per element */
    uint32_t read_index;  /**< slot of the next read | read lap flag */
    uint32_t write_index; /**< slot of the next write | write lap flag */
    uint8_t *storage;     /**< count x size bytes */
} ring_buf_t;

/** Sets count, size and both indices, and allocates zeroed storage.
    1 when the storage was obtained, else 0.

    Thread safety: one thread at a time per record (see above). */
LC_API int32_t ring_buf_init(ring_buf_t *rb, uint32_t count, uint32_t size);
/** Releases the storage; the ring then holds and takes nothing.

    Thread safety: one thread at a time per record. */
LC_API void ring_buf_free(ring_buf_t *rb);
/** Empties the ring; the stored bytes stay.

    Thread safety: one thread at a time per record. */
LC_API void ring_buf_clear(ring_buf_t *rb);
/** 1 when the ring holds no element (also without storage), else 0.

    Thread safety: one thread at a time per record. */
LC_API int32_t ring_buf_is_empty(const ring_buf_t *rb);
/** 1 when the ring takes no element (also without storage), else 0.

    Thread safety: one thread at a time per record. */
LC_API int32_t ring_buf_is_full(const ring_buf_t *rb);
/** Advances one of the ring's index words by one slot, flipping its lap
    flag when it wraps.

    Thread safety: one thread at a time per record. */
LC_API void ring_buf_incr(const ring_buf_t *rb, uint32_t *index);
/** Copies one element in: 1 when stored, 0 when not.

    Thread safety: one thread at a time per record. */
LC_API int32_t ring_buf_write(ring_buf_t *rb, const void *element);
/** Copies the oldest element out: 1 when copied, 0 when the ring is empty
    (out is then untouched).

    Thread safety: one thread at a time per record. */
LC_API int32_t ring_buf_read(ring_buf_t *rb, void *out);

LC_END_DECLS

/** @} */

#endif /* LC_RING_BUF_H */
