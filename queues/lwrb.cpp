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

/* What one call works from: the record's fixed fields and both indices,
   each read once, at the start, while the record's cache line is at hand.
   The fixed fields (data, size, callback) change only in lwrb_init,
   lwrb_free and lwrb_set_evt_fn, which must not run while either side is
   active; so nothing is read from the record again after the copy, when
   the other side may have taken its line away to publish its own index.
   Both indices share that line with the fixed fields, and between two
   threads each such read costs a transfer between the cores. */
struct View {
    uint8_t *data;
    uint32_t size;
    uint32_t r;
    uint32_t w;
    lwrb_evt_fn evt_fn;
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
    return rb != nullptr && rb->guard_begin == LWRB_GUARD_BEGIN && rb->guard_end == LWRB_GUARD_END &&
           rb->data != nullptr && rb->size != 0;
}

/* Takes the view of the producer (own index: write) or the consumer (own:
   read).  False when the record is not ready or an index lies outside the
   array. */
static bool take_view(const lwrb_t *rb, bool producer, View *v)
{
    if (!is_ready(rb))
        return false;
    v->data = rb->data;
    v->size = rb->size;
    v->evt_fn = rb->evt_fn;
    v->r = producer ? load_other(&rb->read_index) : load_own(&rb->read_index);
    v->w = producer ? load_own(&rb->write_index) : load_other(&rb->write_index);
    return v->r < v->size && v->w < v->size;
}

static uint32_t stored_bytes(const View &v)
{
    return v.w >= v.r ? v.w - v.r : v.size - (v.r - v.w);
}

static uint32_t free_bytes(const View &v)
{
    return v.w >= v.r ? v.size - (v.w - v.r) - 1 : v.r - v.w - 1;
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

static void notify(lwrb_t *rb, const View &v, uint32_t kind, uint32_t count)
{
    if (v.evt_fn != nullptr)
        v.evt_fn(rb, kind, count);
}

/* Copies n bytes out of the ring starting at index, wrapping to 0. */
static void copy_out(const View &v, uint32_t index, uint8_t *dst, uint32_t n)
{
    uint32_t first = min_u32(v.size - index, n);
    memcpy(dst, v.data + index, first);
    if (n > first) /* most copies do not wrap: spare the empty call */
        memcpy(dst + first, v.data, n - first);
}

/* Copies n bytes into the ring starting at index, wrapping to 0. */
static void copy_in(const View &v, uint32_t index, const uint8_t *src, uint32_t n)
{
    uint32_t first = min_u32(v.size - index, n);
    memcpy(v.data + index, src, first);
    if (n > first)
        memcpy(v.data, src + first, n - first);
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
    View v;
    if (src == nullptr || count == 0 || !take_view(rb, true, &v))
        return 0;
    uint32_t n = min_u32(free_bytes(v), count);
    if (n == 0)
        return 0;
    copy_in(v, v.w, static_cast<const uint8_t *>(src), n);
    publish(&rb->write_index, wrap_add(v.size, v.w, n));
    notify(rb, v, LWRB_EVT_WRITE, n);
    return n;
}

/* The mirror of the write on the read index. */
LC_API uint32_t lwrb_read(lwrb_t *rb, void *dst, uint32_t count)
{
    View v;
    if (dst == nullptr || count == 0 || !take_view(rb, false, &v))
        return 0;
    uint32_t n = min_u32(stored_bytes(v), count);
    if (n == 0)
        return 0;
    copy_out(v, v.r, static_cast<uint8_t *>(dst), n);
    publish(&rb->read_index, wrap_add(v.size, v.r, n));
    notify(rb, v, LWRB_EVT_READ, n);
    return n;
}

LC_API uint32_t lwrb_peek(const lwrb_t *rb, uint32_t skip, void *dst, uint32_t count)
{
    View v;
    if (dst == nullptr || count == 0 || !take_view(rb, false, &v))
        return 0;
    uint32_t full = stored_bytes(v);
    if (skip >= full)
        return 0;
    uint32_t n = min_u32(full - skip, count);
    copy_out(v, wrap_add(v.size, v.r, skip), static_cast<uint8_t *>(dst), n);
    return n;
}

/* Either side may ask; the answer is a momentary view. */
LC_API uint32_t lwrb_get_free(const lwrb_t *rb)
{
    View v;
    return take_view(rb, true, &v) ? free_bytes(v) : 0;
}

LC_API uint32_t lwrb_get_full(const lwrb_t *rb)
{
    View v;
    return take_view(rb, false, &v) ? stored_bytes(v) : 0;
}

LC_API void lwrb_reset(lwrb_t *rb)
{
    if (!is_ready(rb))
        return;
    publish(&rb->write_index, 0);
    publish(&rb->read_index, 0);
    if (rb->evt_fn != nullptr)
        rb->evt_fn(rb, LWRB_EVT_RESET, 0);
}

LC_API void *lwrb_get_linear_block_read_address(const lwrb_t *rb)
{
    View v;
    return take_view(rb, false, &v) ? v.data + v.r : nullptr;
}

/* Readable bytes before the end of the array. */
LC_API uint32_t lwrb_get_linear_block_read_length(const lwrb_t *rb)
{
    View v;
    if (!take_view(rb, false, &v))
        return 0;
    if (v.w > v.r)
        return v.w - v.r;
    return v.r > v.w ? v.size - v.r : 0;
}

/* Consumes up to count bytes without copying them; reports even 0. */
LC_API uint32_t lwrb_skip(lwrb_t *rb, uint32_t count)
{
    View v;
    if (count == 0 || !take_view(rb, false, &v))
        return 0;
    uint32_t n = min_u32(stored_bytes(v), count);
    publish(&rb->read_index, wrap_add(v.size, v.r, n));
    notify(rb, v, LWRB_EVT_READ, n);
    return n;
}

LC_API void *lwrb_get_linear_block_write_address(const lwrb_t *rb)
{
    View v;
    return take_view(rb, true, &v) ? v.data + v.w : nullptr;
}

/* Writable bytes before the end of the array; the last byte stays free
   when the read index is 0, so that the write index never meets it. */
LC_API uint32_t lwrb_get_linear_block_write_length(const lwrb_t *rb)
{
    View v;
    if (!take_view(rb, true, &v))
        return 0;
    if (v.w >= v.r)
        return v.size - v.w - (v.r == 0 ? 1 : 0);
    return v.r - v.w - 1;
}

/* Commits up to count bytes written in place; reports even 0. */
LC_API uint32_t lwrb_advance(lwrb_t *rb, uint32_t count)
{
    View v;
    if (count == 0 || !take_view(rb, true, &v))
        return 0;
    uint32_t n = min_u32(free_bytes(v), count);
    publish(&rb->write_index, wrap_add(v.size, v.w, n));
    notify(rb, v, LWRB_EVT_WRITE, n);
    return n;
}

} /* extern "C" */
