/*
 * ithread.cpp - one platform call per wrapper, results passed back as is.
 */
#include "ithread.h"

#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/select.h>
#include <unistd.h>

/* The affinity set always spans 1024 processors (128 bytes). */
enum { AFFINITY_BITS = 1024 };

LC_STATIC_ASSERT(sizeof(cpu_set_t) * 8 == AFFINITY_BITS, "cpu_set_t holds 1024 bits");

extern "C" {

LC_API unsigned int ithread_get_handle_size(void)
{
    return sizeof(pthread_t);
}

LC_API unsigned int ithread_get_mutex_lock_size(void)
{
    return sizeof(pthread_mutex_t);
}

LC_API unsigned int ithread_get_mutex_struct_size(void)
{
    return sizeof(pthread_mutex_t);
}

LC_API unsigned int ithread_get_sem_struct_size(void)
{
    return sizeof(sem_t);
}

LC_API int ithread_create(void *handle, const void *attr, ithread_start_fn start, void *arg)
{
    return pthread_create(static_cast<pthread_t *>(handle), static_cast<const pthread_attr_t *>(attr), start, arg);
}

LC_API int ithread_join(const void *handle, void **retval)
{
    return pthread_join(*static_cast<const pthread_t *>(handle), retval);
}

LC_API void ithread_exit(void *value)
{
    pthread_exit(value);
}

LC_API int ithread_mutex_init(void *mutex)
{
    return pthread_mutex_init(static_cast<pthread_mutex_t *>(mutex), nullptr);
}

LC_API int ithread_mutex_destroy(void *mutex)
{
    return pthread_mutex_destroy(static_cast<pthread_mutex_t *>(mutex));
}

LC_API int ithread_mutex_lock(void *mutex)
{
    return pthread_mutex_lock(static_cast<pthread_mutex_t *>(mutex));
}

LC_API int ithread_mutex_unlock(void *mutex)
{
    return pthread_mutex_unlock(static_cast<pthread_mutex_t *>(mutex));
}

LC_API void ithread_yield(void)
{
    sched_yield();
}

}  // extern "C"

/* select() with no descriptors: sleeps, and a signal ends it early. */
static void select_sleep(unsigned int sec, unsigned int usec)
{
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(sec);
    tv.tv_usec = static_cast<suseconds_t>(usec);
    (void)select(0, nullptr, nullptr, nullptr, &tv);
}

extern "C" {

LC_API void ithread_sleep(unsigned int seconds)
{
    select_sleep(seconds, 0);
}

LC_API void ithread_msleep(unsigned int milliseconds)
{
    select_sleep(milliseconds / 1000u, (milliseconds % 1000u) * 1000u);
}

LC_API void ithread_usleep(unsigned int microseconds)
{
    select_sleep(microseconds / 1000000u, microseconds % 1000000u);
}

LC_API int ithread_sem_init(void *sem, int pshared, unsigned int value)
{
    return sem_init(static_cast<sem_t *>(sem), pshared, value);
}

LC_API int ithread_sem_post(void *sem)
{
    return sem_post(static_cast<sem_t *>(sem));
}

LC_API int ithread_sem_wait(void *sem)
{
    return sem_wait(static_cast<sem_t *>(sem));
}

LC_API int ithread_sem_destroy(void *sem)
{
    return sem_destroy(static_cast<sem_t *>(sem));
}

LC_API int ithread_set_affinity(int cpu)
{
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    pthread_t self = pthread_self();
    if (cpu >= online)
        return -1;

    cpu_set_t set;
    CPU_ZERO(&set);
    /* A negative cpu sets no bit: the platform refuses the empty set. */
    if (static_cast<unsigned int>(cpu) < AFFINITY_BITS)
        CPU_SET(static_cast<unsigned int>(cpu), &set);
    return pthread_setaffinity_np(self, sizeof set, &set);
}

}  // extern "C"
