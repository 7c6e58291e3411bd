/*
 * live_video.c - a live-video consumer on the frame queue (queue_*2): the
 * frames of a 25 fps camera reach it within a few frame times, it never
 * waits much longer than a second, and it stops cleanly on a marker.
 *
 * The frame queue hands frames over in batches: a consumer whose front
 * record is empty waits until the back record holds 32 frames or is full.
 * At 25 frames a second 32 frames take 1.28 s, far too long for live
 * video.  Three things make the queue live:
 *
 *  - A small capacity.  With records of 4 frames the camera's fifth write
 *    finds the back record full: it is refused (LC_QUEUE_FULL) and wakes
 *    the consumer, which takes the 4 frames at once.  The camera offers
 *    the refused frame again a millisecond later; a frame still refused
 *    when the next one is due would be dropped, as live video keeps time.
 *    So a frame waits about 4 frame times at most.
 *  - A bounded wait.  The consumer waits in queue_get_frame_type, never in
 *    queue_read2 (which waits without limit): the peek waits about a
 *    second at most, on a condition variable that must be on
 *    CLOCK_MONOTONIC, and then takes whatever the back record holds, even
 *    one frame; -1 means a second without any frame, the place to notice a
 *    camera that stopped.  After a peek that found a frame, queue_read2
 *    hands it out without waiting.
 *  - A stop marker.  The camera ends its stream with a frame of type
 *    FRAME_STOP, a type the queue carries but counts as neither video nor
 *    audio.  It reaches the consumer as any frame does (alone, when the
 *    peek's second is over), and the consumer frees it and returns.
 *    Nothing stays in the queue and no thread is cancelled.
 *
 * The run takes about 2.5 s: a second before the camera starts, half a
 * second of frames, and the stop marker's second.
 */
#define _POSIX_C_SOURCE 200809L /* POSIX.1-2008: threads, clocks, semaphores */

#include <lib_common/lib_common.h>

#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum {
    CAPACITY = 4,     /* frames per record, so per batch */
    FRAME_MS = 40,    /* 25 frames a second */
    FRAMES = 12,      /* the camera's stream before its stop marker */
    FRAME_BYTES = 64, /* a small stand-in for an encoded frame */
    FRAME_STOP = 3,   /* carried, but counted as neither video nor audio */
    SEQ_OFFSET = 5,   /* behind the start code and the NAL unit header */
    TIME_OFFSET = 9,  /* the write time, ns on CLOCK_MONOTONIC */
    SILENT_LIMIT = 5, /* seconds without a frame before giving up */
};

/* H.264 NAL unit header bytes behind the 00 00 00 01 start code. */
enum { NAL_SPS = 0x67, NAL_PPS = 0x68, NAL_IDR = 0x65, NAL_P = 0x41 };

static frame_queue_t front, back;
static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t cond;
static sem_t camera_go; /* posted by the consumer after its first silent second */

/* The camera's counts, read by main after the join. */
static unsigned refused, dropped;

static void fail(const char *what)
{
    fprintf(stderr, "live_video: %s\n", what);
    exit(EXIT_FAILURE);
}

static int64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void sleep_until(int64_t ns)
{
    struct timespec ts = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) != 0)
        continue;
}

/* Frame seq (1..FRAMES) of a stream that starts with SPS, PPS and a key
   frame, then P frames; seq FRAMES + 1 is the stop marker. */
static uint32_t make_frame(uint32_t seq, uint8_t *buf, int32_t *type)
{
    static const uint8_t start_code[4] = {0, 0, 0, 1};
    static const uint8_t nal[3] = {NAL_SPS, NAL_PPS, NAL_IDR};
    memset(buf, 0, FRAME_BYTES);
    memcpy(buf, start_code, sizeof start_code);
    buf[4] = seq <= 3 ? nal[seq - 1] : NAL_P;
    *type = seq <= FRAMES ? FRAME_TYPE_VIDEO : FRAME_STOP;
    memcpy(buf + SEQ_OFFSET, &seq, sizeof seq);
    int64_t written = now_ns();
    memcpy(buf + TIME_OFFSET, &written, sizeof written);
    return FRAME_BYTES;
}

/* Writes a frame.  A refusal means the back record is full, and the
   refused write has just woken the consumer to take it: the frame is
   offered again every millisecond, until next_due (then dropped; 0: never,
   for the stop marker). */
static void offer(const uint8_t *frame, uint32_t size, int32_t type, int64_t next_due)
{
    for (;;) {
        uint32_t rc = queue_write2(&mutex, &cond, &back, frame, size, type);
        if (rc == LC_QUEUE_OK)
            return;
        if (rc != LC_QUEUE_FULL) /* LC_QUEUE_ERR: a bad argument */
            fail("write refused");
        refused++;
        if (next_due != 0 && now_ns() + 1000000 >= next_due) {
            dropped++;
            return;
        }
        sleep_until(now_ns() + 1000000);
    }
}

static void *camera(void *unused)
{
    (void)unused;
    while (sem_wait(&camera_go) != 0)
        continue;
    printf("camera: %d frames at 25 a second, then the stop marker\n", FRAMES);
    int64_t due = now_ns();
    for (uint32_t seq = 1; seq <= FRAMES + 1; seq++) {
        uint8_t frame[FRAME_BYTES];
        int32_t type;
        sleep_until(due);
        due += FRAME_MS * 1000000LL;
        uint32_t size = make_frame(seq, frame, &type);
        offer(frame, size, type, type == FRAME_STOP ? 0 : due);
    }
    return NULL;
}

/* What the consumer saw, printed by main. */
struct seen {
    unsigned frames, sps, pps, idr, p;
    int in_order;
    int64_t frame_wait_max, stop_wait;
};
static struct seen seen = {0, 0, 0, 0, 0, 1, 0, 0};

static void count_frame(const uint8_t *frame, int32_t nal)
{
    uint32_t seq;
    memcpy(&seq, frame + SEQ_OFFSET, sizeof seq);
    if (seq != seen.frames + 1)
        seen.in_order = 0;
    seen.frames++;
    seen.sps += nal == (NAL_SPS & 0x1f);
    seen.pps += nal == (NAL_PPS & 0x1f);
    seen.idr += nal == (NAL_IDR & 0x1f);
    seen.p += nal == (NAL_P & 0x1f);
}

static void *consumer(void *unused)
{
    (void)unused;
    int silent = 0;
    for (;;) {
        /* The one wait of the loop: at most about a second. */
        int32_t type;
        int32_t nal = queue_get_frame_type(&mutex, &cond, &front, &back, &type);
        if (nal == -1) {
            if (++silent == SILENT_LIMIT)
                fail("no frame for 5 seconds: the camera is gone");
            if (silent == 1) {
                printf("consumer: no frame within a second (-1); the camera starts now\n");
                sem_post(&camera_go);
            }
            continue;
        }
        silent = 0;
        if (type == FRAME_STOP)
            printf("consumer: the stop marker peeks as %d; video and audio frames waiting: %u and %u\n", (int)nal,
                   (unsigned)queue_get_video_num(&mutex, &cond, &front, &back),
                   (unsigned)(queue_get_audio_num(&front) + queue_get_audio_num(&back)));

        /* The peek left the frame in the front record: no wait here. */
        uint32_t size;
        uint8_t *frame = queue_read2(&mutex, &cond, &front, &back, &size, &type);
        if (frame == NULL)
            fail("read refused");
        int64_t written;
        memcpy(&written, frame + TIME_OFFSET, sizeof written);
        int64_t waited = now_ns() - written;
        if (type == FRAME_STOP) {
            seen.stop_wait = waited;
            free(frame);
            return NULL;
        }
        if (waited > seen.frame_wait_max)
            seen.frame_wait_max = waited;
        count_frame(frame, nal);
        free(frame); /* the reader's, once read */
    }
}

int main(void)
{
    /* Each refused write is traced at level 6; here refusals are how
       batches are handed over, so the library traces only errors. */
    dbgout_profile.lib_level = 3;

    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0 || pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) != 0 ||
        pthread_cond_init(&cond, &attr) != 0)
        fail("no condition variable on CLOCK_MONOTONIC");
    pthread_condattr_destroy(&attr);
    if (queue_create2(&front, CAPACITY) != LC_QUEUE_OK || queue_create2(&back, CAPACITY) != LC_QUEUE_OK)
        fail("cannot create the records");
    if (sem_init(&camera_go, 0, 0) != 0)
        fail("no semaphore");
    setvbuf(stdout, NULL, _IOLBF, 0);

    pthread_t consumer_thread, camera_thread;
    if (pthread_create(&consumer_thread, NULL, consumer, NULL) != 0 ||
        pthread_create(&camera_thread, NULL, camera, NULL) != 0)
        fail("cannot start the threads");
    pthread_join(camera_thread, NULL);
    pthread_join(consumer_thread, NULL);

    printf("consumer: %u frames%s: %u SPS, %u PPS, %u IDR, %u P\n", seen.frames,
           seen.in_order ? " in order" : " OUT OF ORDER", seen.sps, seen.pps, seen.idr, seen.p);
    printf("consumer: a frame waited %lld ms at most, the stop marker %lld ms\n",
           (long long)(seen.frame_wait_max / 1000000), (long long)(seen.stop_wait / 1000000));
    printf("camera: %u writes refused and offered again, %u frames dropped\n", refused - dropped, dropped);
    printf("main: frames left in the records: %u and %u\n", (unsigned)queue_length2(&front),
           (unsigned)queue_length2(&back));
    /* Frees what was never read: nothing, after a clean stop. */
    queue_clear2(&front);
    queue_clear2(&back);
    sem_destroy(&camera_go);
    pthread_cond_destroy(&cond);
    return EXIT_SUCCESS;
}
