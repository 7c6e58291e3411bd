// Thread wrappers in storage of exactly the size each query reports (AddressSanitizer sees any overrun), and those
// sizes on 32-bit ARM; sleeps; affinity.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <thread>
#include <unistd.h>

TEST(IThread, ObjectsLiveInCallerStorageOfTheReportedSize)
{
    std::vector<char> handle(ithread_get_handle_size()), mutex(ithread_get_mutex_lock_size()),
        sem(ithread_get_sem_struct_size()), other(ithread_get_mutex_struct_size());
    void *result = nullptr, *s = sem.data();
    for (void *m : {mutex.data(), other.data()})
        EXPECT_EQ((std::vector<int>{ithread_mutex_init(m), ithread_mutex_lock(m), ithread_mutex_unlock(m),
                                    ithread_mutex_destroy(m)}),
                  std::vector<int>(4, 0));
    EXPECT_EQ(
        (std::vector<int>{ithread_sem_init(s, 0, 0), ithread_sem_post(s), ithread_sem_wait(s), ithread_sem_destroy(s)}),
        std::vector<int>(4, 0));
    ASSERT_EQ(ithread_create(
                  handle.data(), nullptr, [](void *arg) -> void * { ithread_exit(arg); }, &handle),
              0);
    EXPECT_EQ(ithread_join(handle.data(), &result), 0);
    EXPECT_EQ(result, &handle);  // the handle read through the pointer
#if defined(__arm__)
    EXPECT_EQ((std::vector<size_t>{handle.size(), mutex.size(), other.size(), sem.size(), sizeof(long)}),
              (std::vector<size_t>{4, 24, 24, 16, 4}));  // sizeof(long): the type field of IPC messages
#endif
}

// Whole seconds and the part below one both count (a lower bound only: a busy machine may add to it).
TEST(IThread, SleepsLastAtLeastTheirTime)
{
    void (*const sleeps[])() = {[] { ithread_sleep(1); }, [] { ithread_msleep(1040); },
                                [] { ithread_usleep(1040000); }};
    for (size_t i = 0; i < 3; i++) {
        const auto start = std::chrono::steady_clock::now();
        sleeps[i]();
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(i == 0 ? 1000 : 1040)) << i;
    }
    ithread_yield();
}

// A processor the machine does not have is refused (-1); a negative one names none, which the system refuses.
TEST(IThread, AffinityPinsTheCallingThreadToOneProcessor)
{
    std::thread([] {
        cpu_set_t allowed, now;
        ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof allowed, &allowed), 0);
        const int online = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
        int cpu = online - 1;  // the last one this thread may use
        while (cpu > 0 && !CPU_ISSET(cpu, &allowed))
            cpu--;
        EXPECT_EQ(ithread_set_affinity(online), -1);
        EXPECT_EQ(ithread_set_affinity(-1), EINVAL);
        ASSERT_EQ(ithread_set_affinity(cpu), 0);
        ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof now, &now), 0);
        EXPECT_EQ(CPU_COUNT(&now), 1);
        EXPECT_TRUE(CPU_ISSET(cpu, &now)) << cpu;
    }).join();
}
