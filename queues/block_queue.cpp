/*
 * block_queue.cpp - self-locking queue of data blocks.
 */
#include "block_queue.h"

#include "queue_internal.h"
#include "trace.h"

#include <stdlib.h>
#include <string.h>

/* True when the record's fields cannot lead outside its tables.  Called
   with the record lock. */
static bool record_fits(const block_queue_t *q)
{
    return lc_queue_fits(q->maxdata, q->queue_in, q->queue_out, q->queue_length);
}

/* The type table as queue_clear3 leaves it, copied in whole (as the other
   tables are zeroed whole) rather than set entry by entry. */
namespace {
struct ClearedTypes {
    int32_t type[BLOCK_QUEUE_MAX];
    constexpr ClearedTypes() : type()
    {
        for (int32_t &t : type)
            t = BLOCK_TYPE_NONE;
    }
};
}  // namespace
static constexpr ClearedTypes cleared_types;

extern "C" {

/* Zeroes the record, then sets its capacity and initialises its lock. */
LC_API uint32_t queue_create3(block_queue_t *q, uint16_t capacity)
{
    return lc_queue_create(q, capacity, BLOCK_QUEUE_MAX, __func__, __LINE__);
}

LC_API uint32_t queue_length3(block_queue_t *q)
{
    if (q == nullptr)
        return LC_QUEUE_ERR;
    return lc_atomic_get(&q->queue_length);
}

/* Releases the blocks still stored and empties the record. */
LC_API uint32_t queue_clear3(block_queue_t *q)
{
    if (q == nullptr)
        return LC_QUEUE_ERR;
    XEL_TRACE(lib, 6, "enter queue_clear3\n");
    pthread_mutex_lock(&q->lock);
    if (record_fits(q)) {
        int32_t i = q->queue_out;
        for (uint16_t n = q->queue_length; n > 0; n--) {
            free(q->block[i]);
            q->block[i] = nullptr;
            i = lc_queue_next_index(i, q->maxdata);
        }
    }
    memset(q->size, 0, sizeof q->size);
    memset(q->value, 0, sizeof q->value);
    memcpy(q->type, cleared_types.type, sizeof q->type);
    lc_atomic_set(&q->queue_length, (uint16_t)0);
    q->queue_in = q->queue_out = 0;
    pthread_mutex_unlock(&q->lock);
    XEL_TRACE(lib, 6, "leave queue_clear3\n");
    return LC_QUEUE_OK;
}

/* Copies one block into the queue; nothing is stored on failure.  Both
   refusals are traced by this function itself, after the lock is released
   (a trace may reach syslog). */
LC_API uint32_t queue_write3(block_queue_t *q, const void *data, uint32_t size, int32_t type, uint64_t value)
{
    if (q == nullptr)
        return LC_QUEUE_ERR;
    if (data == nullptr) {
        XEL_TRACE(lib, 6, "p_data == NULL\n");
        return LC_QUEUE_ERR;
    }
    if (size == 0) {
        XEL_TRACE(lib, 6, "length == 0\n");
        return LC_QUEUE_ERR;
    }
    int length = 0, maxdata = 0;
    auto look = [&] {
        if (!record_fits(q))
            return lc_put::refused;
        if (q->queue_length != q->maxdata)
            return lc_put::stored;
        length = q->queue_length;
        maxdata = q->maxdata;
        return lc_put::full;
    };
    auto store = [&](void *copy) {
        int32_t in = q->queue_in;
        q->block[in] = copy;
        q->size[in] = size;
        q->type[in] = type;
        q->value[in] = value;
        lc_atomic_set(&q->queue_length, (uint16_t)(q->queue_length + 1));
        q->queue_in = lc_queue_next_index(in, q->maxdata);
    };
    const lc_put put = lc_queue_put(&q->lock, lc_atomic_get(&q->queue_length) == q->maxdata, data, size, look, store);
    if (put == lc_put::full)
        XEL_TRACE(lib, 6, "###########Data Full!, queue_length: %d, queue->maxdata: %d\n", length, maxdata);
    if (put == lc_put::no_memory)
        XEL_TRACE(lib, 6, "Malloc Error!\n");
    return lc_put_result(put);
}

/* Hands out the oldest block, or null at once when there is none. */
LC_API void *queue_read3(block_queue_t *q, uint32_t *size, int32_t *type, uint64_t *value)
{
    if (q == nullptr)
        return nullptr;
    void *block = nullptr;
    pthread_mutex_lock(&q->lock);
    if (record_fits(q) && q->queue_length > 0) {
        int32_t out = q->queue_out;
        block = q->block[out];
        q->block[out] = nullptr;
        lc_atomic_set(&q->queue_length, (uint16_t)(q->queue_length - 1));
        if (size != nullptr)
            *size = q->size[out];
        if (type != nullptr)
            *type = q->type[out];
        if (value != nullptr)
            *value = q->value[out];
        q->queue_out = lc_queue_next_index(out, q->maxdata);
    }
    pthread_mutex_unlock(&q->lock);
    return block;
}

} /* extern "C" */
