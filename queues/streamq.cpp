/*
 * streamq.cpp - ring of in-place stream entries.
 *
 * The producer changes only the write index and the consumer only the read
 * index; each publishes its own with a release store and reads the other's
 * with an acquire load.
 */
#include "streamq.h"

#include "trace.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

static int32_t load_index(const int32_t *index)
{
    return __atomic_load_n(index, __ATOMIC_ACQUIRE);
}

static void publish_index(int32_t *index, int32_t value)
{
    __atomic_store_n(index, value, __ATOMIC_RELEASE);
}

static int32_t step(const streamq_t *q, int32_t index)
{
    return index < q->count - 1 ? index + 1 : 0;
}

static bool index_valid(const streamq_t *q, int32_t index)
{
    return index >= 0 && index < q->count;
}

extern "C" {

/* Allocates header, information area and data area as one zeroed block. */
LC_API streamq_t *streamq_alloc(int32_t data_size, int32_t count, uint32_t info_size)
{
    if (data_size < 1 || count < 1)
        return nullptr;
    /* No block larger than PTRDIFF_MAX exists; checking against it also
       catches every overflow of the sum and the product. */
    const size_t limit = PTRDIFF_MAX - sizeof(streamq_t);
    size_t entry = (size_t)data_size + info_size;
    void *block = nullptr;
    if (entry >= (size_t)data_size && entry <= limit / (size_t)count)
        block = calloc(1, sizeof(streamq_t) + entry * (size_t)count);
    if (block == nullptr) {
        XEL_TRACE(lib, 3, "alloc memory failed for stream_queue\n\n");
        return nullptr;
    }
    streamq_t *q = static_cast<streamq_t *>(block);
    q->data_size = data_size;
    q->count = count;
    q->info_size = info_size;
    q->info = reinterpret_cast<uint8_t *>(q + 1);
    q->data = q->info + (size_t)count * info_size;
    return q;
}

LC_API void streamq_free(streamq_t *q)
{
    free(q);
}

LC_API int32_t streamq_query(streamq_t *q, int32_t index, void **data, void **info)
{
    if (q == nullptr || !index_valid(q, index))
        return -1;
    if (data != nullptr)
        *data = q->data + (size_t)index * (size_t)q->data_size;
    if (info != nullptr)
        *info = q->info + (size_t)index * q->info_size;
    return 0;
}

LC_API int32_t streamq_r(streamq_t *q)
{
    return q == nullptr ? -1 : load_index(&q->read_index);
}

LC_API int32_t streamq_w(streamq_t *q)
{
    return q == nullptr ? -1 : load_index(&q->write_index);
}

LC_API int32_t streamq_used_buf(streamq_t *q)
{
    if (q == nullptr)
        return -1;
    int32_t r = load_index(&q->read_index);
    int32_t w = load_index(&q->write_index);
    return w >= r ? w - r : w + q->count - r;
}

/* Held range: r <= index < w, or, wrapped, index >= r or index < w. */
LC_API int32_t streamq_inused(streamq_t *q, int32_t index)
{
    if (q == nullptr)
        return -1;
    if (!index_valid(q, index))
        return 0;
    int32_t r = load_index(&q->read_index);
    int32_t w = load_index(&q->write_index);
    if (r <= w)
        return r <= index && index < w;
    return index >= r || index < w;
}

LC_API int32_t streamq_next(streamq_t *q, int32_t index)
{
    if (q == nullptr || !index_valid(q, index))
        return -1;
    return step(q, index);
}

/* Commits the filled entry unless that would make write meet read. */
LC_API int32_t streamq_push(streamq_t *q)
{
    if (q == nullptr)
        return -1;
    int32_t next = step(q, q->write_index);
    if (next == load_index(&q->read_index))
        return -1;
    publish_index(&q->write_index, next);
    return next;
}

/* Releases the oldest entry unless the queue is empty. */
LC_API int32_t streamq_pop(streamq_t *q)
{
    if (q == nullptr)
        return -1;
    int32_t r = q->read_index;
    if (r == load_index(&q->write_index))
        return -1;
    int32_t next = step(q, r);
    publish_index(&q->read_index, next);
    return next;
}

} /* extern "C" */
