/**
 * \file
 * \defgroup lib_common_lwrb Lightweight byte ring (lwrb)
 * \ingroup lib_common_queues
 * lwrb.h - lock-free single-producer single-consumer byte ring.
 *
 * A byte ring over a caller-supplied array for one producer and one
 * consumer that may run on different threads without a lock.  The record
 * keeps a read index and a write index; one byte of the array always stays
 * empty, so equal indices mean empty and at most size - 1 bytes are stored.
 * Besides write, read, peek and skip there is zero-copy access: ask for the
 * address and length of the longest contiguous readable (or writable)
 * stretch, work on the array directly, then lwrb_skip (or lwrb_advance) by
 * what was used.  An optional callback reports every change.  Nothing here
 * traces.
 *
 * Threads: the producer side is lwrb_write, lwrb_advance and the linear
 * write address and length; the consumer side is lwrb_read, lwrb_skip,
 * lwrb_peek and the linear read address and length.  Each side changes only
 * its own index and publishes it with release ordering after its copy is
 * complete; the other side reads it with acquire ordering, so it never sees
 * bytes not yet copied, nor overwrites bytes still being read.  A stale view
 * of the other index only understates what is available.  lwrb_init,
 * lwrb_free, lwrb_reset and lwrb_set_evt_fn change both sides and must not
 * run while either side is active.  The callback runs on the thread that
 * made the change.
 *
 * A record is ready when both guard words are set (lwrb_init does that),
 * the array pointer is non-null and size is non-zero; every operation on a
 * record that is not ready does nothing and returns 0 (or null).  Beyond
 * that, an operation that finds an index at or past size (a record
 * overwritten by the caller) does nothing and returns 0 (or null).
 * @{
 */
#ifndef LC_LWRB_H
#define LC_LWRB_H

#include "lc_defs.h"

LC_BEGIN_DECLS

#define LWRB_GUARD_BEGIN 0xDEADBEEFu /**< guard_begin of a ready record */
#define LWRB_GUARD_END 0x21524110u   /**< guard_end of a ready record: ~LWRB_GUARD_BEGIN */

/* Event kinds given to the callback. */
#define LWRB_EVT_READ 0u  /**< lwrb_read, lwrb_skip: bytes consumed */
#define LWRB_EVT_WRITE 1u /**< lwrb_write, lwrb_advance: bytes produced */
#define LWRB_EVT_RESET 2u /**< lwrb_reset: 0 */

struct lwrb;
/** Event callback: the record, one of the LWRB_EVT_ kinds and the bytes
    concerned.  Called on the thread that made the change, right after it;
    it may run on the producer's and the consumer's thread at once. */
typedef void (*lwrb_evt_fn)(struct lwrb *rb, uint32_t kind, uint32_t count);

/** One ring; the caller owns the record and the array. */
typedef struct lwrb {
    uint32_t guard_begin; /**< LWRB_GUARD_BEGIN once initialised */
    uint8_t *data;        /**< the caller's array */
    uint32_t size;        /**< its length in bytes */
    uint32_t read_index;  /**< next byte to read (consumer side) */
    uint32_t write_index; /**< next byte to write (producer side) */
    lwrb_evt_fn evt_fn;   /**< event callback, or null */
    uint32_t guard_end;   /**< LWRB_GUARD_END once initialised */
} lwrb_t;

/** Empties the record over data[0 .. size-1] and stamps the guards.
    1, or 0 for a null record, null array or size 0.

    Thread safety: before either side starts (it changes both indices). */
LC_API int32_t lwrb_init(lwrb_t *rb, void *data, uint32_t size);
/** 1 when the record is ready (see above), else 0.

    Thread safety: either side. */
LC_API int32_t lwrb_is_ready(const lwrb_t *rb);
/** Detaches the array (not released): the record is no longer ready.

    Thread safety: only while neither side is active. */
LC_API void lwrb_free(lwrb_t *rb);
/** Sets the callback; null removes it.

    Thread safety: only while neither side is active. */
LC_API void lwrb_set_evt_fn(lwrb_t *rb, lwrb_evt_fn fn);

/** Producer: copies up to count bytes in; returns how many.

    Thread safety: the one producer thread, beside one consumer. */
LC_API uint32_t lwrb_write(lwrb_t *rb, const void *src, uint32_t count);
/** Consumer: copies up to count bytes out; returns how many.

    Thread safety: the one consumer thread, beside one producer. */
LC_API uint32_t lwrb_read(lwrb_t *rb, void *dst, uint32_t count);
/** Consumer: copies up to count bytes out, starting skip bytes after the
    read index, without consuming them; returns how many.

    Thread safety: the one consumer thread, beside one producer. */
LC_API uint32_t lwrb_peek(const lwrb_t *rb, uint32_t skip, void *dst, uint32_t count);
/** Bytes that may be written now (at most size - 1).

    Thread safety: either side; for the producer a lower bound (the
    consumer may free more meanwhile), for the consumer a momentary view. */
LC_API uint32_t lwrb_get_free(const lwrb_t *rb);
/** Bytes that may be read now.

    Thread safety: either side; for the consumer a lower bound (the
    producer may add more meanwhile), for the producer a momentary view. */
LC_API uint32_t lwrb_get_full(const lwrb_t *rb);
/** Empties the ring (write index first, then read index) and reports it.

    Thread safety: only while neither side is active. */
LC_API void lwrb_reset(lwrb_t *rb);

/** Consumer zero-copy access: the address of the read index in the array
    (null for a record that is not ready); the bytes there are readable for
    the linear read length.

    Thread safety: the one consumer thread, beside one producer. */
LC_API void *lwrb_get_linear_block_read_address(const lwrb_t *rb);
/** Consumer zero-copy access: readable bytes from the read index to the
    last written byte or the end of the array, whichever comes first.

    Thread safety: the one consumer thread, beside one producer; the
    producer may add bytes meanwhile, never take them. */
LC_API uint32_t lwrb_get_linear_block_read_length(const lwrb_t *rb);
/** Consumer: releases up to count readable bytes without copying them;
    returns how many.

    Thread safety: the one consumer thread, beside one producer. */
LC_API uint32_t lwrb_skip(lwrb_t *rb, uint32_t count);
/** Producer zero-copy access: the address of the write index in the array
    (null for a record that is not ready); the bytes there are writable for
    the linear write length.

    Thread safety: the one producer thread, beside one consumer. */
LC_API void *lwrb_get_linear_block_write_address(const lwrb_t *rb);
/** Producer zero-copy access: writable bytes from the write index to the
    end of the array or to the byte before the read index, whichever comes
    first.

    Thread safety: the one producer thread, beside one consumer; the
    consumer may free room meanwhile, never take it. */
LC_API uint32_t lwrb_get_linear_block_write_length(const lwrb_t *rb);
/** Producer: commits up to count bytes written in place at the linear
    write address; returns how many.

    Thread safety: the one producer thread, beside one consumer. */
LC_API uint32_t lwrb_advance(lwrb_t *rb, uint32_t count);

LC_END_DECLS

/** @} */

#endif /* LC_LWRB_H */
