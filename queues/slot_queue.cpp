/*
 * slot_queue.cpp - queue of fixed 512-byte slots in a caller record.
 *
 * Positions are pointers into the record's slot area; the queue is empty
 * when they are equal, so at most depth - 1 slots may ever be stored.
 */
#include "slot_queue.h"

#include "trace.h"

#include <assert.h>
#include <string.h>

enum { SLOT_SIZE = SLOT_QUEUE_SLOT_SIZE, SLOTS = SLOT_QUEUE_SLOTS };

/* Largest maxdata that keeps a full queue from reading as empty. */
static uint16_t max_limit(uint16_t depth)
{
    return (uint16_t)(depth - 1);
}

/* The slot area as one run of bytes: positions move across slot
   boundaries, which indexing the first slot's row would not allow. */
static uint8_t *slot_base(slot_queue_t *q)
{
    return reinterpret_cast<uint8_t *>(q->slot);
}

static const uint8_t *slot_base(const slot_queue_t *q)
{
    return reinterpret_cast<const uint8_t *>(q->slot);
}

/* Points both positions at slot 0 and queue_end past the last slot in use,
   bounding depth to the record's slots first. */
static void reset_positions(slot_queue_t *q)
{
    if (q->depth > SLOTS)
        q->depth = SLOTS;
    if (q->depth < 1)
        q->depth = 1;
    q->queue_out = slot_base(q);
    q->queue_in = slot_base(q);
    q->queue_end = slot_base(q) + (size_t)q->depth * SLOT_SIZE;
}

/* Slot number of a position, or -1 when it is not the start of a slot in
   use.  Comparing addresses as integers keeps foreign pointers harmless. */
static int slot_index(const slot_queue_t *q, const uint8_t *pos)
{
    uintptr_t base = (uintptr_t)slot_base(q);
    uintptr_t p = (uintptr_t)pos;
    if (p < base)
        return -1;
    uintptr_t off = p - base;
    if (off % SLOT_SIZE != 0 || off / SLOT_SIZE >= q->depth)
        return -1;
    return (int)(off / SLOT_SIZE);
}

/* True when depth, queue_end and both positions describe this record. */
static bool is_consistent(const slot_queue_t *q)
{
    return q->depth >= 1 && q->depth <= SLOTS && q->queue_end == slot_base(q) + (size_t)q->depth * SLOT_SIZE &&
           slot_index(q, q->queue_out) >= 0 && slot_index(q, q->queue_in) >= 0;
}

/* The position one slot after pos, wrapping to slot 0 at queue_end. */
static uint8_t *next_position(slot_queue_t *q, uint8_t *pos)
{
    uint8_t *next = pos + SLOT_SIZE;
    return next >= q->queue_end ? slot_base(q) : next;
}

/* Slots stored; the record must be consistent. */
static uint32_t stored(const slot_queue_t *q)
{
    assert(is_consistent(q));
    int out = slot_index(q, q->queue_out);
    int in = slot_index(q, q->queue_in);
    return (uint32_t)((in - out + q->depth) % q->depth);
}

extern "C" {

/* Sets up an empty queue of depth slots that accepts maxdata of them. */
LC_API uint32_t queue_create(slot_queue_t *q, uint8_t depth, uint8_t maxdata)
{
    if (q == nullptr)
        return LC_QUEUE_ERR;
    q->depth = depth;
    reset_positions(q);
    q->maxdata = maxdata < max_limit(q->depth) ? maxdata : max_limit(q->depth);
    memset(q->slot, 0, sizeof q->slot);
    return LC_QUEUE_OK;
}

/* Empties and zeroes the queue and opens it for 31 slots (or fewer). */
LC_API void queue_clear(slot_queue_t *q)
{
    if (q == nullptr)
        return;
    memset(q->slot, 0, sizeof q->slot);
    reset_positions(q);
    q->maxdata = max_limit(q->depth); /* 31 for the full 32 slots */
}

/* Drops the stored slots and closes the queue for writing. */
LC_API void queue_flush(slot_queue_t *q)
{
    if (q == nullptr)
        return;
    reset_positions(q);
    q->maxdata = 0;
}

LC_API uint32_t queue_length(const slot_queue_t *q)
{
    if (q == nullptr)
        return LC_QUEUE_ERR;
    return is_consistent(q) ? stored(q) : 0;
}

/* Copies the data into the next slot; the record is unchanged on failure. */
LC_API uint32_t queue_write(slot_queue_t *q, const void *data, uint16_t len, uint16_t type, slot_queue_info info)
{
    if (q == nullptr)
        return LC_QUEUE_ERR;
    if (data == nullptr) {
        XEL_TRACE(lib, 6, "Data Null!\n\n");
        return LC_QUEUE_ERR;
    }
    if (len > SLOT_SIZE) {
        XEL_TRACE(lib, 6, "Data Too Long! len: %u\n\n", (unsigned)len);
        return LC_QUEUE_ERR;
    }
    if (!is_consistent(q))
        return LC_QUEUE_ERR;
    uint16_t limit = q->maxdata < max_limit(q->depth) ? q->maxdata : max_limit(q->depth);
    if (stored(q) >= limit) {
        XEL_TRACE(lib, 6, "Data Full!\n\n");
        return LC_QUEUE_FULL;
    }
    int index = slot_index(q, q->queue_in);
    memset(q->queue_in, 0, SLOT_SIZE);
    memcpy(q->queue_in, data, len);
    q->len[index] = len;
    q->type[index] = type;
    q->info[index] = info;
    q->queue_in = next_position(q, q->queue_in);
    return LC_QUEUE_OK;
}

/* Copies the oldest slot out; its len, type and info stay in the record
   until a later write reuses the slot. */
LC_API uint32_t queue_read(slot_queue_t *q, void *buf)
{
    if (q == nullptr || buf == nullptr || !is_consistent(q) || q->queue_out == q->queue_in)
        return LC_QUEUE_ERR;
    int index = slot_index(q, q->queue_out);
    memcpy(buf, q->queue_out, SLOT_SIZE);
    q->queue_out = next_position(q, q->queue_out);
    return (uint32_t)index;
}

} /* extern "C" */
