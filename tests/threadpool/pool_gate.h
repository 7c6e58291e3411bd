// pool_gate.h - holds pool workers inside a task until the test lets them
// go, and reads a pool's counters under the pool's own lock.
#ifndef LC_TEST_POOL_GATE_H
#define LC_TEST_POOL_GATE_H

#include "lc_test.h"

#include <chrono>
#include <condition_variable>
#include <mutex>


namespace lc_test {

class Gate {
public:
    // A task function: stays inside until release().
    static void hold(void *arg)
    {
        Gate *g = static_cast<Gate *>(arg);
        std::unique_lock<std::mutex> lock(g->m_);
        g->inside_++;
        g->cv_.notify_all();
        g->cv_.wait(lock, [g] { return g->open_; });
        g->inside_--;
    }
    bool wait_inside(int n)
    {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return inside_ >= n; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(m_);
        open_ = true;
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
    int inside_ = 0;
};

struct PoolCounts {
    int32_t live, busy, exit_count, min, limit;
};

inline PoolCounts counts(threadpool *pool)
{
    pthread_mutex_lock(&pool->count_lock);
    PoolCounts c = {pool->live, pool->busy, pool->exit_count, pool->min, pool->limit};
    pthread_mutex_unlock(&pool->count_lock);
    return c;
}

}  // namespace lc_test

#endif  // LC_TEST_POOL_GATE_H
