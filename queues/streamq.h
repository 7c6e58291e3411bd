/**
 * \file
 * \defgroup lib_common_streamq Stream queue
 * \ingroup lib_common_queues
 * streamq.h - ring of in-place stream entries.
 *
 * A ring of `count` entries in one allocation, each made of a data slot and
 * an information slot of fixed sizes.  The queue copies nothing: it hands
 * out slot addresses and moves the indices.  A producer fills the entry at
 * the write index in place and commits it with streamq_push; a consumer
 * reads the entry at the read index in place and releases it with
 * streamq_pop.  One entry always stays free, so at most count - 1 entries
 * are held.
 *
 * One producer thread and one consumer thread may share a queue: push and
 * pop publish their index with release ordering and every read of an index
 * is an acquire, so a consumer that sees an entry committed also sees what
 * the producer wrote into it, and a producer never refills a slot still
 * being read.
 *
 * Choices made for input the interface leaves open:
 *  - streamq_alloc also gives null (traced like a failed allocation) when
 *    the block's size does not fit in memory.
 *  - streamq_inused gives 0 and streamq_next gives -1 for an index outside
 *    0 .. count - 1, as streamq_query does.
 * @{
 */
#ifndef LC_STREAMQ_H
#define LC_STREAMQ_H

#include "lc_defs.h"

LC_BEGIN_DECLS

/** A queue's header, at the start of its one allocation (streamq_alloc);
    the library owns it, streamq_free releases it. */
typedef struct streamq {
    int32_t data_size;   /**< bytes of each data slot, at least 1 */
    int32_t count;       /**< entries, at least 1 */
    int32_t read_index;  /**< oldest held entry */
    int32_t write_index; /**< entry being filled */
    uint32_t info_size;  /**< bytes of each information slot, may be 0 */
    uint8_t *info;       /**< count x info_size bytes, right after this header */
    uint8_t *data;       /**< count x data_size bytes, right after the info area */
} streamq_t;

/** One zeroed block holding the header and both areas, or null (traced at
    level 3 when the allocation fails).  data_size or count below 1: null.

    Thread safety: any thread. */
LC_API streamq_t *streamq_alloc(int32_t data_size, int32_t count, uint32_t info_size);
/** Releases the queue (one block); null is ignored.

    Thread safety: once neither side uses the queue any more. */
LC_API void streamq_free(streamq_t *q);
/** Stores the addresses of entry index's data and information slots (either
    out pointer may be null).  0, or -1 for a null queue or a bad index.

    Thread safety: either side (the addresses never change); the producer
    fills only the entry at the write index, the consumer reads only held
    entries. */
LC_API int32_t streamq_query(streamq_t *q, int32_t index, void **data, void **info);
/** Read index (the oldest held entry); -1 for a null queue.

    Thread safety: either side (acquire load); momentary for the producer. */
LC_API int32_t streamq_r(streamq_t *q);
/** Write index (the entry being filled); -1 for a null queue.

    Thread safety: either side (acquire load); momentary for the consumer. */
LC_API int32_t streamq_w(streamq_t *q);
/** Held entries; -1 for a null queue.

    Thread safety: either side; momentary. */
LC_API int32_t streamq_used_buf(streamq_t *q);
/** 1 when entry index is held, 0 when not, -1 for a null queue.

    Thread safety: either side; momentary. */
LC_API int32_t streamq_inused(streamq_t *q, int32_t index);
/** (index + 1) mod count; -1 for a null queue or a bad index.

    Thread safety: any thread (count never changes). */
LC_API int32_t streamq_next(streamq_t *q, int32_t index);
/** Commits the entry at the write index: the new write index, or -1 for a
    null or full queue.

    Thread safety: the one producer thread (release store), beside one
    consumer. */
LC_API int32_t streamq_push(streamq_t *q);
/** Releases the oldest entry: the new read index, or -1 for a null or empty
    queue.

    Thread safety: the one consumer thread (release store), beside one
    producer. */
LC_API int32_t streamq_pop(streamq_t *q);

LC_END_DECLS

/** @} */

#endif /* LC_STREAMQ_H */
