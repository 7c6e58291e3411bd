// Thread wrappers: caller-owned handles, mutex, semaphore, sleeps, pinning.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

// Link-time seam: while faking, the library's select() calls are recorded
// (descriptor count plus 1 per set given, seconds, microseconds).
static std::atomic<bool> fake_select{false};
static std::vector<long> select_calls;

extern "C" int select(int nfds, fd_set *r, fd_set *w, fd_set *e, struct timeval *tv)
{
    using select_fn = int (*)(int, fd_set *, fd_set *, fd_set *, struct timeval *);
    static select_fn real = reinterpret_cast<select_fn>(dlsym(RTLD_NEXT, "select"));
    if (!fake_select.load())
        return real(nfds, r, w, e, tv);
    select_calls.insert(select_calls.end(), {nfds + !!r + !!w + !!e, (long)tv->tv_sec, (long)tv->tv_usec});
    return 0;
}

struct Shared {
    std::vector<char> mutex = std::vector<char>(ithread_get_mutex_lock_size());
    std::vector<char> sem = std::vector<char>(ithread_get_sem_struct_size());
    long counter = 0;
};

static void *count_up(void *arg)
{
    Shared *s = static_cast<Shared *>(arg);
    for (int i = 0; i < 20000; i++) {
        ithread_mutex_lock(s->mutex.data());
        s->counter++;
        ithread_mutex_unlock(s->mutex.data());
    }
    ithread_sem_post(s->sem.data());
    ithread_exit(&s->counter);
}

TEST(IThread, ThreadsMutexAndSemaphoreInCallerStorage)
{
    Shared s;
    std::vector<char> a(ithread_get_handle_size()), b(ithread_get_handle_size());
    ASSERT_EQ(ithread_mutex_init(s.mutex.data()), 0);
    ASSERT_EQ(ithread_sem_init(s.sem.data(), 0, 0), 0);
    ASSERT_EQ(ithread_create(a.data(), nullptr, count_up, &s), 0);
    ASSERT_EQ(ithread_create(b.data(), nullptr, count_up, &s), 0);
    EXPECT_EQ(ithread_sem_wait(s.sem.data()), 0);  // blocks until a thread posts
    EXPECT_EQ(ithread_sem_wait(s.sem.data()), 0);
    void *result = nullptr;
    EXPECT_EQ(ithread_join(a.data(), &result), 0);  // the handle is read through the pointer
    EXPECT_EQ(result, &s.counter);
    EXPECT_EQ(ithread_join(b.data(), nullptr), 0);
    EXPECT_EQ(s.counter, 40000);
    EXPECT_EQ(ithread_mutex_destroy(s.mutex.data()), 0);
    EXPECT_EQ(ithread_sem_destroy(s.sem.data()), 0);
}

TEST(IThread, SleepsBecomeSelectTimeouts)
{
    fake_select = true;
    ithread_sleep(3), ithread_msleep(1500), ithread_msleep(0), ithread_msleep(4294967295u);
    ithread_usleep(2500000), ithread_usleep(4294967295u);
    fake_select = false;
    EXPECT_EQ(select_calls, (std::vector<long>{0, 3, 0, 0, 1, 500000, 0, 0, 0, 0, 4294967, 295000, 0, 2,
                                               500000, 0, 4294, 967295}));
    auto t0 = std::chrono::steady_clock::now();
    ithread_msleep(120);  // and the real one waits
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(119));
}

TEST(IThread, AffinityPinsTheCallingThreadOnly)
{
    cpu_set_t before, now;
    ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
    int allowed = 0;
    while (!CPU_ISSET(allowed, &before))
        allowed++;
    std::thread([&] {
        EXPECT_EQ(ithread_set_affinity(static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN))), -1);
        EXPECT_EQ(ithread_set_affinity(-1), EINVAL);  // no bit set
        EXPECT_EQ(ithread_set_affinity(allowed), 0);
        pthread_getaffinity_np(pthread_self(), sizeof now, &now);
        EXPECT_EQ(CPU_COUNT(&now), 1);
        EXPECT_TRUE(CPU_ISSET(allowed, &now));
    }).join();
    ASSERT_EQ(sched_getaffinity(0, sizeof now, &now), 0);
    EXPECT_TRUE(CPU_EQUAL(&before, &now));
}
