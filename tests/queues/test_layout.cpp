// Layout of the caller-owned queue records: the offset of every field after
// the first on 32-bit ARM (first number) and on the 64-bit host (second).
#include "lc_test.h"

#include "lc_layout.h"

LC_OFFSET(slot_queue_t, queue_in, 4, 8);
LC_OFFSET(slot_queue_t, queue_end, 8, 16);
LC_OFFSET(slot_queue_t, maxdata, 12, 24);
LC_OFFSET(slot_queue_t, depth, 14, 26);
LC_OFFSET(slot_queue_t, slot, 16, 28);
LC_OFFSET(slot_queue_t, len, 16400, 16412);
LC_OFFSET(slot_queue_t, type, 16464, 16476);
LC_OFFSET(slot_queue_t, info, 16528, 16540);
LC_SIZE(slot_queue_t, 17040, 17056);

LC_OFFSET(frame_queue_t, queue_in, 4, 4);
LC_OFFSET(frame_queue_t, maxdata, 8, 8);
LC_OFFSET(frame_queue_t, frame, 12, 16);
LC_OFFSET(frame_queue_t, size, 2060, 4112);
LC_OFFSET(frame_queue_t, type, 4108, 6160);
LC_OFFSET(frame_queue_t, queue_length, 6156, 8208);
LC_OFFSET(frame_queue_t, video_num, 6160, 8212);
LC_OFFSET(frame_queue_t, audio_num, 6164, 8216);
LC_OFFSET(frame_queue_t, lock, 6168, 8224);
LC_SIZE(frame_queue_t, 6192, 8264);

LC_OFFSET(block_queue_t, queue_in, 4, 4);
LC_OFFSET(block_queue_t, queue_length, 8, 8);
LC_OFFSET(block_queue_t, maxdata, 10, 10);
LC_OFFSET(block_queue_t, lock, 12, 16);
LC_OFFSET(block_queue_t, block, 36, 56);
LC_OFFSET(block_queue_t, size, 2084, 4152);
LC_OFFSET(block_queue_t, type, 4132, 6200);
LC_OFFSET(block_queue_t, value, 6184, 8248);
LC_SIZE(block_queue_t, 10280, 12344);

LC_OFFSET(ring_buf_t, size, 4, 4);
LC_OFFSET(ring_buf_t, read_index, 8, 8);
LC_OFFSET(ring_buf_t, write_index, 12, 12);
LC_OFFSET(ring_buf_t, storage, 16, 16);
LC_SIZE(ring_buf_t, 20, 24);

LC_OFFSET(streamq_t, count, 4, 4);
LC_OFFSET(streamq_t, read_index, 8, 8);
LC_OFFSET(streamq_t, write_index, 12, 12);
LC_OFFSET(streamq_t, info_size, 16, 16);
LC_OFFSET(streamq_t, info, 20, 24);
LC_OFFSET(streamq_t, data, 24, 32);
LC_SIZE(streamq_t, 28, 40);

LC_OFFSET(lwrb_t, data, 4, 8);
LC_OFFSET(lwrb_t, size, 8, 16);
LC_OFFSET(lwrb_t, read_index, 12, 20);
LC_OFFSET(lwrb_t, write_index, 16, 24);
LC_OFFSET(lwrb_t, evt_fn, 20, 32);
LC_OFFSET(lwrb_t, guard_end, 24, 40);
LC_SIZE(lwrb_t, 28, 48);
