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
    void TearDown() override { queue_clear3(q.get()); }
    std::unique_ptr<block_queue_t> q{new block_queue_t};
};

TEST_F(BlockQueue, BlocksComeOutInOrderAcrossTheWrap)
{
    lc_test::TraceCapture cap;
    ASSERT_EQ(queue_create3(q.get(), 2), 255u);
    uint64_t value = 0x1122334455667788ull;
    for (uint32_t n = 1; n <= 5; n++) {
        ASSERT_EQ(queue_write3(q.get(), "abcdefgh", n, (int32_t)n, value * n), 255u);
        ASSERT_EQ(queue_write3(q.get(), "ABCDEFGH", n + 1, -(int32_t)n, ~value), 255u);
        if (n == 1) {
            EXPECT_EQ(queue_write3(q.get(), "x", 1, 0, 0), 65535u);
            EXPECT_TRUE(cap.contains(
                "]###########Data Full!, queue_length: 2, queue->maxdata: 2\n"));
            EXPECT_EQ(queue_length3(q.get()), 2u);
        }
        uint32_t size;
        int32_t type;
        uint64_t v;
        char *b = (char *)queue_read3(q.get(), &size, &type, &v);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(std::string(b, size), std::string("abcdefgh", n));
        EXPECT_EQ(type, (int32_t)n);
        EXPECT_EQ(v, value * n);
        free(b);
        b = (char *)queue_read3(q.get(), &size, &type, &v);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(std::string(b, size), std::string("ABCDEFGH", n + 1));
        EXPECT_EQ(type, -(int32_t)n);
        EXPECT_EQ(v, ~value);
        free(b);
    }
    uint32_t size = 77;
    int32_t type = 77;
    uint64_t v = 77;
    EXPECT_EQ(queue_read3(q.get(), &size, &type, &v), nullptr);
    EXPECT_EQ(size + type + v, 231u) << "an empty read leaves the out-values alone";
}

TEST_F(BlockQueue, BadInputAndClear)
{
    lc_test::TraceCapture cap;
    memset(q.get(), 0x5A, sizeof *q);
    EXPECT_EQ(queue_create3(q.get(), 513), 0xFFFFFFFFu);
    EXPECT_EQ(q->maxdata, 0u);
    EXPECT_EQ(q->block[0], nullptr);
    EXPECT_EQ(queue_create3(q.get(), 512), 255u);
    EXPECT_TRUE(cap.contains("[lib queue_create3 +"));
    EXPECT_EQ(queue_create3(nullptr, 1), 0xFFFFFFFFu);

    EXPECT_EQ(queue_write3(q.get(), nullptr, 4, 0, 0), 0xFFFFFFFFu);
    EXPECT_TRUE(cap.contains("]p_data == NULL\n"));
    EXPECT_EQ(queue_write3(q.get(), "abc", 0, 0, 0), 0xFFFFFFFFu);
    EXPECT_TRUE(cap.contains("]length == 0\n"));
    EXPECT_EQ(queue_write3(nullptr, "abc", 3, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(queue_length3(q.get()), 0u);
    EXPECT_EQ(queue_read3(nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(queue_length3(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(queue_clear3(nullptr), 0xFFFFFFFFu);

    // Blocks still stored are released by the clear (the leak check sees it).
    for (int i = 0; i < 600; i++)
        queue_write3(q.get(), "abc", 3, 1, 1);
    EXPECT_EQ(queue_length3(q.get()), 512u);
    cap.clear();
    EXPECT_EQ(queue_clear3(q.get()), 255u);
    std::vector<std::string> texts = cap.texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_NE(texts.front().find("]enter queue_clear3\n"), std::string::npos);
    EXPECT_NE(texts.back().find("]leave queue_clear3\n"), std::string::npos);
    EXPECT_EQ(queue_read3(q.get(), nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(q->type[300], 2);

    // A record overwritten by the caller is refused, not indexed.
    q->queue_in = 9999;
    EXPECT_EQ(queue_write3(q.get(), "abc", 3, 0, 0), 0xFFFFFFFFu);
    q->queue_in = 0;
}

TEST_F(BlockQueue, FourWritersFourReadersLoseAndDuplicateNothing)
{
    lc_test::TraceCapture cap;  // "Data Full!" lines land here
    ASSERT_EQ(queue_create3(q.get(), 64), 255u);
    const uint32_t writers = 4, per_writer = 20000, total = writers * per_writer;
    std::vector<std::atomic<uint8_t>> seen(total);
    std::atomic<uint32_t> received{0}, bad{0};
    std::vector<std::thread> threads;
    for (uint32_t w = 0; w < writers; w++)
        threads.emplace_back([&, w] {
            for (uint32_t i = 0; i < per_writer; i++) {
                uint32_t id = w * per_writer + i;
                while (queue_write3(q.get(), &id, sizeof id, (int32_t)w, id * 3ull) != 255u)
                    std::this_thread::yield();
            }
        });
    for (int r = 0; r < 4; r++)
        threads.emplace_back([&] {
            while (received.load() < total) {
                uint32_t size = 0, id;
                int32_t type = -1;
                uint64_t value = 0;
                void *b = queue_read3(q.get(), &size, &type, &value);
                if (b == nullptr) {
                    std::this_thread::yield();
                    continue;
                }
                memcpy(&id, b, sizeof id);
                free(b);
                if (size != sizeof id || id >= total || value != id * 3ull ||
                    type != (int32_t)(id / per_writer) || seen[id].exchange(1) != 0)
                    bad++;
                received++;
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0u);
    EXPECT_EQ(received.load(), total);
    EXPECT_EQ(queue_length3(q.get()), 0u);
}

// Caps the address space of a forked child so that a 256 MiB copy cannot be
// allocated there (on a 32-bit target 3.75 GiB never can), and checks that
// both copying queues report it as full and store nothing.
static int out_of_memory_child()
{
    uint32_t huge = 0xF0000000u;
    if (sizeof(void *) == 8) {
        huge = 256u << 20;
        long pages = 0;
        FILE *statm = fopen("/proc/self/statm", "r");
        if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1)
            return 10;
        fclose(statm);
        rlim_t cap = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + (64u << 20);
        struct rlimit limit = {cap, cap};
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            return 11;
    }
    lc_test::TraceCapture cap;
    static char source[16];  // never read: the allocation fails first
    static block_queue_t blocks;
    static frame_queue_t back;
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    queue_create3(&blocks, 4);
    queue_create2(&back, 4);
    if (queue_write3(&blocks, source, huge, 0, 0) != LC_QUEUE_FULL || queue_length3(&blocks) != 0)
        return 12;
    if (queue_write2(&mutex, &cond, &back, source, huge, 0) != LC_QUEUE_FULL ||
        queue_length2(&back) != 0)
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
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
