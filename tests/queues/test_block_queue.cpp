// Block queue: order across the wrap, full and empty, bad input, clear,
// four writers and four readers; and running out of memory in the block
// and frame queues.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

class BlockQueue : public ::testing::Test {
protected:
    void TearDown() override { queue_clear3(q); }  // the leak check sees what stays
    std::unique_ptr<block_queue_t> record{new block_queue_t};
    block_queue_t *q = record.get();
};

TEST_F(BlockQueue, BlocksComeOutInOrderAcrossTheWrap)
{
    lc_test::TraceCapture cap;
    ASSERT_EQ(queue_create3(q, 2), 255u);
    const uint64_t value = 0x1122334455667788ull;
    for (uint32_t n = 1; n <= 6; n++) {  // 2 + 2 + ...: indices wrap at 2
        ASSERT_EQ(queue_write3(q, "abcdefgh", n, (int32_t)n, value * n), 255u);
        ASSERT_EQ(queue_write3(q, "ABCDEFGH", 8, -(int32_t)n, ~value), 255u);
        EXPECT_EQ(queue_write3(q, "x", 1, 0, 0), 65535u);
        EXPECT_EQ(queue_length3(q), 2u);
        uint32_t size;
        int32_t type;
        uint64_t v;
        char *blk = (char *)queue_read3(q, &size, &type, &v);
        ASSERT_NE(blk, nullptr);
        EXPECT_EQ(std::string(blk, size) + std::to_string(type),
                  std::string("abcdefgh", n) + std::to_string(n));
        EXPECT_EQ(v, value * n);
        free(blk);
        blk = (char *)queue_read3(q, &size, &type, &v);
        ASSERT_NE(blk, nullptr);
        EXPECT_EQ(std::string(blk, size) + std::to_string(type), "ABCDEFGH-" + std::to_string(n));
        EXPECT_EQ(v, ~value);
        free(blk);
    }
    EXPECT_EQ(cap.count("]###########Data Full!, queue_length: 2, queue->maxdata: 2\n"), 6u);
    uint32_t size = 77;
    int32_t type = 77;
    uint64_t v = 77;
    EXPECT_EQ(queue_read3(q, &size, &type, &v), nullptr);
    EXPECT_EQ(size + type + v, 231u) << "an empty read leaves the out-values alone";
}

TEST_F(BlockQueue, BadInputAndClear)
{
    lc_test::TraceCapture cap;
    memset(q, 0x5A, sizeof *q);
    EXPECT_EQ(queue_create3(q, 513), 0xFFFFFFFFu);
    EXPECT_EQ(q->maxdata + q->queue_length + q->size[511], 0u) << "zeroed all the same";
    EXPECT_EQ(queue_create3(q, 512), 255u);
    EXPECT_TRUE(cap.contains("[lib queue_create3 +"));
    for (uint32_t r : {queue_create3(nullptr, 1), queue_write3(q, nullptr, 4, 0, 0),
                       queue_write3(q, "abc", 0, 0, 0), queue_write3(nullptr, "abc", 3, 0, 0),
                       queue_length3(nullptr), queue_clear3(nullptr)})
        EXPECT_EQ(r, 0xFFFFFFFFu);
    EXPECT_TRUE(cap.contains("]p_data == NULL\n"));
    EXPECT_TRUE(cap.contains("]length == 0\n"));
    EXPECT_EQ(queue_length3(q), 0u);
    EXPECT_EQ(queue_read3(nullptr, nullptr, nullptr, nullptr), nullptr);

    for (int i = 0; i < 600; i++)
        queue_write3(q, "abc", 3, 1, 1);
    EXPECT_EQ(queue_length3(q), 512u);
    cap.clear();
    EXPECT_EQ(queue_clear3(q), 255u);  // releases 512 blocks
    ASSERT_EQ(cap.texts().size(), 2u);
    EXPECT_NE(cap.texts()[0].find("]enter queue_clear3\n"), std::string::npos);
    EXPECT_NE(cap.texts()[1].find("]leave queue_clear3\n"), std::string::npos);
    EXPECT_EQ(queue_read3(q, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(q->type[300], 2);

    q->queue_in = 9999;  // overwritten by the caller: refused, not indexed
    EXPECT_EQ(queue_write3(q, "abc", 3, 0, 0), 0xFFFFFFFFu);
    q->queue_in = 0;
}

TEST_F(BlockQueue, FourWritersFourReadersLoseAndDuplicateNothing)
{
    lc_test::TraceCapture cap;  // "Data Full!" lines land here
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
            while (received.load() < total) {
                uint32_t size = 0, id = total;
                int32_t type = -1;
                uint64_t value = 0;
                void *blk = queue_read3(q, &size, &type, &value);
                if (blk == nullptr) {
                    std::this_thread::yield();
                    continue;
                }
                memcpy(&id, blk, std::min<size_t>(size, sizeof id));
                free(blk);
                bad += size != sizeof id || id >= total || value != id * 3ull ||
                       type != (int32_t)(id / per_writer) || seen[id].exchange(1) != 0;
                received++;
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(bad.load() + queue_length3(q), 0u);
    EXPECT_EQ(received.load(), total);
}

// In a forked child whose address space is capped at 2 GiB (a 32-bit
// process never has 3.75 GiB to spare anyway), a 3.75 GiB copy cannot be
// allocated: both copying queues report it as full, trace it, store nothing.
static int out_of_memory_child()
{
    const uint32_t huge = 0xF0000000u;
    struct rlimit limit = {2ul << 30, 2ul << 30};
    if (sizeof(void *) == 8 && setrlimit(RLIMIT_AS, &limit) != 0)
        return 11;
    lc_test::TraceCapture cap;
    static char source[16];  // never read: the allocation fails first
    static block_queue_t blocks;
    static frame_queue_t back;
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    queue_create3(&blocks, 4);
    queue_create2(&back, 4);
    if (queue_write3(&blocks, source, huge, 0, 0) != LC_QUEUE_FULL ||
        queue_write2(&mutex, &cond, &back, source, huge, 0) != LC_QUEUE_FULL)
        return 12;
    if (queue_length3(&blocks) + queue_length2(&back) != 0)
        return 13;
    return cap.count("]Malloc Error!\n") == 2 ? 0 : 14;
}

TEST(QueueMemory, FailedCopyIsReportedFullAndStoresNothing)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    if (sizeof(void *) == 8)
        GTEST_SKIP() << "sanitizer shadow memory does not fit a capped address space";
#endif
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        _exit(out_of_memory_child());
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
