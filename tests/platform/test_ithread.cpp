// Thread wrappers: handles in caller storage, mutex and semaphore, the
// sleep time-outs, signals cutting a sleep short, processor pinning.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

// Link-time seam: the library's select() lands here.  While faking, the
// call is recorded and returns at once; otherwise it goes to the system.
struct SelectCall {
    int nfds;
    bool no_sets;
    long sec;
    long usec;
};
static std::atomic<bool> fake_select{false};
static std::mutex select_mutex;
static std::vector<SelectCall> select_calls;

extern "C" int select(int nfds, fd_set *r, fd_set *w, fd_set *e, struct timeval *tv)
{
    if (fake_select.load()) {
        std::lock_guard<std::mutex> lock(select_mutex);
        select_calls.push_back({nfds, r == nullptr && w == nullptr && e == nullptr,
                                tv ? static_cast<long>(tv->tv_sec) : -1,
                                tv ? static_cast<long>(tv->tv_usec) : -1});
        return 0;
    }
    using select_fn = int (*)(int, fd_set *, fd_set *, fd_set *, struct timeval *);
    static select_fn real = reinterpret_cast<select_fn>(dlsym(RTLD_NEXT, "select"));
    return real(nfds, r, w, e, tv);
}

TEST(IThread, SizeQueriesMatchThePlatformTypes)
{
    EXPECT_EQ(ithread_get_handle_size(), sizeof(pthread_t));
    EXPECT_EQ(ithread_get_mutex_lock_size(), sizeof(pthread_mutex_t));
    EXPECT_EQ(ithread_get_mutex_struct_size(), ithread_get_mutex_lock_size());
    EXPECT_EQ(ithread_get_sem_struct_size(), sizeof(sem_t));
}

static void *add_one(void *arg)
{
    return static_cast<char *>(arg) + 1;
}

static void *exit_early(void *arg)
{
    ithread_exit(static_cast<char *>(arg) + 2);
}

TEST(IThread, ThreadsLiveInCallerStorageAndJoinThroughIt)
{
    char base[4];
    void *handle = malloc(ithread_get_handle_size());
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(ithread_create(handle, nullptr, add_one, base), 0);
    void *result = nullptr;
    EXPECT_EQ(ithread_join(handle, &result), 0);
    EXPECT_EQ(result, base + 1);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    ASSERT_EQ(ithread_create(handle, &attr, exit_early, base), 0);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(ithread_join(handle, &result), 0);
    EXPECT_EQ(result, base + 2);

    ASSERT_EQ(ithread_create(handle, nullptr, add_one, base), 0);
    EXPECT_EQ(ithread_join(handle, nullptr), 0);
    free(handle);
}

struct Shared {
    void *mutex;
    void *sem;
    long counter;
    std::atomic<bool> woke{false};
};

static void *count_up(void *arg)
{
    Shared *s = static_cast<Shared *>(arg);
    for (int i = 0; i < 20000; i++) {
        ithread_mutex_lock(s->mutex);
        s->counter++;
        ithread_mutex_unlock(s->mutex);
        if (i % 1000 == 0)
            ithread_yield();
    }
    return nullptr;
}

static void *wait_for_post(void *arg)
{
    Shared *s = static_cast<Shared *>(arg);
    ithread_sem_wait(s->sem);
    s->woke = true;
    return nullptr;
}

TEST(IThread, MutexSerialisesAndSemaphoreBlocksUntilPosted)
{
    Shared s;
    s.mutex = malloc(ithread_get_mutex_struct_size());
    s.sem = malloc(ithread_get_sem_struct_size());
    s.counter = 0;
    ASSERT_EQ(ithread_mutex_init(s.mutex), 0);
    void *a = malloc(ithread_get_handle_size());
    void *b = malloc(ithread_get_handle_size());
    ASSERT_EQ(ithread_create(a, nullptr, count_up, &s), 0);
    ASSERT_EQ(ithread_create(b, nullptr, count_up, &s), 0);
    ithread_join(a, nullptr);
    ithread_join(b, nullptr);
    EXPECT_EQ(s.counter, 40000);
    EXPECT_EQ(ithread_mutex_lock(s.mutex), 0);
    EXPECT_EQ(ithread_mutex_unlock(s.mutex), 0);
    EXPECT_EQ(ithread_mutex_destroy(s.mutex), 0);

    ASSERT_EQ(ithread_sem_init(s.sem, 0, 0), 0);
    ASSERT_EQ(ithread_create(a, nullptr, wait_for_post, &s), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(s.woke.load());  // the count is 0: still waiting
    EXPECT_EQ(ithread_sem_post(s.sem), 0);
    ithread_join(a, nullptr);
    EXPECT_TRUE(s.woke.load());
    // A count above zero does not block.
    EXPECT_EQ(ithread_sem_post(s.sem), 0);
    EXPECT_EQ(ithread_sem_wait(s.sem), 0);
    EXPECT_EQ(ithread_sem_destroy(s.sem), 0);
    free(a);
    free(b);
    free(s.mutex);
    free(s.sem);
}

TEST(IThread, SleepsSplitTheirArgumentIntoSelectTimeouts)
{
    {
        std::lock_guard<std::mutex> lock(select_mutex);
        select_calls.clear();
    }
    fake_select = true;
    ithread_sleep(3);
    ithread_msleep(1500);
    ithread_msleep(0);
    ithread_msleep(999);
    ithread_msleep(4294967295u);
    ithread_usleep(2500000);
    ithread_usleep(999999);
    ithread_usleep(4294967295u);
    fake_select = false;

    const long expected[][2] = {{3, 0},       {1, 500000},        {0, 0},    {0, 999000},
                                {4294967, 295000}, {2, 500000}, {0, 999999}, {4294, 967295}};
    std::lock_guard<std::mutex> lock(select_mutex);
    ASSERT_EQ(select_calls.size(), 8u);
    for (size_t i = 0; i < select_calls.size(); i++) {
        EXPECT_EQ(select_calls[i].nfds, 0) << i;
        EXPECT_TRUE(select_calls[i].no_sets) << i;
        EXPECT_EQ(select_calls[i].sec, expected[i][0]) << i;
        EXPECT_EQ(select_calls[i].usec, expected[i][1]) << i;
    }
}

static void on_signal(int) {}

TEST(IThread, RealSleepLastsAndASignalCutsItShort)
{
    auto t0 = std::chrono::steady_clock::now();
    ithread_msleep(120);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(119));

    struct sigaction sa = {}, old = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    std::atomic<bool> done{false};
    auto start = std::chrono::steady_clock::now();
    std::thread sleeper([&] {
        ithread_sleep(20);
        done = true;
    });
    // Signal until it lands inside the sleep (it may come before it starts).
    while (!done.load() && std::chrono::steady_clock::now() - start < std::chrono::seconds(15)) {
        pthread_kill(sleeper.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    sleeper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(IThread, AffinityPinsTheCallingThreadOnly)
{
    cpu_set_t before;
    ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
    int allowed = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE && allowed < 0; cpu++)
        if (CPU_ISSET(cpu, &before))
            allowed = cpu;
    ASSERT_GE(allowed, 0);
    long online = sysconf(_SC_NPROCESSORS_ONLN);

    std::thread pinned([&] {
        cpu_set_t mine;
        pthread_getaffinity_np(pthread_self(), sizeof mine, &mine);
        EXPECT_EQ(ithread_set_affinity(static_cast<int>(online)), -1);
        cpu_set_t after;
        pthread_getaffinity_np(pthread_self(), sizeof after, &after);
        EXPECT_TRUE(CPU_EQUAL(&mine, &after)) << "a refused number changes nothing";
        EXPECT_EQ(ithread_set_affinity(-1), EINVAL);  // empty set
        EXPECT_EQ(ithread_set_affinity(allowed), 0);
        pthread_getaffinity_np(pthread_self(), sizeof after, &after);
        EXPECT_EQ(CPU_COUNT(&after), 1);
        EXPECT_TRUE(CPU_ISSET(allowed, &after));
    });
    pinned.join();
    cpu_set_t now;
    ASSERT_EQ(sched_getaffinity(0, sizeof now, &now), 0);
    EXPECT_TRUE(CPU_EQUAL(&before, &now));
}
