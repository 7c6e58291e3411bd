/*
 * lwrb_stream.c - a byte stream through the lock-free byte ring (lwrb_*)
 * from a producer thread to a consumer thread, read without copying.
 *
 * The producer writes a text into a 64-byte ring in small pieces; the
 * consumer hands what it finds straight from the ring's array to standard
 * output, then skips it.  The text comes out whole, though it went around
 * the ring many times.
 *
 * What to notice:
 *  - The ring is a record and an array, both the caller's; nothing is
 *    allocated, no lock is taken.  One byte stays free, so a 64-byte array
 *    holds 63 bytes.
 *  - The producer only writes (lwrb_write) and the consumer only reads
 *    (linear read address and length, lwrb_skip): each side moves its own
 *    index, which is why the two need no lock.
 *  - Zero-copy: the readable bytes lie in at most two stretches (up to the
 *    end of the array, then from its start); each is used in place, then
 *    released with lwrb_skip.  Until then the producer cannot overwrite it.
 *  - lwrb_write may take fewer bytes than offered (the ring is full): the
 *    producer offers the rest again once there is room.
 *  - The ring never waits.  Its event callback, called on the thread that
 *    made the change, posts a semaphore so the other side can sleep instead
 *    of polling.  It is set before the threads start: lwrb_init and
 *    lwrb_set_evt_fn must not run while either side is active.
 */
#define _POSIX_C_SOURCE 200809L /* POSIX.1-2008: threads, semaphores */

#include <lib_common/lib_common.h>

#include <pthread.h>
#include <semaphore.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { RING_BYTES = 64 };

static const char text[] = "Frames arrive from the encoder in bursts,\n"
                           "and the network takes them at its own pace.\n"
                           "Between the two sits a ring of sixty-four bytes:\n"
                           "the producer writes wherever there is room,\n"
                           "the consumer sends wherever there are bytes,\n"
                           "and neither of them ever waits for a lock.\n"
                           "When the array ends, the stream goes on at its start;\n"
                           "a reader sees at most two stretches at a time\n"
                           "and hands each one on from where it lies.\n"
                           "Nothing is copied twice, and nothing is lost.\n";

static uint8_t storage[RING_BYTES];
static lwrb_t ring;
static sem_t data_ready;    /* posted when bytes were written */
static sem_t room_ready;    /* posted when bytes were read */
static atomic_bool done;    /* set by the producer after its last write */
static uint32_t bytes_sent; /* the consumer's count, read after the join */

/* Runs on the thread that changed the ring: a write wakes the consumer, a
   read wakes the producer. */
static void on_ring_event(lwrb_t *rb, uint32_t kind, uint32_t count)
{
    (void)rb;
    if (count == 0)
        return;
    if (kind == LWRB_EVT_WRITE)
        sem_post(&data_ready);
    else if (kind == LWRB_EVT_READ)
        sem_post(&room_ready);
}

static void *producer(void *unused)
{
    (void)unused;
    const uint32_t total = (uint32_t)strlen(text);
    uint32_t sent = 0, piece = 1;
    while (sent < total) {
        /* Pieces of 1 to 13 bytes, as a parser or a socket might give. */
        uint32_t want = total - sent < piece ? total - sent : piece;
        uint32_t took = lwrb_write(&ring, text + sent, want);
        sent += took;
        if (took < want)
            sem_wait(&room_ready); /* full: wait until the consumer reads */
        piece = piece % 13 + 1;
    }
    /* Every byte is in the ring before done is seen. */
    atomic_store(&done, true);
    sem_post(&data_ready);
    return NULL;
}

static void *consumer(void *unused)
{
    (void)unused;
    for (;;) {
        uint32_t len = lwrb_get_linear_block_read_length(&ring);
        if (len == 0) {
            /* done first: if it is set, the ring holds all there will be. */
            if (atomic_load(&done) && lwrb_get_full(&ring) == 0)
                break;
            sem_wait(&data_ready);
            continue;
        }
        /* The bytes are used where they lie; skipping them afterwards gives
           the space back to the producer. */
        const uint8_t *block = lwrb_get_linear_block_read_address(&ring);
        fwrite(block, 1, len, stdout);
        bytes_sent += lwrb_skip(&ring, len);
    }
    return NULL;
}

int main(void)
{
    if (lwrb_init(&ring, storage, sizeof storage) != 1)
        return EXIT_FAILURE;
    printf("-- ring of %u bytes: %u free\n", (unsigned)sizeof storage, (unsigned)lwrb_get_free(&ring));
    if (sem_init(&data_ready, 0, 0) != 0 || sem_init(&room_ready, 0, 0) != 0)
        return EXIT_FAILURE;
    lwrb_set_evt_fn(&ring, on_ring_event);

    pthread_t producer_thread, consumer_thread;
    if (pthread_create(&consumer_thread, NULL, consumer, NULL) != 0 ||
        pthread_create(&producer_thread, NULL, producer, NULL) != 0) {
        fprintf(stderr, "lwrb_stream: cannot start the threads\n");
        return EXIT_FAILURE;
    }
    pthread_join(producer_thread, NULL);
    pthread_join(consumer_thread, NULL);

    printf("-- %u of %u bytes through the ring; it holds %u, %u free\n", (unsigned)bytes_sent, (unsigned)strlen(text),
           (unsigned)lwrb_get_full(&ring), (unsigned)lwrb_get_free(&ring));
    /* lwrb_free only detaches the array; the array stays the caller's. */
    lwrb_free(&ring);
    sem_destroy(&data_ready);
    sem_destroy(&room_ready);
    return EXIT_SUCCESS;
}
