// Frame queue: batch hand-over, peeking, full back record, bad input, 100,000 frames between two threads.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <string.h>
#include <sys/syscall.h>
#include <thread>

using namespace std::chrono;

class FrameQueue : public ::testing::Test {
protected:
    void SetUp() override
    {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&cond, &attr);
        ASSERT_EQ(queue_create2(f, 512) + queue_create2(b, 512), 510u);
    }
    void TearDown() override { queue_clear2(f), queue_clear2(b); }  // the leak check sees the rest
    // Frame seq: its number, then a pattern whose byte 4 is a video frame's NAL unit header.  Every third is audio.
    static std::string frame(uint32_t seq)
    {
        std::string fr(5 + seq % 200, '\0');
        for (size_t i = 0; i < fr.size(); i++)
            fr[i] = (char)(seq * 31 + i * 7);
        return memcpy(&fr[0], &seq, sizeof seq), fr;
    }
    static int32_t type_of(uint32_t seq) { return seq % 3 == 0 ? FRAME_TYPE_AUDIO : FRAME_TYPE_VIDEO; }
    uint32_t write(const std::string &fr, int32_t t) { return queue_write2(&mutex, &cond, b, fr.data(), fr.size(), t); }
    uint32_t send(uint32_t seq) { return write(frame(seq), type_of(seq)); }
    int32_t peek(int32_t *type) { return queue_get_frame_type(&mutex, &cond, f, b, type); }
    bool read_matches(uint32_t seq)  // the next frame read is frame seq with its type
    {
        uint32_t size = 0;
        int32_t type = -1;
        char *fr = (char *)queue_read2(&mutex, &cond, f, b, &size, &type);
        const bool ok = fr != nullptr && std::string(fr, size) == frame(seq) && type == type_of(seq);
        free(fr);
        return ok;
    }

    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond;
    std::unique_ptr<frame_queue_t> front{new frame_queue_t}, back{new frame_queue_t};
    frame_queue_t *f = front.get(), *b = back.get();
};

TEST_F(FrameQueue, BlockedConsumerIsWokenByThe32ndFrame)
{
    std::atomic<int> first_ok{-1};
    std::atomic<pid_t> tid{0};
    std::thread consumer([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        first_ok = read_matches(0);
    });
    for (uint32_t seq = 0; seq < 31; seq++)
        EXPECT_EQ(send(seq), 255u);
    ASSERT_TRUE(lc_test::wait_until([&] { return tid != 0; }));
    lc_test::asleep(tid);  // waiting for a batch, or gone with the frame
    const bool early = first_ok.load() != -1;
    EXPECT_FALSE(early) << "31 frames are no batch";
    EXPECT_EQ(send(31), 255u);
    consumer.join();
    EXPECT_EQ(first_ok.load(), 1);
    for (uint32_t seq = 1; seq < 32 && !early; seq++)  // early: the 32nd would wait for ever
        EXPECT_TRUE(read_matches(seq)) << seq;
}

TEST_F(FrameQueue, PeekClassifiesAndWaitsOnceForAboutASecond)
{
    int32_t type = 7;
    const std::string idr("\0\0\0\1\x65\x88", 6);
    // Empty, then 31 frames (no batch): the peek waits its second; the second time it takes them.
    for (int32_t want : {-1, 5}) {
        const auto t0 = steady_clock::now();
        EXPECT_EQ(peek(&type), want);
        EXPECT_GE(steady_clock::now() - t0, milliseconds(900));
        EXPECT_EQ(type, want == -1 ? 7 : 0);
        for (int i = 0; i < 31 && want == -1; i++)  // the fourth has no byte 4
            write(i == 1 ? "abc" : i == 3 ? idr.substr(0, 4) : idr, i == 1 ? FRAME_TYPE_AUDIO : i == 2 ? 2 : 0);
    }
    const int32_t expect[][2] = {{-2, 1}, {0, 2}, {0, 0}, {5, 0}};
    for (const auto &e : expect) {
        uint32_t size;
        free(queue_read2(&mutex, &cond, f, b, &size, nullptr));  // the frame peeked last
        EXPECT_EQ(peek(&type), e[0]);
        EXPECT_EQ(type, e[1]);
    }
    EXPECT_EQ(queue_length2(f), 27u);
}

// A full back record is refused with a trace and is a batch at once; bad arguments and a record never created change
// nothing.
TEST_F(FrameQueue, FullBackRecordAndBadArguments)
{
    lc_test::TraceCapture cap;
    queue_create2(f, 4), queue_create2(b, 4);
    for (uint32_t seq : {1, 3, 4, 5})  // video, audio, video, video
        ASSERT_EQ(send(seq), 255u);
    EXPECT_EQ(send(6), 65535u);
    EXPECT_TRUE(cap.contains("]###########Data Full!, queue_in: 0, queue_out: 0, "
                             "queue_length: 4, video_num: 3, audio_num: 1\n"));
    EXPECT_TRUE(read_matches(1)) << "a full back record is a batch: no wait";
    send(6), send(7);
    EXPECT_EQ(queue_get_video_num(&mutex, &cond, f, b), 3u);
    EXPECT_EQ(std::make_pair(queue_get_audio_num(f), queue_get_audio_num(b)), std::make_pair(1u, 1u));
    EXPECT_EQ(queue_clear2(f) + queue_clear2(b), 510u);
    EXPECT_EQ(queue_length2(f), 0u);
    EXPECT_EQ(queue_get_video_num(&mutex, &cond, f, b), 0u);

    pthread_mutex_t *m = &mutex;
    pthread_cond_t *c = &cond;
    uint32_t n = 0;
    int32_t t = 0;
    for (uint32_t r : {queue_create2(b, 513), queue_create2(nullptr, 4), queue_write2(nullptr, c, f, "x", 1, 0),
                       queue_write2(m, c, f, nullptr, 1, 0), queue_write2(m, c, f, "x", 0, 0),
                       queue_get_audio_num(nullptr), queue_length2(nullptr), queue_clear2(nullptr)})
        EXPECT_EQ(r, 0xFFFFFFFFu);
    memset(b, 0x5A, sizeof *b);  // never created: refused, not indexed
    EXPECT_EQ(queue_write2(m, c, b, "x", 1, 0), 0xFFFFFFFFu);
    for (void *p :
         {queue_read2(m, c, f, b, nullptr, &t), queue_read2(m, c, f, b, &n, &t), queue_read2(m, c, b, f, &n, &t)})
        EXPECT_EQ(p, nullptr);
    EXPECT_EQ(queue_get_frame_type(m, c, f, b, nullptr) + queue_get_frame_type(m, c, b, f, &t), -2);
    EXPECT_EQ(queue_length2(f), 0u);
    queue_create2(b, 0);  // for the clean-up
}

TEST_F(FrameQueue, ProducerAndConsumerMoveEveryFrameIntact)
{
    lc_test::TraceCapture cap;                     // "Data Full!" lines land here, not in syslog
    const uint32_t frames = 100000, padding = 32;  // padding flushes the last batch
    std::thread producer([&] {
        for (uint32_t seq = 0; seq < frames + padding; seq++)
            while (write(frame(seq), seq < frames ? type_of(seq) : 2) == LC_QUEUE_FULL)
                std::this_thread::sleep_for(microseconds(50));
    });
    uint32_t bad = 0;
    for (uint32_t seq = 0; seq < frames; seq++) {
        int32_t peeked = -1, kind;
        while ((kind = peek(&peeked)) == -1) {
        }
        bad += kind != (type_of(seq) == FRAME_TYPE_AUDIO ? -2 : frame(seq)[4] & 0x1f) || peeked != type_of(seq) ||
               !read_matches(seq);
    }
    producer.join();
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(queue_get_video_num(&mutex, &cond, f, b), 0u);
}
