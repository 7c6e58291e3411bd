/*
 * lc_lock_internal.h - mutexes whose holder is known in debug builds.
 * Not installed; nothing here is exported.
 *
 * A function whose comment says "caller holds X", or a lock order, asserts
 * it with lc_lock_owner::mine().  Debug builds record which thread holds
 * each tracked mutex; release builds record nothing, and the helpers are the
 * plain pthread calls.  mine() is for asserts only.
 */
#ifndef LC_LOCK_INTERNAL_H
#define LC_LOCK_INTERNAL_H

#include <assert.h>
#include <pthread.h>

#ifndef NDEBUG
class lc_lock_owner {
public:
    /* True when the calling thread holds the mutex. */
    bool mine() const { return __atomic_load_n(&holder_, __ATOMIC_RELAXED) == self(); }
    /* A recursive mutex taken again by its holder only counts. */
    void took()
    {
        if (mine()) {
            depth_++;
            return;
        }
        __atomic_store_n(&holder_, self(), __ATOMIC_RELAXED);
        depth_ = 1;
    }
    void dropping()
    {
        if (--depth_ == 0)
            __atomic_store_n(&holder_, static_cast<const void *>(nullptr), __ATOMIC_RELAXED);
    }
    /* How often the holder has taken it (0: not held by the caller). */
    int depth() const { return mine() ? depth_ : 0; }

private:
    /* A thread's identity: the address of its own copy of a variable. */
    static const void *self()
    {
        static thread_local char me;
        return &me;
    }
    const void *holder_ = nullptr;
    int depth_ = 0; /* only the holder reads or writes it, under the mutex */
};
#else
class lc_lock_owner {
public:
    bool mine() const { return true; }
    void took() {}
    void dropping() {}
    int depth() const { return 1; }
};
#endif

/* A mutex and its holder record. */
struct lc_mutex {
    pthread_mutex_t mutex;
    lc_lock_owner owner;
};
// The formatter takes a macro that starts with a brace for a block.
// clang-format off
#define LC_MUTEX_INITIALIZER {PTHREAD_MUTEX_INITIALIZER, {}}
/* One its holder may take again (glibc's recursive initialiser). */
#define LC_RECURSIVE_MUTEX_INITIALIZER {PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP, {}}
// clang-format on

/* Holds a mutex for the life of a scope; wait() keeps the record right
   across a condition wait. */
class lc_lock_guard {
public:
    lc_lock_guard(pthread_mutex_t &mutex, lc_lock_owner &owner) : mutex_(mutex), owner_(owner)
    {
        pthread_mutex_lock(&mutex_);
        owner_.took();
    }
    explicit lc_lock_guard(lc_mutex &m) : lc_lock_guard(m.mutex, m.owner) {}
    ~lc_lock_guard()
    {
        owner_.dropping();
        pthread_mutex_unlock(&mutex_);
    }
    void wait(pthread_cond_t &cond)
    {
        assert(owner_.depth() == 1); /* a wait releases one level only */
        owner_.dropping();
        pthread_cond_wait(&cond, &mutex_);
        owner_.took();
    }
    lc_lock_guard(const lc_lock_guard &) = delete;
    lc_lock_guard &operator=(const lc_lock_guard &) = delete;

private:
    pthread_mutex_t &mutex_;
    lc_lock_owner &owner_;
};

#endif /* LC_LOCK_INTERNAL_H */
