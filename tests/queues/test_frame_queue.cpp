// Frame queue: batch hand-over, peeking, full back record, bad input, and
// a producer and a consumer moving 100,000 frames.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdlib.h>
#include <string.h>
#include <thread>
#include <vector>

using namespace std::chrono;

// Frame seq: its number in the first four bytes, then a pattern; byte 4
// doubles as the NAL unit header of a video frame.
static std::vector<uint8_t> make_frame(uint32_t seq)
{
    std::vector<uint8_t> f(5 + seq % 200);
    for (size_t i = 0; i < f.size(); i++)
        f[i] = (uint8_t)(seq * 31 + i * 7);
    memcpy(f.data(), &seq, sizeof seq);
    return f;
}

static int32_t type_of(uint32_t seq)
{
    return seq % 3 == 0 ? FRAME_TYPE_AUDIO : FRAME_TYPE_VIDEO;
}

class FrameQueue : public ::testing::Test {
protected:
    void SetUp() override
    {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&cond, &attr);
        pthread_condattr_destroy(&attr);
        ASSERT_EQ(queue_create2(front.get(), 512), 255u);
        ASSERT_EQ(queue_create2(back.get(), 512), 255u);
    }
    void TearDown() override
    {
        queue_clear2(front.get());
        queue_clear2(back.get());
        pthread_cond_destroy(&cond);
    }
    uint32_t write(const std::vector<uint8_t> &f, int32_t type)
    {
        return queue_write2(&mutex, &cond, back.get(), f.data(), (uint32_t)f.size(), type);
    }
    uint8_t *read(uint32_t *size, int32_t *type)
    {
        return (uint8_t *)queue_read2(&mutex, &cond, front.get(), back.get(), size, type);
    }
    int32_t peek(int32_t *type)
    {
        return queue_get_frame_type(&mutex, &cond, front.get(), back.get(), type);
    }
    // True when the next frame read is frame seq of the given type.
    bool read_matches(uint32_t seq, int32_t type)
    {
        uint32_t size = 0;
        int32_t got = -1;
        uint8_t *f = read(&size, &got);
        std::vector<uint8_t> want = make_frame(seq);
        bool ok = f != nullptr && size == want.size() && got == type &&
                  memcmp(f, want.data(), size) == 0;
        free(f);
        return ok;
    }

    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond;
    std::unique_ptr<frame_queue_t> front{new frame_queue_t};
    std::unique_ptr<frame_queue_t> back{new frame_queue_t};
};

TEST_F(FrameQueue, BlockedConsumerIsWokenByThe32ndFrame)
{
    std::atomic<bool> done{false};
    bool first_ok = false;
    std::thread consumer([&] {
        first_ok = read_matches(0, type_of(0));
        done = true;
    });
    for (uint32_t seq = 0; seq < 31; seq++)
        ASSERT_EQ(write(make_frame(seq), type_of(seq)), 255u);
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_FALSE(done.load()) << "31 frames are no batch";
    ASSERT_EQ(write(make_frame(31), type_of(31)), 255u);
    EXPECT_TRUE(lc_test::wait_until([&] { return done.load(); }));
    consumer.join();
    EXPECT_TRUE(first_ok);
    for (uint32_t seq = 1; seq < 32; seq++)
        EXPECT_TRUE(read_matches(seq, type_of(seq))) << seq;
    EXPECT_EQ(queue_length2(front.get()), 0u);
}

TEST_F(FrameQueue, PeekClassifiesAndWaitsOnceForAboutASecond)
{
    int32_t type = 7;
    auto t0 = steady_clock::now();
    EXPECT_EQ(peek(&type), -1);
    EXPECT_GE(steady_clock::now() - t0, milliseconds(900));
    EXPECT_LT(steady_clock::now() - t0, seconds(20));
    EXPECT_EQ(type, 7);

    const std::vector<uint8_t> idr = {0, 0, 0, 1, 0x65, 0x88};
    ASSERT_EQ(write(idr, FRAME_TYPE_VIDEO), 255u);
    ASSERT_EQ(write({1, 2, 3}, FRAME_TYPE_AUDIO), 255u);
    ASSERT_EQ(write(idr, 2), 255u);
    ASSERT_EQ(write({0, 0, 0, 1}, FRAME_TYPE_VIDEO), 255u);  // no byte 4
    for (int i = 4; i < 31; i++)
        ASSERT_EQ(write(idr, FRAME_TYPE_VIDEO), 255u);
    // 31 frames are no batch: the peek waits its second, then takes them.
    t0 = steady_clock::now();
    EXPECT_EQ(peek(&type), 5);
    EXPECT_GE(steady_clock::now() - t0, milliseconds(900));
    EXPECT_EQ(type, FRAME_TYPE_VIDEO);
    EXPECT_EQ(peek(&type), 5) << "a peek takes nothing";

    const int32_t expect[] = {5, -2, 0, 0};
    const int32_t expect_type[] = {0, 1, 2, 0};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(peek(&type), expect[i]) << i;
        EXPECT_EQ(type, expect_type[i]) << i;
        uint32_t size;
        free(read(&size, nullptr));
    }
    EXPECT_EQ(queue_length2(front.get()), 27u);
}

TEST_F(FrameQueue, FullBackRecordCountsAndClear)
{
    lc_test::TraceCapture cap;
    queue_create2(front.get(), 4);
    queue_create2(back.get(), 4);
    for (int32_t type : {0, 1, 0, 0})
        ASSERT_EQ(write(make_frame(1), type), 255u);
    EXPECT_EQ(write(make_frame(1), FRAME_TYPE_AUDIO), 65535u);
    EXPECT_EQ(queue_length2(back.get()), 4u);
    EXPECT_TRUE(cap.contains("]###########Data Full!, queue_in: 0, queue_out: 0, "
                             "queue_length: 4, video_num: 3, audio_num: 1\n"));
    EXPECT_EQ(queue_get_video_num(&mutex, &cond, front.get(), back.get()), 3u);

    // A full back record is a batch: the read takes it at once.
    uint32_t size;
    free(read(&size, nullptr));
    EXPECT_EQ(queue_get_audio_num(front.get()), 1u);
    EXPECT_EQ(queue_get_audio_num(back.get()), 0u);
    ASSERT_EQ(write(make_frame(2), FRAME_TYPE_VIDEO), 255u);
    ASSERT_EQ(write(make_frame(2), FRAME_TYPE_AUDIO), 255u);
    EXPECT_EQ(queue_get_video_num(&mutex, &cond, front.get(), back.get()), 3u);

    // Clearing releases the five frames left (the leak check sees it).
    EXPECT_EQ(queue_clear2(front.get()), 255u);
    EXPECT_EQ(queue_clear2(back.get()), 255u);
    EXPECT_EQ(queue_length2(back.get()), 0u);
    EXPECT_EQ(queue_get_video_num(&mutex, &cond, front.get(), back.get()), 0u);
    for (int i = 0; i < FRAME_QUEUE_MAX; i++)
        ASSERT_EQ(front->type[i], 2) << i;
}

TEST_F(FrameQueue, BadArgumentsChangeNothing)
{
    lc_test::TraceCapture cap;
    frame_queue_t *f = front.get(), *b = back.get();
    auto other = std::make_unique<frame_queue_t>();
    memset(other.get(), 0x5A, sizeof *other);
    EXPECT_EQ(queue_create2(other.get(), 513), 0xFFFFFFFFu);
    EXPECT_EQ(other->maxdata, 0u);
    EXPECT_EQ(other->frame[511], nullptr);
    EXPECT_EQ(queue_create2(other.get(), 512), 255u);
    EXPECT_TRUE(cap.contains("[lib queue_create2 +"));
    EXPECT_TRUE(cap.contains("]mutex:0x"));
    EXPECT_EQ(queue_create2(nullptr, 4), 0xFFFFFFFFu);

    const uint8_t data[8] = {0};
    uint32_t size = 0;
    int32_t type = 0;
    EXPECT_EQ(queue_write2(nullptr, &cond, b, data, 8, 0), 0xFFFFFFFFu);
    EXPECT_EQ(queue_write2(&mutex, nullptr, b, data, 8, 0), 0xFFFFFFFFu);
    EXPECT_EQ(queue_write2(&mutex, &cond, nullptr, data, 8, 0), 0xFFFFFFFFu);
    EXPECT_EQ(queue_write2(&mutex, &cond, b, nullptr, 8, 0), 0xFFFFFFFFu);
    EXPECT_EQ(queue_write2(&mutex, &cond, b, data, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(queue_length2(b), 0u);
    EXPECT_EQ(queue_read2(nullptr, &cond, f, b, &size, &type), nullptr);
    EXPECT_EQ(queue_read2(&mutex, nullptr, f, b, &size, &type), nullptr);
    EXPECT_EQ(queue_read2(&mutex, &cond, nullptr, b, &size, &type), nullptr);
    EXPECT_EQ(queue_read2(&mutex, &cond, f, nullptr, &size, &type), nullptr);
    EXPECT_EQ(queue_read2(&mutex, &cond, f, b, nullptr, &type), nullptr);
    EXPECT_EQ(queue_get_frame_type(nullptr, &cond, f, b, &type), -1);
    EXPECT_EQ(queue_get_frame_type(&mutex, &cond, f, b, nullptr), -1);
    EXPECT_EQ(queue_get_video_num(&mutex, &cond, f, nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(queue_get_audio_num(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(queue_length2(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(queue_clear2(nullptr), 0xFFFFFFFFu);

    // Records never created are refused instead of indexed.
    memset(other.get(), 0x5A, sizeof *other);
    EXPECT_EQ(queue_write2(&mutex, &cond, other.get(), data, 8, 0), 0xFFFFFFFFu);
    EXPECT_EQ(queue_read2(&mutex, &cond, other.get(), b, &size, &type), nullptr);
    EXPECT_EQ(queue_read2(&mutex, &cond, f, other.get(), &size, &type), nullptr);
    EXPECT_EQ(queue_get_frame_type(&mutex, &cond, other.get(), b, &type), -1);
}

TEST_F(FrameQueue, ProducerAndConsumerMoveEveryFrameIntact)
{
    lc_test::TraceCapture cap;  // "Data Full!" lines land here, not in syslog
    const uint32_t frames = 100000, padding = 32;  // padding flushes the last batch
    std::thread producer([&] {
        for (uint32_t seq = 0; seq < frames + padding; seq++) {
            std::vector<uint8_t> f = make_frame(seq);
            int32_t type = seq < frames ? type_of(seq) : 2;
            while (write(f, type) == LC_QUEUE_FULL)
                std::this_thread::sleep_for(microseconds(50));
        }
    });
    uint32_t bad = 0;
    for (uint32_t seq = 0; seq < frames; seq++) {
        int32_t peeked = -1, kind;
        while ((kind = peek(&peeked)) == -1) {
        }
        std::vector<uint8_t> want = make_frame(seq);
        int32_t want_kind = type_of(seq) == FRAME_TYPE_AUDIO ? -2 : want[4] & 0x1f;
        bad += kind != want_kind || peeked != type_of(seq) || !read_matches(seq, type_of(seq));
    }
    producer.join();
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(queue_get_video_num(&mutex, &cond, front.get(), back.get()), 0u);
}
