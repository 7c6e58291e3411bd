/*
 * mutex_guard_internal.h - holds a mutex for the life of a scope.
 * Not installed; nothing here is exported.
 */
#ifndef LC_MUTEX_GUARD_INTERNAL_H
#define LC_MUTEX_GUARD_INTERNAL_H

#include <pthread.h>

class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t &m) : m_(m) { pthread_mutex_lock(&m_); }
    ~MutexGuard() { pthread_mutex_unlock(&m_); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;

private:
    pthread_mutex_t &m_;
};

#endif /* LC_MUTEX_GUARD_INTERNAL_H */
