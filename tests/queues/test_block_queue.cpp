// Block queue: four writers and four readers, a record's position outside its capacity.  Slot queue: the tag of a
// refusal, records never created or null.  Order, wrap-around, full and empty, results and traces against models:
// fuzz/fuzz_block_queue.cpp, fuzz/fuzz_slot_queue.cpp.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <memory>
#include <string.h>
#include <thread>

TEST(BlockQueue, FourWritersFourReadersLoseAndDuplicateNothing)
{
    lc_test::TraceCapture cap;  // "Data Full!" lines land here
    auto record = std::make_unique<block_queue_t>();
    block_queue_t *q = record.get();
    ASSERT_EQ(queue_create3(q, 64), 255u);
    const uint32_t per_writer = 20000, total = 4 * per_writer;
    std::vector<std::atomic<uint8_t>> seen(total);
    std::atomic<uint32_t> received{0}, bad{0};
    std::vector<std::thread> threads;
    for (uint32_t w = 0; w < 4; w++)
        threads.emplace_back([&, w] {
            for (uint32_t id = w * per_writer; id < (w + 1) * per_writer; id++)
                while (queue_write3(q, &id, sizeof id, (int32_t)w, id * 3ull) != 255u)
                    std::this_thread::yield();
        });
    for (int r = 0; r < 4; r++)
        threads.emplace_back([&] {
            for (uint32_t size = 0, id = total; received < total; std::this_thread::yield()) {
                int32_t type = -1;
                uint64_t value = 0;
                if (void *blk = queue_read3(q, &size, &type, &value)) {
                    memcpy(&id, blk, std::min<size_t>(size, sizeof id));
                    free(blk);
                    bad += size != sizeof id || id >= total || value != id * 3ull ||
                           type != (int32_t)(id / per_writer) || seen[id].exchange(1) != 0;
                    received++;
                }
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0u);
    EXPECT_EQ(queue_length3(q), 0u);
    EXPECT_EQ(received.load(), total);
    for (auto [in, out] : {std::pair<int32_t, int32_t>{4, 0}, {0, 4}}) {  // outside, either one: nothing written
        ASSERT_EQ(queue_create3(q, 4), 255u);
        q->queue_in = in, q->queue_out = out;
        EXPECT_NE(queue_write3(q, &in, sizeof in, 0, 0), 255u) << in << "," << out;
    }
    ASSERT_EQ(queue_create3(q, 4), 255u);
    queue_clear3(q);
}

TEST(SlotQueue, RefusalsAreTaggedAndGarbageOrNullRecordsAreNeverIndexed)
{
    lc_test::TraceCapture cap;
    auto q = std::make_unique<slot_queue_t>();
    uint8_t b = 7, buf[512];
    ASSERT_EQ(queue_create(q.get(), 2, 1), 255u);
    EXPECT_EQ(queue_write(q.get(), &b, 1, 0, {}), 255u);
    EXPECT_EQ(queue_write(q.get(), &b, 1, 0, {}), 65535u);
    EXPECT_EQ(cap.count("[lib queue_write +"), 1u);
    memset(q.get(), 0x5A, sizeof *q);  // never created: empty, and refuses writes
    EXPECT_EQ(queue_read(q.get(), buf) + queue_write(q.get(), &b, 1, 0, {}), 0xFFFFFFFEu);
    EXPECT_EQ(queue_length(q.get()), 0u);
    queue_clear(nullptr);
    queue_flush(nullptr);
    EXPECT_EQ(queue_write(nullptr, &b, 1, 0, {}) + queue_read(nullptr, buf), 0xFFFFFFFEu);
}
