// baseline_pool.h - the pool a developer would write in a few lines with the
// standard library: std::mutex, std::condition_variable and std::deque, with
// the same shape as the library's pool (fixed workers, bounded task list).
// Written for the comparison only.
#ifndef LC_BENCH_BASELINE_POOL_H
#define LC_BENCH_BASELINE_POOL_H

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

class BaselinePool {
public:
    using Fn = void (*)(void *);

    BaselinePool(int workers, size_t queue_max) : queue_max_(queue_max)
    {
        for (int i = 0; i < workers; i++)
            threads_.emplace_back([this] { run(); });
    }

    ~BaselinePool()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        ready_.notify_all();
        not_full_.notify_all();
        for (std::thread &t : threads_)
            t.join();
    }

    // Queues fn(arg); waits while the list is full.
    void submit(Fn fn, void *arg)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        not_full_.wait(lock, [this] { return tasks_.size() < queue_max_ || stop_; });
        tasks_.push_back({fn, arg});
        lock.unlock();
        ready_.notify_one();
    }

private:
    struct Task {
        Fn fn;
        void *arg;
    };

    void run()
    {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_.wait(lock, [this] { return !tasks_.empty() || stop_; });
            if (stop_)
                return;
            Task task = tasks_.front();
            tasks_.pop_front();
            lock.unlock();
            not_full_.notify_all();
            task.fn(task.arg);
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable not_full_;
    std::deque<Task> tasks_;
    std::vector<std::thread> threads_;
    size_t queue_max_;
    bool stop_ = false;
};

#endif  // LC_BENCH_BASELINE_POOL_H
