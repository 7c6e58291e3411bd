/*
 * lwrb.cpp - lock-free single-producer single-consumer byte ring.
 *
 * Ordering: a side loads its own index relaxed (only it stores there),
 * loads the other side's index with acquire, and stores its own with
 * release after its copy.  The release/acquire pair orders the producer's
 * copy before the consumer's read of those bytes, and the consumer's read
 * before the producer's reuse of the space; on ARM this emits the barriers
 * that a compiler barrier alone would not.
 */
#include "lwrb.h"

#include <string.h>

namespace {

/* A consistent view of both indices, taken by one side. */
struct Indices {
    uint32_t r;
    uint32_t w;
};

}  // namespace

static uint32_t load_own(const uint32_t *index)
{
    return __atomic_load_n(index, __ATOMIC_RELAXED);
}

static uint32_t load_other(const uint32_t *index)
{
    return __atomic_load_n(index, __ATOMIC_ACQUIRE);
}

static void publish(uint32_t *index, uint32_t value)
{
    __atomic_store_n(index, value, __ATOMIC_RELEASE);
}

static bool is_ready(const lwrb_t *rb)
{
    return rb != nullptr && rb->guard_begin == LWRB_GUARD_BEGIN &&
           rb->guard_end == LWRB_GUARD_END && rb->data != nullptr && rb->size != 0;
}

/* Loads both indices for the producer (own: write) or the consumer (own:
   read).  False when the record is not ready or an index lies outside the
   array. */
static bool load_indices(const lwrb_t *rb, bool producer, Indices *ix)
{
    if (!is_ready(rb))
        return false;
    ix->r = producer ? load_other(&rb->read_index) : load_own(&rb->read_index);
    ix->w = producer ? load_own(&rb->write_index) : load_other(&rb->write_index);
    return ix->r < rb->size && ix->w < rb->size;
}

static uint32_t stored_bytes(uint32_t size, const Indices &ix)
{
    return ix.w >= ix.r ? ix.w - ix.r : size - (ix.r - ix.w);
}

static uint32_t free_bytes(uint32_t size, const Indices &ix)
{
    return ix.w >= ix.r ? size - (ix.w - ix.r) - 1 : ix.r - ix.w - 1;
}

static uint32_t min_u32(uint32_t a, uint32_t b)
{
    return a < b ? a : b;
}

/* index + n, wrapped at size; n is at most size, and nothing overflows. */
static uint32_t wrap_add(uint32_t size, uint32_t index, uint32_t n)
{
    return n >= size - index ? n - (size - index) : index + n;
}

static void notify(lwrb_t *rb, uint32_t kind, uint32_t count)
{
    if (rb->evt_fn != nullptr)
        rb->evt_fn(rb, kind, count);
}

/* Copies n bytes out of the ring starting at index, wrapping to 0. */
static void copy_out(const lwrb_t *rb, uint32_t index, uint8_t *dst, uint32_t n)
{
    uint32_t first = min_u32(rb->size - index, n);
    memcpy(dst, rb->data + index, first);
    if (n > first) /* most copies do not wrap: spare the empty call */
        memcpy(dst + first, rb->data, n - first);
}

/* Copies n bytes into the ring starting at index, wrapping to 0. */
static void copy_in(lwrb_t *rb, uint32_t index, const uint8_t *src, uint32_t n)
{
    uint32_t first = min_u32(rb->size - index, n);
    memcpy(rb->data + index, src, first);
    if (n > first)
        memcpy(rb->data, src + first, n - first);
}

extern "C" {

LC_API int32_t lwrb_init(lwrb_t *rb, void *data, uint32_t size)
{
    if (rb == nullptr || data == nullptr || size == 0)
        return 0;
    memset(rb, 0, sizeof *rb);
    rb->size = size;
    rb->data = static_cast<uint8_t *>(data);
    rb->guard_begin = LWRB_GUARD_BEGIN;
    rb->guard_end = LWRB_GUARD_END;
    return 1;
}

LC_API int32_t lwrb_is_ready(const lwrb_t *rb)
{
    return is_ready(rb);
}

LC_API void lwrb_free(lwrb_t *rb)
{
    if (is_ready(rb))
        rb->data = nullptr;
}

LC_API void lwrb_set_evt_fn(lwrb_t *rb, lwrb_evt_fn fn)
{
    if (is_ready(rb))
        rb->evt_fn = fn;
}

/* Copies what fits, up to the end of the array and then from index 0, and
   publishes the new write index only after both copies. */
LC_API uint32_t lwrb_write(lwrb_t *rb, const void *src, uint32_t count)
{
    Indices ix;
    if (src == nullptr || count == 0 || !load_indices(rb, true, &ix))
        return 0;
    uint32_t n = min_u32(free_bytes(rb->size, ix), count);
    if (n == 0)
        return 0;
    copy_in(rb, ix.w, static_cast<const uint8_t *>(src), n);
    publish(&rb->write_index, wrap_add(rb->size, ix.w, n));
    notify(rb, LWRB_EVT_WRITE, n);
    return n;
}

/* The mirror of the write on the read index. */
LC_API uint32_t lwrb_read(lwrb_t *rb, void *dst, uint32_t count)
{
    Indices ix;
    if (dst == nullptr || count == 0 || !load_indices(rb, false, &ix))
        return 0;
    uint32_t n = min_u32(stored_bytes(rb->size, ix), count);
    if (n == 0)
        return 0;
    copy_out(rb, ix.r, static_cast<uint8_t *>(dst), n);
    publish(&rb->read_index, wrap_add(rb->size, ix.r, n));
    notify(rb, LWRB_EVT_READ, n);
    return n;
}

LC_API uint32_t lwrb_peek(const lwrb_t *rb, uint32_t skip, void *dst, uint32_t count)
{
    Indices ix;
    if (dst == nullptr || count == 0 || !load_indices(rb, false, &ix))
        return 0;
    uint32_t full = stored_bytes(rb->size, ix);
    if (skip >= full)
        return 0;
    uint32_t n = min_u32(full - skip, count);
    copy_out(rb, wrap_add(rb->size, ix.r, skip), static_cast<uint8_t *>(dst), n);
    return n;
}

/* Either side may ask; the answer is a momentary view. */
LC_API uint32_t lwrb_get_free(const lwrb_t *rb)
{
    Indices ix;
    return load_indices(rb, true, &ix) ? free_bytes(rb->size, ix) : 0;
}

LC_API uint32_t lwrb_get_full(const lwrb_t *rb)
{
    Indices ix;
    return load_indices(rb, false, &ix) ? stored_bytes(rb->size, ix) : 0;
}

LC_API void lwrb_reset(lwrb_t *rb)
{
    if (!is_ready(rb))
        return;
    publish(&rb->write_index, 0);
    publish(&rb->read_index, 0);
    notify(rb, LWRB_EVT_RESET, 0);
}

LC_API void *lwrb_get_linear_block_read_address(const lwrb_t *rb)
{
    Indices ix;
    return load_indices(rb, false, &ix) ? rb->data + ix.r : nullptr;
}

/* Readable bytes before the end of the array. */
LC_API uint32_t lwrb_get_linear_block_read_length(const lwrb_t *rb)
{
    Indices ix;
    if (!load_indices(rb, false, &ix))
        return 0;
    if (ix.w > ix.r)
        return ix.w - ix.r;
    return ix.r > ix.w ? rb->size - ix.r : 0;
}

/* Consumes up to count bytes without copying them; reports even 0. */
LC_API uint32_t lwrb_skip(lwrb_t *rb, uint32_t count)
{
    Indices ix;
    if (count == 0 || !load_indices(rb, false, &ix))
        return 0;
    uint32_t n = min_u32(stored_bytes(rb->size, ix), count);
    publish(&rb->read_index, wrap_add(rb->size, ix.r, n));
    notify(rb, LWRB_EVT_READ, n);
    return n;
}

LC_API void *lwrb_get_linear_block_write_address(const lwrb_t *rb)
{
    Indices ix;
    return load_indices(rb, true, &ix) ? rb->data + ix.w : nullptr;
}

/* Writable bytes before the end of the array; the last byte stays free
   when the read index is 0, so that the write index never meets it. */
LC_API uint32_t lwrb_get_linear_block_write_length(const lwrb_t *rb)
{
    Indices ix;
    if (!load_indices(rb, true, &ix))
        return 0;
    if (ix.w >= ix.r)
        return rb->size - ix.w - (ix.r == 0 ? 1 : 0);
    return ix.r - ix.w - 1;
}

/* Commits up to count bytes written in place; reports even 0. */
LC_API uint32_t lwrb_advance(lwrb_t *rb, uint32_t count)
{
    Indices ix;
    if (count == 0 || !load_indices(rb, true, &ix))
        return 0;
    uint32_t n = min_u32(free_bytes(rb->size, ix), count);
    publish(&rb->write_index, wrap_add(rb->size, ix.w, n));
    notify(rb, LWRB_EVT_WRITE, n);
    return n;
}

}  /* extern "C" */
