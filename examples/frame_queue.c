/*
 * frame_queue.c - video and audio frames from a producer thread to a
 * consumer thread through the double-buffered frame queue (queue_*2).
 *
 * What to notice:
 *  - The caller owns everything the queue works on: two records of the same
 *    capacity (the back record the producer fills, the front record the
 *    consumer reads), one mutex and one condition variable.
 *  - queue_write2 copies the frame: the producer's buffer is its own again
 *    as soon as the call returns.  A frame handed out by queue_read2
 *    belongs to the reader, who frees it.
 *  - A write into a full back record stores nothing and answers
 *    LC_QUEUE_FULL: the producer still has its frame and decides what to do
 *    (here it retries; a live encoder might drop it instead).
 *  - The consumer takes frames in batches of 32: it waits only when its
 *    front record is empty, moves the whole batch over under the mutex,
 *    then reads that batch without any lock.
 *  - queue_get_video_num counts the video frames waiting in both records;
 *    queue_get_audio_num counts the audio frames of the one record given.
 *
 * The clip is four groups of 32 frames (a parameter set pair, a key frame,
 * P frames and audio), so it is made of whole batches: a batch moves to the
 * consumer once 32 frames wait, and a shorter tail would wait for the next
 * write.
 */
#define _POSIX_C_SOURCE 200809L /* POSIX.1-2008: threads, clocks */

#include <lib_common/lib_common.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum {
    BATCH = 32, /* frames the queue hands over at a time */
    GROUPS = 4, /* groups of pictures in the clip */
    FRAMES = GROUPS * BATCH,
    MAX_FRAME_BYTES = 200, /* the key frame, the largest */
    SEQ_OFFSET = 5         /* where each frame carries its number */
};

/* H.264 NAL unit header bytes behind the 00 00 00 01 start code; the low
   five bits are the unit type that queue_get_frame_type reports. */
enum { NAL_SPS = 0x67, NAL_PPS = 0x68, NAL_IDR = 0x65, NAL_P = 0x41 };

/* Shared by the two threads; the records are large (about 6 KB each), so
   they are not put on a stack. */
static frame_queue_t front, back;
static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t cond;

static void fail(const char *what)
{
    fprintf(stderr, "frame_queue: %s\n", what);
    exit(EXIT_FAILURE);
}

/* Makes frame number seq of the clip in buf; returns its size and sets its
   type.  In each group of 32, every fourth frame is audio; the video
   frames are SPS, PPS, a key frame (IDR), then P frames. */
static uint32_t make_frame(uint32_t seq, uint8_t *buf, int32_t *type)
{
    static const uint8_t start_code[4] = {0, 0, 0, 1};
    uint32_t pos = seq % BATCH, size;
    memset(buf, 0, MAX_FRAME_BYTES);
    if (pos % 4 == 3) {
        *type = FRAME_TYPE_AUDIO;
        buf[0] = 0xFF; /* an ADTS sync word starts an AAC frame */
        buf[1] = 0xF1;
        size = 32;
    } else {
        static const uint8_t nal[3] = {NAL_SPS, NAL_PPS, NAL_IDR};
        static const uint32_t nal_size[3] = {12, 12, MAX_FRAME_BYTES};
        *type = FRAME_TYPE_VIDEO;
        memcpy(buf, start_code, sizeof start_code);
        buf[4] = pos < 3 ? nal[pos] : NAL_P;
        size = pos < 3 ? nal_size[pos] : 60;
    }
    memcpy(buf + SEQ_OFFSET, &seq, sizeof seq);
    return size;
}

static void sleep_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

/* Writes the rest of the clip; main wrote the first group already. */
static void *producer(void *unused)
{
    (void)unused;
    uint8_t frame[MAX_FRAME_BYTES];
    for (uint32_t seq = BATCH; seq < FRAMES; seq++) {
        int32_t type;
        uint32_t size = make_frame(seq, frame, &type);
        uint32_t rc;
        /* Full means the consumer has not taken the last batch yet; the
           frame was not stored, so the same buffer is offered again. */
        while ((rc = queue_write2(&mutex, &cond, &back, frame, size, type)) == LC_QUEUE_FULL)
            sleep_ms(1);
        if (rc != LC_QUEUE_OK)
            fail("write refused");
    }
    return NULL;
}

/* Totals of what the consumer received. */
struct received {
    uint32_t video, audio, key_frames, bytes;
};

/* Checks one frame, counts it, and frees it: it is the reader's now. */
static void take_frame(uint8_t *frame, uint32_t size, int32_t type, uint32_t seq, struct received *got)
{
    uint32_t carried;
    memcpy(&carried, frame + SEQ_OFFSET, sizeof carried);
    if (carried != seq)
        fail("frame out of order");
    if (type == FRAME_TYPE_VIDEO) {
        got->video++;
        if ((frame[4] & 0x1f) == (NAL_IDR & 0x1f))
            got->key_frames++;
    } else {
        got->audio++;
    }
    got->bytes += size;
    free(frame);
}

static void *consumer(void *unused)
{
    (void)unused;
    struct received got = {0, 0, 0, 0};
    uint32_t seq = 0, size;
    int32_t type;

    /* A decoder can only start at a parameter set, so it looks at the next
       frame without taking it.  With the front record empty the peek waits
       (once, at most a second) for a batch; here the back record is full
       already, so the batch moves over at once. */
    int32_t nal = queue_get_frame_type(&mutex, &cond, &front, &back, &type);
    printf("consumer: the clip starts with a %s frame, NAL unit type %d\n",
           type == FRAME_TYPE_VIDEO ? "video" : "audio", (int)nal);

    for (int batch = 1; batch <= GROUPS; batch++) {
        /* The first read of a batch waits for it when the front record is
           empty and moves it over under the mutex. */
        uint8_t *frame = queue_read2(&mutex, &cond, &front, &back, &size, &type);
        if (frame == NULL)
            fail("read refused");
        /* The front record is the consumer's alone, so its counters are
           exact here even while the producer fills the back record. */
        printf("consumer: batch %d taken, %u more frames in it, %u of them audio\n", batch,
               (unsigned)queue_length2(&front), (unsigned)queue_get_audio_num(&front));
        take_frame(frame, size, type, seq++, &got);
        /* The rest of the batch is read without taking the mutex. */
        while (queue_length2(&front) > 0) {
            frame = queue_read2(&mutex, &cond, &front, &back, &size, &type);
            if (frame == NULL)
                fail("read refused");
            take_frame(frame, size, type, seq++, &got);
        }
    }
    printf("consumer: %u frames in order: %u video (%u key frames), %u audio, %u bytes\n", (unsigned)seq,
           (unsigned)got.video, (unsigned)got.key_frames, (unsigned)got.audio, (unsigned)got.bytes);
    return NULL;
}

/* The counters: video of both records, audio of each record. */
static void print_counters(const char *when)
{
    printf("%s: video waiting %u, audio in back %u, audio in front %u\n", when,
           (unsigned)queue_get_video_num(&mutex, &cond, &front, &back), (unsigned)queue_get_audio_num(&back),
           (unsigned)queue_get_audio_num(&front));
}

int main(void)
{
    /* The queue traces its creation and every full write at level 6 (to
       syslog).  Full writes are expected back-pressure here, so the
       library traces only errors. */
    dbgout_profile.lib_level = 3;

    /* The peek's one-second bound holds only on the monotonic clock. */
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0 || pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) != 0 ||
        pthread_cond_init(&cond, &attr) != 0)
        fail("no condition variable on CLOCK_MONOTONIC");
    pthread_condattr_destroy(&attr);

    /* A capacity of 32 makes the back record full exactly when a batch is
       ready, so every batch holds one whole group. */
    if (queue_create2(&front, BATCH) != LC_QUEUE_OK || queue_create2(&back, BATCH) != LC_QUEUE_OK)
        fail("cannot create the records");

    /* The first group goes in before any thread runs, so the counters can
       be shown at rest. */
    uint8_t frame[MAX_FRAME_BYTES];
    int32_t type;
    for (uint32_t seq = 0; seq < BATCH; seq++) {
        uint32_t size = make_frame(seq, frame, &type);
        if (queue_write2(&mutex, &cond, &back, frame, size, type) != LC_QUEUE_OK)
            fail("write refused");
    }
    printf("main: %u frames written into the back record\n", (unsigned)queue_length2(&back));
    print_counters("main");
    /* The first frame of the second group does not fit; the producer
       thread offers it again until the consumer has made room. */
    uint32_t size = make_frame(BATCH, frame, &type);
    uint32_t rc = queue_write2(&mutex, &cond, &back, frame, size, type);
    printf("main: one more write answers %u (%s), the record still holds %u\n", (unsigned)rc,
           rc == LC_QUEUE_FULL ? "full" : "not full", (unsigned)queue_length2(&back));

    pthread_t consumer_thread, producer_thread;
    if (pthread_create(&consumer_thread, NULL, consumer, NULL) != 0)
        fail("cannot start the consumer");
    if (pthread_create(&producer_thread, NULL, producer, NULL) != 0)
        fail("cannot start the producer");
    pthread_join(producer_thread, NULL);
    pthread_join(consumer_thread, NULL);

    print_counters("main, after the clip");
    /* queue_clear2 frees frames never read; call it before the records go
       away, even when they should be empty. */
    queue_clear2(&front);
    queue_clear2(&back);
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&mutex);
    return 0;
}
