// bench_latency.cpp - latency from write to read of every queue family:
// 512-byte frames from a producer thread to a consumer thread that waits
// the way the reference's "Choosing a queue" tells, at 25 frames a second
// and at full speed; beside the minimal std::mutex + condition variable +
// std::deque<std::vector<char>> queue.  Every queue holds 32 frames (the
// frame queue's live row 4 a record), and every consumer stops on the
// family's stop marker.
//
// A frame carries the monotonic time taken just before its write; the
// latency is the time after the read that handed it out less that.  Each
// row measures a distribution, so it runs once and reports its median and
// 99th percentile (in microseconds) as counters.
#include "lib_common.h"

#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <pthread.h>
#include <semaphore.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

enum {
    kFrameBytes = 512,    // the slot queue's slot, so that every family can carry it
    kDepth = 32,          // frames a queue holds
    kLiveCapacity = 4,    // the frame queue's records for live video
    kPaced = 200,         // frames at 25 a second: 8 s a row
    kFullSpeed = 20000,   // frames at full speed
    kFrameNs = 40000000,  // 25 frames a second
    kVideo = 0,           // the type of a frame
    kStop = 3,            // the type of the stop marker, counted in neither
};

// The head of every frame: its write time and its type.
struct Head {
    int64_t written_ns;
    int32_t type;
};

void stamp(uint8_t *frame, int32_t type)
{
    Head head = {lc_bench::now_ns(), type};
    memcpy(frame, &head, sizeof head);
}

Head head_of(const void *frame)
{
    Head head;
    memcpy(&head, frame, sizeof head);
    return head;
}

// ---- The families, each with the waiting and the stop its guide gives.
// write() returns false when the queue is full; read() waits for the next
// frame and returns its head.

// Slot queue: no lock of its own, so every call under the caller's mutex;
// the consumer waits on the caller's condition variable.
class Slot {
public:
    Slot() { queue_create(q_.get(), kDepth, kDepth - 1); }
    bool write(const uint8_t *frame, int32_t type)
    {
        uint32_t rc;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            rc = queue_write(q_.get(), frame, kFrameBytes, static_cast<uint16_t>(type), slot_queue_info{});
        }
        if (rc == LC_QUEUE_OK)
            ready_.notify_one();
        return rc == LC_QUEUE_OK;
    }
    Head read()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        uint32_t slot;
        while ((slot = queue_read(q_.get(), buf_)) == LC_QUEUE_ERR)
            ready_.wait(lock);
        return head_of(buf_);
    }

private:
    std::unique_ptr<slot_queue_t> q_{new slot_queue_t};
    std::mutex mutex_;
    std::condition_variable ready_;
    uint8_t buf_[SLOT_QUEUE_SLOT_SIZE];
};

// Frame queue: the consumer waits in queue_get_frame_type (a second at
// most) and then reads without waiting; its condition variable is on the
// monotonic clock, as that bound needs.
class Frame {
public:
    explicit Frame(uint16_t capacity)
    {
        queue_create2(front_.get(), capacity);
        queue_create2(back_.get(), capacity);
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&cond_, &attr);
        pthread_condattr_destroy(&attr);
    }
    ~Frame()
    {
        queue_clear2(front_.get());
        queue_clear2(back_.get());
        pthread_cond_destroy(&cond_);
        pthread_mutex_destroy(&front_->lock);
        pthread_mutex_destroy(&back_->lock);
    }
    bool write(const uint8_t *frame, int32_t type)
    {
        return queue_write2(&mutex_, &cond_, back_.get(), frame, kFrameBytes, type) == LC_QUEUE_OK;
    }
    Head read()
    {
        int32_t type;
        while (queue_get_frame_type(&mutex_, &cond_, front_.get(), back_.get(), &type) == -1) {
        }
        uint32_t size;
        void *frame = queue_read2(&mutex_, &cond_, front_.get(), back_.get(), &size, &type);
        Head head = head_of(frame);
        free(frame);
        return head;
    }

private:
    std::unique_ptr<frame_queue_t> front_{new frame_queue_t};
    std::unique_ptr<frame_queue_t> back_{new frame_queue_t};
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond_;
};

// Block queue: it locks itself but never waits; a semaphore posted after
// each write counts the blocks for the consumer.
class Block {
public:
    Block()
    {
        queue_create3(q_.get(), kDepth);
        sem_init(&ready_, 0, 0);
    }
    ~Block()
    {
        queue_clear3(q_.get());
        pthread_mutex_destroy(&q_->lock);
        sem_destroy(&ready_);
    }
    bool write(const uint8_t *frame, int32_t type)
    {
        if (queue_write3(q_.get(), frame, kFrameBytes, type, 0) != LC_QUEUE_OK)
            return false;
        sem_post(&ready_);
        return true;
    }
    Head read()
    {
        while (sem_wait(&ready_) != 0) {
        }
        uint32_t size;
        void *block = queue_read3(q_.get(), &size, nullptr, nullptr);
        Head head = head_of(block);
        free(block);
        return head;
    }

private:
    std::unique_ptr<block_queue_t> q_{new block_queue_t};
    sem_t ready_;
};

// Element ring: no lock and no ordering, so every call under the caller's
// mutex; the consumer waits on the caller's condition variable.
class Ring {
public:
    Ring() { ring_buf_init(&ring_, kDepth, kFrameBytes); }
    ~Ring() { ring_buf_free(&ring_); }
    bool write(const uint8_t *frame, int32_t)
    {
        uint32_t stored;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stored = ring_buf_write(&ring_, frame);
        }
        if (stored == 1)
            ready_.notify_one();
        return stored == 1;
    }
    Head read()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (ring_buf_read(&ring_, buf_) != 1)
            ready_.wait(lock);
        return head_of(buf_);
    }

private:
    ring_buf_t ring_;
    std::mutex mutex_;
    std::condition_variable ready_;
    uint8_t buf_[kFrameBytes];
};

// Stream queue: one producer and one consumer without a lock; the
// producer fills the entry in place and commits it, a semaphore posted
// after each push counts the entries for the consumer, who reads in place.
class Stream {
public:
    Stream() : q_(streamq_alloc(kFrameBytes, kDepth + 1, 0)) { sem_init(&ready_, 0, 0); }
    ~Stream()
    {
        streamq_free(q_);
        sem_destroy(&ready_);
    }
    bool write(const uint8_t *frame, int32_t)
    {
        void *data;
        streamq_query(q_, streamq_w(q_), &data, nullptr);
        memcpy(data, frame, kFrameBytes);
        if (streamq_push(q_) < 0)
            return false;
        sem_post(&ready_);
        return true;
    }
    Head read()
    {
        while (sem_wait(&ready_) != 0) {
        }
        void *data;
        streamq_query(q_, streamq_r(q_), &data, nullptr);
        Head head = head_of(data);
        streamq_pop(q_);
        return head;
    }

private:
    streamq_t *q_;
    sem_t ready_;
};

// Byte ring: one producer and one consumer without a lock, whole frames as
// records; its event callback posts a semaphore for every write.
class Bytes {
public:
    Bytes()
    {
        lwrb_init(&rb_, array_, sizeof array_);
        sem_init(&ready_, 0, 0);
        lwrb_set_evt_fn(&rb_, on_event);
    }
    ~Bytes() { sem_destroy(&ready_); }
    bool write(const uint8_t *frame, int32_t)
    {
        if (lwrb_get_free(&rb_) < kFrameBytes)
            return false;
        return lwrb_write(&rb_, frame, kFrameBytes) == kFrameBytes;
    }
    Head read()
    {
        while (sem_wait(&ready_) != 0) {
        }
        lwrb_read(&rb_, buf_, kFrameBytes);
        return head_of(buf_);
    }

private:
    // The record is the first member of this standard-layout class, so the
    // callback finds the object from the record it is given.
    static void on_event(lwrb_t *rb, uint32_t kind, uint32_t)
    {
        if (kind == LWRB_EVT_WRITE)
            sem_post(&reinterpret_cast<Bytes *>(rb)->ready_);
    }
    lwrb_t rb_;
    uint8_t array_[kDepth * kFrameBytes + 1];
    sem_t ready_;
    uint8_t buf_[kFrameBytes];
};

// The baseline: the queue a developer writes in a few lines.
class Minimal {
public:
    bool write(const uint8_t *frame, int32_t)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (frames_.size() >= kDepth)
                return false;
            frames_.emplace_back(frame, frame + kFrameBytes);
        }
        ready_.notify_one();
        return true;
    }
    Head read()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !frames_.empty(); });
        std::vector<uint8_t> frame = std::move(frames_.front());
        frames_.pop_front();
        lock.unlock();
        return head_of(frame.data());
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::vector<uint8_t>> frames_;
};

// ---- The run: frames frames from this thread, every period_ns (0: as
// fast as the queue takes them), then the stop marker; a consumer thread
// reads until it sees the marker and keeps each frame's latency.
template <class Queue> std::vector<double> run(Queue &queue, int frames, int64_t period_ns)
{
    std::vector<double> latency;
    latency.reserve(frames);
    std::thread consumer([&] {
        for (;;) {
            Head head = queue.read();
            int64_t now = lc_bench::now_ns();
            if (head.type == kStop)
                return;
            latency.push_back(static_cast<double>(now - head.written_ns));
        }
    });
    uint8_t frame[kFrameBytes] = {0};
    int64_t due = lc_bench::now_ns();
    for (int i = 0; i <= frames; i++) {
        if (period_ns != 0) {
            lc_bench::sleep_until(due);
            due += period_ns;
        }
        lc_bench::Backoff backoff;
        stamp(frame, i < frames ? kVideo : kStop);
        while (!queue.write(frame, i < frames ? kVideo : kStop)) {
            backoff.pause();
            stamp(frame, i < frames ? kVideo : kStop);
        }
    }
    consumer.join();
    return latency;
}

// Arg 0: 25 frames a second; arg 1: full speed.
template <class Queue, class... Args> void latency_row(benchmark::State &state, Args... args)
{
    // A full frame queue traces each refused write at level 6; the rows
    // measure the hand-over, not the system log.
    lc_bench::LibLevel quiet(5);
    const bool paced = state.range(0) == 0;
    std::vector<double> latency;
    for (auto _ : state) {
        Queue queue(args...);
        latency = run(queue, paced ? kPaced : kFullSpeed, paced ? kFrameNs : 0);
    }
    lc_bench::report_us(state, latency);
}

void BM_LatencySlot(benchmark::State &state)
{
    latency_row<Slot>(state);
}
void BM_LatencyFrame(benchmark::State &state)
{
    latency_row<Frame>(state, static_cast<uint16_t>(kDepth));
}
void BM_LatencyFrameLive(benchmark::State &state)
{
    latency_row<Frame>(state, static_cast<uint16_t>(kLiveCapacity));
}
void BM_LatencyBlock(benchmark::State &state)
{
    latency_row<Block>(state);
}
void BM_LatencyRing(benchmark::State &state)
{
    latency_row<Ring>(state);
}
void BM_LatencyStream(benchmark::State &state)
{
    latency_row<Stream>(state);
}
void BM_LatencyBytes(benchmark::State &state)
{
    latency_row<Bytes>(state);
}
void BM_LatencyMinimal(benchmark::State &state)
{
    latency_row<Minimal>(state);
}

#define LC_LATENCY_ROW(name) \
    BENCHMARK(name)->Arg(0)->Arg(1)->Iterations(1)->Repetitions(1)->UseRealTime()->Unit(benchmark::kMillisecond)
LC_LATENCY_ROW(BM_LatencyMinimal);
LC_LATENCY_ROW(BM_LatencySlot);
LC_LATENCY_ROW(BM_LatencyFrame);
LC_LATENCY_ROW(BM_LatencyFrameLive);
LC_LATENCY_ROW(BM_LatencyBlock);
LC_LATENCY_ROW(BM_LatencyRing);
LC_LATENCY_ROW(BM_LatencyStream);
LC_LATENCY_ROW(BM_LatencyBytes);

}  // namespace

BENCHMARK_MAIN();
