/*
 * frame_queue.cpp - double-buffered audio/video frame queue.
 *
 * The back record is only touched under the shared mutex; the front record
 * belongs to the consumer and is read without a lock.  The consumer moves a
 * batch from back to front under the mutex, which orders the producer's
 * copies before the consumer's reads.
 */
#include "frame_queue.h"

#include "queue_internal.h"
#include "trace.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum {
    BATCH = 32,        /* frames that make a batch worth handing over */
    NAL_BYTE = 4,      /* byte behind the four-byte start code */
    PEEK_WAIT_SEC = 1, /* bound of the peek's one wait */
};

/* True when the record's fields cannot lead outside its tables. */
static bool record_fits(const frame_queue_t *q)
{
    return lc_queue_fits(q->maxdata, q->queue_in, q->queue_out, lc_atomic_get(&q->queue_length));
}

/* Adds delta to the count of the frame type, if it has one. */
static void count_frame(frame_queue_t *q, int32_t type, int32_t delta)
{
    uint32_t *count = type == FRAME_TYPE_VIDEO ? &q->video_num : type == FRAME_TYPE_AUDIO ? &q->audio_num : nullptr;
    if (count != nullptr) /* one writer at a time: no read-modify-write needed */
        lc_atomic_set(count, lc_atomic_get(count) + (uint32_t)delta);
}

/* True when the back record holds what a producer signals for: a batch of
   32 frames or more, or a full record.  Called with the shared mutex. */
static bool batch_ready(const frame_queue_t *back)
{
    uint16_t length = lc_atomic_get(&back->queue_length);
    return length >= BATCH || (back->maxdata != 0 && length == back->maxdata);
}

/* Moves n entries of back from index src to front from index dst, as
   whole runs of the three tables, and clears the pointers and sizes left
   behind.  Called by the consumer with the shared mutex. */
static void move_run(frame_queue_t *front, frame_queue_t *back, int32_t dst, int32_t src, int32_t n)
{
    memcpy(&front->frame[dst], &back->frame[src], n * sizeof front->frame[0]);
    memcpy(&front->size[dst], &back->size[src], n * sizeof front->size[0]);
    memcpy(&front->type[dst], &back->type[src], n * sizeof front->type[0]);
    memset(&back->frame[src], 0, n * sizeof back->frame[0]);
    memset(&back->size[src], 0, n * sizeof back->size[0]);
}

/* Moves every frame of back into the empty front record, entries 0 onward,
   and swaps capacity and counts, so that the caller's two records keep
   their roles.  Back's frames form at most two runs: from queue_out to the
   end of its capacity, and from 0 (they start at 0 but for a record whose
   roles a caller swapped).  Called by the consumer with the shared
   mutex. */
static void exchange(frame_queue_t *front, frame_queue_t *back)
{
    const int32_t length = lc_atomic_get(&back->queue_length);
    const int32_t out = back->queue_out;
    const int32_t first = length < back->maxdata - out ? length : back->maxdata - out;
    move_run(front, back, 0, out, first);
    move_run(front, back, first, 0, length - first);

    uint16_t capacity = front->maxdata;
    lc_atomic_set(&front->maxdata, back->maxdata);
    lc_atomic_set(&back->maxdata, capacity);

    uint16_t front_length = lc_atomic_get(&front->queue_length);
    uint32_t video = lc_atomic_get(&front->video_num);
    uint32_t audio = lc_atomic_get(&front->audio_num);
    lc_atomic_set(&front->queue_length, (uint16_t)length);
    lc_atomic_set(&front->video_num, lc_atomic_get(&back->video_num));
    lc_atomic_set(&front->audio_num, lc_atomic_get(&back->audio_num));
    lc_atomic_set(&back->queue_length, front_length);
    lc_atomic_set(&back->video_num, video);
    lc_atomic_set(&back->audio_num, audio);

    front->queue_in = front->queue_out = 0;
    back->queue_in = back->queue_out = 0;
}

/* Stores a copy the queue now owns at the back record's next entry.
   Called by the producer with the shared mutex, when there is room. */
static void append(frame_queue_t *back, void *copy, uint32_t size, int32_t type)
{
    int32_t in = back->queue_in;
    back->frame[in] = copy;
    back->size[in] = size;
    back->type[in] = type;
    lc_atomic_set(&back->queue_length, (uint16_t)(lc_atomic_get(&back->queue_length) + 1));
    count_frame(back, type, 1);
    back->queue_in = lc_queue_next_index(in, back->maxdata);
}

/* Waits for a batch in back and moves it to front.  With a deadline, waits
   until then at most and moves whatever back holds; without one, waits as
   long as it takes.  Returns false when back is unusable or the wait
   failed.  Called by the consumer while its front record is empty. */
static bool take_batch(pthread_mutex_t *mutex, pthread_cond_t *cond, frame_queue_t *front, frame_queue_t *back,
                       const struct timespec *deadline)
{
    bool ok = true;
    pthread_mutex_lock(mutex);
    if (!record_fits(back)) {
        ok = false;
    } else {
        while (!batch_ready(back)) {
            int rc = deadline ? pthread_cond_timedwait(cond, mutex, deadline) : pthread_cond_wait(cond, mutex);
            if (rc == ETIMEDOUT)
                break;
            if (rc != 0) {
                ok = false;
                break;
            }
        }
        if (ok)
            exchange(front, back);
    }
    pthread_mutex_unlock(mutex);
    return ok;
}

extern "C" {

/* Zeroes the record, then sets its capacity and initialises its lock. */
LC_API uint32_t queue_create2(frame_queue_t *q, uint16_t capacity)
{
    return lc_queue_create(q, capacity, FRAME_QUEUE_MAX, __func__, __LINE__);
}

/* Releases the frames still stored and empties the record. */
LC_API uint32_t queue_clear2(frame_queue_t *q)
{
    if (q == nullptr)
        return LC_QUEUE_ERR;
    pthread_mutex_lock(&q->lock);
    if (record_fits(q)) {
        int32_t i = q->queue_out;
        for (uint16_t n = lc_atomic_get(&q->queue_length); n > 0; n--) {
            free(q->frame[i]);
            q->frame[i] = nullptr;
            i = lc_queue_next_index(i, q->maxdata);
        }
    }
    for (int i = 0; i < FRAME_QUEUE_MAX; i++) {
        q->size[i] = 0;
        q->type[i] = FRAME_TYPE_NONE;
    }
    lc_atomic_set(&q->queue_length, (uint16_t)0);
    q->queue_in = q->queue_out = 0;
    lc_atomic_set(&q->video_num, 0u);
    lc_atomic_set(&q->audio_num, 0u);
    pthread_mutex_unlock(&q->lock);
    return LC_QUEUE_OK;
}

LC_API uint32_t queue_length2(frame_queue_t *q)
{
    if (q == nullptr)
        return LC_QUEUE_ERR;
    pthread_mutex_lock(&q->lock);
    uint32_t length = lc_atomic_get(&q->queue_length);
    pthread_mutex_unlock(&q->lock);
    return length;
}

LC_API uint32_t queue_get_audio_num(frame_queue_t *q)
{
    if (q == nullptr)
        return LC_QUEUE_ERR;
    pthread_mutex_lock(&q->lock);
    uint32_t audio = lc_atomic_get(&q->audio_num);
    pthread_mutex_unlock(&q->lock);
    return audio;
}

LC_API uint32_t queue_get_video_num(pthread_mutex_t *mutex, pthread_cond_t *cond, frame_queue_t *front,
                                    frame_queue_t *back)
{
    if (mutex == nullptr || cond == nullptr || front == nullptr || back == nullptr)
        return LC_QUEUE_ERR;
    pthread_mutex_lock(mutex);
    uint32_t video = lc_atomic_get(&front->video_num) + lc_atomic_get(&back->video_num);
    pthread_mutex_unlock(mutex);
    return video;
}

/* Copies one frame into the back record and signals a waiting consumer
   once a batch is there (or the record is full).  The signal follows the
   release of the mutex: a consumer woken while the producer still held it
   would only sleep again on the mutex.  The consumer tests for its batch
   under the mutex, so no wake-up is lost. */
LC_API uint32_t queue_write2(pthread_mutex_t *mutex, pthread_cond_t *cond, frame_queue_t *back, const void *data,
                             uint32_t size, int32_t type)
{
    if (mutex == nullptr || cond == nullptr || back == nullptr || data == nullptr || size == 0)
        return LC_QUEUE_ERR;
    int in = 0, out = 0, length = 0, video = 0, audio = 0;
    auto look = [&] {
        if (!record_fits(back))
            return lc_put::refused;
        length = lc_atomic_get(&back->queue_length);
        if (length != back->maxdata)
            return lc_put::stored;
        in = back->queue_in, out = back->queue_out;
        video = (int)lc_atomic_get(&back->video_num), audio = (int)lc_atomic_get(&back->audio_num);
        return lc_put::full;
    };
    auto store = [&](void *copy) { append(back, copy, size, type); };
    const bool looked_full = lc_atomic_get(&back->queue_length) == lc_atomic_get(&back->maxdata);
    const lc_put put = lc_queue_put(mutex, looked_full, data, size, look, store);
    if (put == lc_put::full || (put == lc_put::stored && length + 1 >= BATCH))
        pthread_cond_signal(cond);
    if (put == lc_put::full)
        XEL_TRACE(lib, 6,
                  "###########Data Full!, queue_in: %d, queue_out: %d, queue_length: %d, "
                  "video_num: %d, audio_num: %d\n",
                  in, out, length, video, audio);
    if (put == lc_put::no_memory)
        XEL_TRACE(lib, 6, "Malloc Error!\n");
    return lc_put_result(put);
}

/* Hands out the next frame of the front record, waiting for a batch when
   it is empty. */
LC_API void *queue_read2(pthread_mutex_t *mutex, pthread_cond_t *cond, frame_queue_t *front, frame_queue_t *back,
                         uint32_t *size, int32_t *type)
{
    if (mutex == nullptr || cond == nullptr || front == nullptr || back == nullptr || size == nullptr ||
        !record_fits(front))
        return nullptr;
    while (lc_atomic_get(&front->queue_length) == 0) {
        if (!take_batch(mutex, cond, front, back, nullptr))
            return nullptr;
    }
    int32_t out = front->queue_out;
    void *frame = front->frame[out];
    front->frame[out] = nullptr;
    lc_atomic_set(&front->queue_length, (uint16_t)(lc_atomic_get(&front->queue_length) - 1));
    *size = front->size[out];
    if (type != nullptr)
        *type = front->type[out];
    count_frame(front, front->type[out], -1);
    front->queue_out = lc_queue_next_index(out, front->maxdata);
    return frame;
}

/* Classifies the next frame without taking it; waits once, about a second,
   when the front record is empty. */
LC_API int32_t queue_get_frame_type(pthread_mutex_t *mutex, pthread_cond_t *cond, frame_queue_t *front,
                                    frame_queue_t *back, int32_t *type)
{
    if (mutex == nullptr || cond == nullptr || front == nullptr || back == nullptr || type == nullptr ||
        !record_fits(front))
        return -1;
    if (lc_atomic_get(&front->queue_length) == 0) {
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += PEEK_WAIT_SEC;
        if (!take_batch(mutex, cond, front, back, &deadline) || lc_atomic_get(&front->queue_length) == 0)
            return -1;
    }
    int32_t out = front->queue_out;
    *type = front->type[out];
    if (*type == FRAME_TYPE_AUDIO)
        return FRAME_PEEK_AUDIO;
    if (*type != FRAME_TYPE_VIDEO || front->size[out] <= NAL_BYTE)
        return 0;
    return static_cast<const uint8_t *>(front->frame[out])[NAL_BYTE] & 0x1f;
}

} /* extern "C" */
