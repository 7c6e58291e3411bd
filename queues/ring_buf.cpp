/*
 * ring_buf.cpp - ring of fixed-size elements with lap flags.
 */
#include "ring_buf.h"

#include <assert.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static uint32_t slot_of(uint32_t index)
{
    return index & ~RING_BUF_LAP;
}

/* True when the ring has storage and both indices name one of its slots,
   so that every slot address lies inside the storage. */
static bool is_usable(const ring_buf_t *rb)
{
    return rb->storage != nullptr && rb->count > 0 && slot_of(rb->read_index) < rb->count &&
           slot_of(rb->write_index) < rb->count;
}

/* The ring must be usable. */
static uint8_t *slot_address(const ring_buf_t *rb, uint32_t index)
{
    assert(is_usable(rb));
    assert(slot_of(index) < rb->count);
    return rb->storage + (size_t)slot_of(index) * rb->size;
}

extern "C" {

/* Sets the ring up empty and allocates its zeroed storage. */
LC_API int32_t ring_buf_init(ring_buf_t *rb, uint32_t count, uint32_t size)
{
    if (rb == nullptr)
        return 0;
    rb->count = count;
    rb->size = size;
    rb->read_index = 0;
    rb->write_index = 0;
    rb->storage = nullptr;
    if (count == 0 || count >= RING_BUF_LAP || size == 0 || count > PTRDIFF_MAX / size)
        return 0;
    rb->storage = static_cast<uint8_t *>(calloc(count, size));
    return rb->storage != nullptr;
}

LC_API void ring_buf_free(ring_buf_t *rb)
{
    if (rb == nullptr)
        return;
    free(rb->storage);
    rb->storage = nullptr;
}

LC_API void ring_buf_clear(ring_buf_t *rb)
{
    if (rb == nullptr)
        return;
    rb->read_index = 0;
    rb->write_index = 0;
}

LC_API int32_t ring_buf_is_empty(const ring_buf_t *rb)
{
    return rb == nullptr || !is_usable(rb) || rb->read_index == rb->write_index;
}

LC_API int32_t ring_buf_is_full(const ring_buf_t *rb)
{
    return rb == nullptr || !is_usable(rb) || (rb->read_index ^ rb->write_index) == RING_BUF_LAP;
}

/* Keeps the lap flag, steps the slot, and flips the flag on the wrap. */
LC_API void ring_buf_incr(const ring_buf_t *rb, uint32_t *index)
{
    if (rb == nullptr || index == nullptr || rb->count == 0)
        return;
    uint32_t lap = *index & RING_BUF_LAP;
    uint32_t slot = slot_of(*index) + 1;
    if (slot >= rb->count) {
        slot = 0;
        lap ^= RING_BUF_LAP;
    }
    *index = lap | slot;
}

LC_API int32_t ring_buf_write(ring_buf_t *rb, const void *element)
{
    if (element == nullptr || ring_buf_is_full(rb))
        return 0;
    memcpy(slot_address(rb, rb->write_index), element, rb->size);
    ring_buf_incr(rb, &rb->write_index);
    return 1;
}

LC_API int32_t ring_buf_read(ring_buf_t *rb, void *out)
{
    if (out == nullptr || ring_buf_is_empty(rb))
        return 0;
    memcpy(out, slot_address(rb, rb->read_index), rb->size);
    ring_buf_incr(rb, &rb->read_index);
    return 1;
}

} /* extern "C" */
