// Layout of the caller-owned queue records: the offset of every field after
// the first on 32-bit ARM (first number) and on the 64-bit host (second).
#include "lc_test.h"

#include <stddef.h>

#define AT(arm, host) (UINTPTR_MAX == 0xffffffffu ? (arm) : (host))
#define OFF(T, f, arm, host) static_assert(offsetof(T, f) == AT(arm, host), #T "." #f)
#define SIZE(T, arm, host) static_assert(sizeof(T) == AT(arm, host), "sizeof " #T)

OFF(slot_queue_t, queue_in, 4, 8);
OFF(slot_queue_t, queue_end, 8, 16);
OFF(slot_queue_t, maxdata, 12, 24);
OFF(slot_queue_t, depth, 14, 26);
OFF(slot_queue_t, slot, 16, 28);
OFF(slot_queue_t, len, 16400, 16412);
OFF(slot_queue_t, type, 16464, 16476);
OFF(slot_queue_t, info, 16528, 16540);
SIZE(slot_queue_t, 17040, 17056);

OFF(frame_queue_t, queue_in, 4, 4);
OFF(frame_queue_t, maxdata, 8, 8);
OFF(frame_queue_t, frame, 12, 16);
OFF(frame_queue_t, size, 2060, 4112);
OFF(frame_queue_t, type, 4108, 6160);
OFF(frame_queue_t, queue_length, 6156, 8208);
OFF(frame_queue_t, video_num, 6160, 8212);
OFF(frame_queue_t, audio_num, 6164, 8216);
OFF(frame_queue_t, lock, 6168, 8224);
SIZE(frame_queue_t, 6192, 8264);

OFF(block_queue_t, queue_in, 4, 4);
OFF(block_queue_t, queue_length, 8, 8);
OFF(block_queue_t, maxdata, 10, 10);
OFF(block_queue_t, lock, 12, 16);
OFF(block_queue_t, block, 36, 56);
OFF(block_queue_t, size, 2084, 4152);
OFF(block_queue_t, type, 4132, 6200);
OFF(block_queue_t, value, 6184, 8248);
SIZE(block_queue_t, 10280, 12344);

OFF(ring_buf_t, size, 4, 4);
OFF(ring_buf_t, read_index, 8, 8);
OFF(ring_buf_t, write_index, 12, 12);
OFF(ring_buf_t, storage, 16, 16);
SIZE(ring_buf_t, 20, 24);

OFF(streamq_t, count, 4, 4);
OFF(streamq_t, read_index, 8, 8);
OFF(streamq_t, write_index, 12, 12);
OFF(streamq_t, info_size, 16, 16);
OFF(streamq_t, info, 20, 24);
OFF(streamq_t, data, 24, 32);
SIZE(streamq_t, 28, 40);

OFF(lwrb_t, data, 4, 8);
OFF(lwrb_t, size, 8, 16);
OFF(lwrb_t, read_index, 12, 20);
OFF(lwrb_t, write_index, 16, 24);
OFF(lwrb_t, evt_fn, 20, 32);
OFF(lwrb_t, guard_end, 24, 40);
SIZE(lwrb_t, 28, 48);
