// Layout of the caller-owned records of queues/: field order everywhere,
// and the exact offsets the device's processes expect on 32-bit ARM.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <stddef.h>

#if UINTPTR_MAX == 0xffffffffu
#define LC_ILP32 1
#else
#define LC_ILP32 0
#endif
#define AT(ilp32, lp64) (LC_ILP32 ? (ilp32) : (lp64))

static_assert(sizeof(pthread_mutex_t) == AT(24, 40), "");

static_assert(offsetof(slot_queue_t, queue_out) == 0, "");
static_assert(offsetof(slot_queue_t, queue_in) == AT(4, 8), "");
static_assert(offsetof(slot_queue_t, queue_end) == AT(8, 16), "");
static_assert(offsetof(slot_queue_t, maxdata) == AT(12, 24), "");
static_assert(offsetof(slot_queue_t, depth) == AT(14, 26), "");
static_assert(offsetof(slot_queue_t, slot) == AT(16, 28), "");
static_assert(offsetof(slot_queue_t, len) == AT(16400, 16412), "");
static_assert(offsetof(slot_queue_t, type) == AT(16464, 16476), "");
static_assert(offsetof(slot_queue_t, info) == AT(16528, 16540), "");
static_assert(sizeof(slot_queue_info) == 16, "");
static_assert(sizeof(slot_queue_t) == AT(17040, 17056), "");

static_assert(offsetof(frame_queue_t, queue_out) == 0, "");
static_assert(offsetof(frame_queue_t, queue_in) == 4, "");
static_assert(offsetof(frame_queue_t, maxdata) == 8, "");
static_assert(offsetof(frame_queue_t, frame) == AT(12, 16), "");
static_assert(offsetof(frame_queue_t, size) == AT(2060, 4112), "");
static_assert(offsetof(frame_queue_t, type) == AT(4108, 6160), "");
static_assert(offsetof(frame_queue_t, queue_length) == AT(6156, 8208), "");
static_assert(offsetof(frame_queue_t, video_num) == AT(6160, 8212), "");
static_assert(offsetof(frame_queue_t, audio_num) == AT(6164, 8216), "");
static_assert(offsetof(frame_queue_t, lock) == AT(6168, 8224), "");
static_assert(sizeof(frame_queue_t) == AT(6192, 8264), "");

static_assert(offsetof(block_queue_t, queue_out) == 0, "");
static_assert(offsetof(block_queue_t, queue_in) == 4, "");
static_assert(offsetof(block_queue_t, queue_length) == 8, "");
static_assert(offsetof(block_queue_t, maxdata) == 10, "");
static_assert(offsetof(block_queue_t, lock) == AT(12, 16), "");
static_assert(offsetof(block_queue_t, block) == AT(36, 56), "");
static_assert(offsetof(block_queue_t, size) == AT(2084, 4152), "");
static_assert(offsetof(block_queue_t, type) == AT(4132, 6200), "");
static_assert(offsetof(block_queue_t, value) == AT(6184, 8248), "");
static_assert(sizeof(block_queue_t) == AT(10280, 12344), "");

static_assert(offsetof(ring_buf_t, count) == 0, "");
static_assert(offsetof(ring_buf_t, size) == 4, "");
static_assert(offsetof(ring_buf_t, read_index) == 8, "");
static_assert(offsetof(ring_buf_t, write_index) == 12, "");
static_assert(offsetof(ring_buf_t, storage) == 16, "");
static_assert(sizeof(ring_buf_t) == AT(20, 24), "");

static_assert(offsetof(streamq_t, data_size) == 0, "");
static_assert(offsetof(streamq_t, count) == 4, "");
static_assert(offsetof(streamq_t, read_index) == 8, "");
static_assert(offsetof(streamq_t, write_index) == 12, "");
static_assert(offsetof(streamq_t, info_size) == 16, "");
static_assert(offsetof(streamq_t, info) == AT(20, 24), "");
static_assert(offsetof(streamq_t, data) == AT(24, 32), "");
static_assert(sizeof(streamq_t) == AT(28, 40), "");

static_assert(offsetof(lwrb_t, guard_begin) == 0, "");
static_assert(offsetof(lwrb_t, data) == AT(4, 8), "");
static_assert(offsetof(lwrb_t, size) == AT(8, 16), "");
static_assert(offsetof(lwrb_t, read_index) == AT(12, 20), "");
static_assert(offsetof(lwrb_t, write_index) == AT(16, 24), "");
static_assert(offsetof(lwrb_t, evt_fn) == AT(20, 32), "");
static_assert(offsetof(lwrb_t, guard_end) == AT(24, 40), "");
static_assert(sizeof(lwrb_t) == AT(28, 48), "");

TEST(QueueLayout, TargetIsWhatTheBuildClaims)
{
#if defined(__arm__)
    EXPECT_EQ(sizeof(void *), 4u);
#endif
    EXPECT_EQ(LWRB_GUARD_END, ~LWRB_GUARD_BEGIN);
}
