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
        ASSERT_EQ(queue_create2(f, 512) & queue_create2(b, 512), 255u);
    }
    void TearDown() override
    {
        queue_clear2(f);  // releases what the test left (the leak check sees it)
        queue_clear2(b);
    }
    uint32_t write(const std::vector<uint8_t> &frame, int32_t type)
    {
        return queue_write2(&mutex, &cond, b, frame.data(), (uint32_t)frame.size(), type);
    }
    int32_t peek(int32_t *type) { return queue_get_frame_type(&mutex, &cond, f, b, type); }
    // True when the next frame read is frame seq of the given type.
    bool read_matches(uint32_t seq, int32_t type)
    {
        uint32_t size = 0;
        int32_t got = -1;
        uint8_t *frame = (uint8_t *)queue_read2(&mutex, &cond, f, b, &size, &got);
        std::vector<uint8_t> want = make_frame(seq);
        bool ok = frame != nullptr && size == want.size() && got == type &&
                  memcmp(frame, want.data(), size) == 0;
        free(frame);
        return ok;
    }

    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond;
    std::unique_ptr<frame_queue_t> front{new frame_queue_t}, back{new frame_queue_t};
    frame_queue_t *f = front.get(), *b = back.get();
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
    write(idr, FRAME_TYPE_VIDEO);
    write({1, 2, 3}, FRAME_TYPE_AUDIO);
    write(idr, 2);
    write({0, 0, 0, 1}, FRAME_TYPE_VIDEO);  // no byte 4
    for (int i = 4; i < 31; i++)
        write(idr, FRAME_TYPE_VIDEO);
    // 31 frames are no batch: the peek waits its second, then takes them.
    t0 = steady_clock::now();
    EXPECT_EQ(peek(&type), 5);
    EXPECT_GE(steady_clock::now() - t0, milliseconds(900));
    const int32_t expect[][2] = {{5, 0}, {5, 0}, {-2, 1}, {0, 2}, {0, 0}, {5, 0}};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(peek(&type), expect[i][0]) << i;
        EXPECT_EQ(type, expect[i][1]) << i;
        uint32_t size;
        if (i > 0)  // the first round shows that a peek takes nothing
            free(queue_read2(&mutex, &cond, f, b, &size, nullptr));
    }
    EXPECT_EQ(queue_length2(f), 26u);
}

TEST_F(FrameQueue, FullBackRecordCountsAndClear)
{
    lc_test::TraceCapture cap;
    queue_create2(f, 4);
    queue_create2(b, 4);
    for (int32_t type : {0, 1, 0, 0})
        ASSERT_EQ(write(make_frame(1), type), 255u);
    EXPECT_EQ(write(make_frame(1), FRAME_TYPE_AUDIO), 65535u);
    EXPECT_EQ(queue_length2(b), 4u);
    EXPECT_TRUE(cap.contains("]###########Data Full!, queue_in: 0, queue_out: 0, "
                             "queue_length: 4, video_num: 3, audio_num: 1\n"));
    // A full back record is a batch: the read takes it without waiting.
    EXPECT_TRUE(read_matches(1, 0));
    write(make_frame(2), FRAME_TYPE_VIDEO);
    write(make_frame(2), FRAME_TYPE_AUDIO);
    EXPECT_EQ(queue_get_video_num(&mutex, &cond, f, b), 3u);
    EXPECT_EQ(queue_get_audio_num(f), 1u);
    EXPECT_EQ(queue_get_audio_num(b), 1u);
    EXPECT_EQ(queue_clear2(f) & queue_clear2(b), 255u);
    EXPECT_EQ(queue_length2(f) + queue_get_video_num(&mutex, &cond, f, b), 0u);
    for (int i = 0; i < FRAME_QUEUE_MAX; i++)
        ASSERT_EQ(f->type[i], 2) << i;
}

TEST_F(FrameQueue, BadArgumentsChangeNothing)
{
    lc_test::TraceCapture cap;
    auto other = std::make_unique<frame_queue_t>();
    frame_queue_t *o = other.get();
    memset(o, 0x5A, sizeof *o);
    EXPECT_EQ(queue_create2(o, 513), 0xFFFFFFFFu);
    EXPECT_EQ(o->maxdata + o->queue_length + o->size[511], 0u) << "zeroed all the same";
    EXPECT_EQ(queue_create2(o, 512), 255u);
    EXPECT_TRUE(cap.contains("[lib queue_create2 +"));
    EXPECT_TRUE(cap.contains("]mutex:0x"));

    const uint8_t d[8] = {0};
    uint32_t n = 0;
    int32_t t = 0;
    pthread_mutex_t *m = &mutex;
    pthread_cond_t *c = &cond;
    for (uint32_t r : {queue_create2(nullptr, 4), queue_write2(nullptr, c, b, d, 8, 0),
                       queue_write2(m, nullptr, b, d, 8, 0), queue_write2(m, c, nullptr, d, 8, 0),
                       queue_write2(m, c, b, nullptr, 8, 0), queue_write2(m, c, b, d, 0, 0),
                       queue_get_video_num(m, c, f, nullptr), queue_get_audio_num(nullptr),
                       queue_length2(nullptr), queue_clear2(nullptr)})
        EXPECT_EQ(r, 0xFFFFFFFFu);
    for (void *r : {queue_read2(nullptr, c, f, b, &n, &t), queue_read2(m, nullptr, f, b, &n, &t),
                    queue_read2(m, c, nullptr, b, &n, &t), queue_read2(m, c, f, nullptr, &n, &t),
                    queue_read2(m, c, f, b, nullptr, &t)})
        EXPECT_EQ(r, nullptr);
    EXPECT_EQ(queue_get_frame_type(nullptr, c, f, b, &t), -1);
    EXPECT_EQ(queue_get_frame_type(m, c, f, b, nullptr), -1);
    EXPECT_EQ(queue_length2(b), 0u);

    memset(o, 0x5A, sizeof *o);  // never created: refused, not indexed
    EXPECT_EQ(queue_write2(m, c, o, d, 8, 0), 0xFFFFFFFFu);
    EXPECT_EQ(queue_read2(m, c, o, b, &n, &t), nullptr);
    EXPECT_EQ(queue_read2(m, c, f, o, &n, &t), nullptr);
    EXPECT_EQ(queue_get_frame_type(m, c, o, b, &t), -1);
}

TEST_F(FrameQueue, ProducerAndConsumerMoveEveryFrameIntact)
{
    lc_test::TraceCapture cap;  // "Data Full!" lines land here, not in syslog
    const uint32_t frames = 100000, padding = 32;  // padding flushes the last batch
    std::thread producer([&] {
        for (uint32_t seq = 0; seq < frames + padding; seq++) {
            std::vector<uint8_t> frame = make_frame(seq);
            while (write(frame, seq < frames ? type_of(seq) : 2) == LC_QUEUE_FULL)
                std::this_thread::sleep_for(microseconds(50));
        }
    });
    uint32_t bad = 0;
    for (uint32_t seq = 0; seq < frames; seq++) {
        int32_t peeked = -1, kind;
        while ((kind = peek(&peeked)) == -1) {
        }
        int32_t want_kind = type_of(seq) == FRAME_TYPE_AUDIO ? -2 : make_frame(seq)[4] & 0x1f;
        bad += kind != want_kind || peeked != type_of(seq) || !read_matches(seq, type_of(seq));
    }
    producer.join();
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(queue_get_video_num(&mutex, &cond, f, b), 0u);
}
