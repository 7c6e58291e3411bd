/**
 * \file
 * \defgroup lib_common_frame_queue Audio/video frame queue
 * \ingroup lib_common_queues
 * frame_queue.h - double-buffered audio/video frame queue.
 *
 * Hands encoded frames from one producing thread to one consuming thread in
 * batches.  The caller owns two records of the same capacity, a front record
 * that only the consumer reads and a back record that the producer fills,
 * plus one mutex and one condition variable shared by both sides.  A write
 * copies the frame into memory owned by the queue and appends it to the back
 * record; once the back record holds 32 frames or more (or is full) a write
 * signals the condition.  A consumer that finds its front record empty waits
 * for such a batch and then moves it into the front record under the shared
 * mutex, after which the whole batch is read without locking.  A frame
 * handed out by queue_read2 belongs to the reader, who releases it with
 * free(); queue_clear2 releases the frames never read.
 *
 * Frame types: 0 video, 1 audio; other values are carried but counted in
 * neither video_num nor audio_num.
 *
 * The condition variable must be created on CLOCK_MONOTONIC
 * (pthread_condattr_setclock) for queue_get_frame_type's one-second bound.
 *
 * Choices made for input the interface leaves open:
 *  - The consumer checks the back record before it waits: it sleeps only
 *    while the back record holds fewer than 32 frames and is not full, so a
 *    batch signalled before the consumer started to wait is not missed, and
 *    a spurious wake-up takes nothing.
 *  - The exchange moves the back record's frames into the front record
 *    (entries 0 onward) and swaps capacity and counts; both records keep
 *    their roles.  Entries handed out or moved are cleared, so no stale
 *    frame pointer stays behind.
 *  - queue_get_frame_type gives 0 for a video frame shorter than 5 bytes
 *    instead of reading past it.
 *  - A record whose capacity is above 512, or whose indices or length do
 *    not fit its capacity (never created, or overwritten), is refused:
 *    LC_QUEUE_ERR from a write, null from a read, -1 from the peek.  A
 *    capacity of 0 gives a queue that reports every write full.
 *  - queue_length, video_num and audio_num are read and written as relaxed
 *    atomic words, so queue_length2, queue_get_audio_num and
 *    queue_get_video_num never race with the reader or the writer; their
 *    answer is momentary.  queue_clear2 must still not run on a record
 *    while an exchange may happen.
 *  - A write copies the frame before it takes the shared mutex (unless the
 *    back record is full), and signals the condition after releasing it:
 *    the consumer's exchange never waits behind the allocator, and a
 *    consumer woken by the signal finds the mutex free.
 *
 * Threads: one consumer thread reads (queue_read2, queue_get_frame_type);
 * one producer, or several that the shared mutex serialises, writes
 * (queue_write2).  The reads wait for frames: do not call them from a
 * debug command handler, and a task function that calls them holds a pool
 * worker while it waits.
 * @{
 */
#ifndef LC_FRAME_QUEUE_H
#define LC_FRAME_QUEUE_H

#include "lc_defs.h"
#include "queue_results.h"

#include <pthread.h>

LC_BEGIN_DECLS

#define FRAME_QUEUE_MAX 512   /**< entries in every record */
#define FRAME_TYPE_VIDEO 0    /**< a video frame, counted in video_num */
#define FRAME_TYPE_AUDIO 1    /**< an audio frame, counted in audio_num */
#define FRAME_TYPE_NONE 2     /**< what queue_clear2 leaves in every type entry */
#define FRAME_PEEK_AUDIO (-2) /**< queue_get_frame_type for an audio frame */

/** One record (front or back) of a frame queue; the caller owns it. */
typedef struct frame_queue {
    int32_t queue_out;              /**< next frame to read */
    int32_t queue_in;               /**< next entry to fill */
    uint16_t maxdata;               /**< capacity: entries in use */
    void *frame[FRAME_QUEUE_MAX];   /**< copies owned by the queue */
    uint32_t size[FRAME_QUEUE_MAX]; /**< byte size of each frame */
    int32_t type[FRAME_QUEUE_MAX];  /**< type of each frame */
    uint16_t queue_length;          /**< stored frames */
    uint32_t video_num;             /**< stored frames of type 0 */
    uint32_t audio_num;             /**< stored frames of type 1 */
    pthread_mutex_t lock;           /**< record lock (clear, length, audio count) */
} frame_queue_t;

/** Zeroes the record, sets its capacity and initialises the record lock.
    LC_QUEUE_OK, or LC_QUEUE_ERR for a null record or a capacity above 512
    (the record is zeroed all the same).

    Thread safety: before the producer and the consumer start; no other
    call may use the record meanwhile. */
LC_API uint32_t queue_create2(frame_queue_t *q, uint16_t capacity);
/** Releases every stored frame and empties the record (types become 2).
    LC_QUEUE_OK, or LC_QUEUE_ERR for a null record.

    Thread safety: only while no exchange can happen: the consumer is not
    reading and no producer is writing (for example after both have
    stopped). */
LC_API uint32_t queue_clear2(frame_queue_t *q);
/** Stored frames, or LC_QUEUE_ERR for a null record.

    Thread safety: any thread (record lock, atomic word); momentary. */
LC_API uint32_t queue_length2(frame_queue_t *q);
/** Audio frames of this one record, or LC_QUEUE_ERR for a null record.

    Thread safety: any thread (record lock, atomic word); momentary. */
LC_API uint32_t queue_get_audio_num(frame_queue_t *q);
/** Video frames of both records, read under the shared mutex; LC_QUEUE_ERR
    when any argument is null.

    Thread safety: any thread (shared mutex); momentary. */
LC_API uint32_t queue_get_video_num(pthread_mutex_t *mutex, pthread_cond_t *cond, frame_queue_t *front,
                                    frame_queue_t *back);
/** Producer: copies size bytes of data with its type into the back record.
    LC_QUEUE_OK; LC_QUEUE_FULL when full (traced, and the condition is
    signalled) or out of memory; LC_QUEUE_ERR for a null argument or size 0.

    Thread safety: producer threads, serialised by the shared mutex it
    takes; it never waits for the consumer beyond that mutex. */
LC_API uint32_t queue_write2(pthread_mutex_t *mutex, pthread_cond_t *cond, frame_queue_t *back, const void *data,
                             uint32_t size, int32_t type);
/** Consumer: the next frame (the caller frees it), with its size and type
    (type may be null).  Waits without limit for a batch when the front
    record is empty.  Null when a required argument is null.

    Thread safety: the one consumer thread (it reads the front record
    without a lock); not from a debug command handler. */
LC_API void *queue_read2(pthread_mutex_t *mutex, pthread_cond_t *cond, frame_queue_t *front, frame_queue_t *back,
                         uint32_t *size, int32_t *type);
/** Consumer: stores the type of the next frame and classifies it without
    taking it: video gives the low five bits of byte 4 (the NAL unit type
    behind a 00 00 00 01 start code), audio gives -2, other types 0.  Waits
    at most once, about one second, for a batch; -1 when there is still no
    frame, or for a null argument.

    Thread safety: the one consumer thread, as queue_read2. */
LC_API int32_t queue_get_frame_type(pthread_mutex_t *mutex, pthread_cond_t *cond, frame_queue_t *front,
                                    frame_queue_t *back, int32_t *type);

LC_END_DECLS

/** @} */

#endif /* LC_FRAME_QUEUE_H */
