/*
 * ithread.h - thread, mutex, semaphore, sleep and affinity wrappers.
 *
 * A process uses threads through these calls without naming the platform's
 * types: the thread handle, the mutex and the semaphore live in storage the
 * caller allocates, sized by the ithread_get_*_size queries (pthread_t,
 * pthread_mutex_t and sem_t of the build target: 4, 24 and 16 bytes on
 * 32-bit ARM with glibc).  Each call forwards to one platform call and
 * returns its result unchanged (an error number for thread and mutex calls,
 * -1 with errno for semaphore calls); nothing is checked or traced, so null
 * pointers are the caller's fault here, as they are for the platform.
 */
#ifndef LC_ITHREAD_H
#define LC_ITHREAD_H

#include "lc_defs.h"

LC_BEGIN_DECLS

/* Start function of a thread: takes and returns an untyped pointer. */
typedef void *(*ithread_start_fn)(void *arg);

/* Bytes of a thread handle, of a mutex (both mutex queries agree) and of
   an unnamed semaphore. */
LC_API unsigned int ithread_get_handle_size(void);
LC_API unsigned int ithread_get_mutex_lock_size(void);
LC_API unsigned int ithread_get_mutex_struct_size(void);
LC_API unsigned int ithread_get_sem_struct_size(void);

/* Starts a thread and stores its handle in *handle.  attr points to
   thread attributes (pthread_attr_t) or is null for the defaults. */
LC_API int ithread_create(void *handle, const void *attr, ithread_start_fn start, void *arg);
/* Waits for the thread whose handle is stored at *handle; its exit value
   goes to *retval unless retval is null. */
LC_API int ithread_join(const void *handle, void **retval);
/* Ends the calling thread with the given exit value. */
LC_API void ithread_exit(void *value)
#if defined(__GNUC__)
    __attribute__((noreturn))
#endif
    ;

LC_API int ithread_mutex_init(void *mutex);
LC_API int ithread_mutex_destroy(void *mutex);
LC_API int ithread_mutex_lock(void *mutex);
LC_API int ithread_mutex_unlock(void *mutex);

LC_API void ithread_yield(void);
/* Sleeps through select() on no descriptors.  A signal ends the sleep
   early; the rest is not slept and nothing reports it. */
LC_API void ithread_sleep(unsigned int seconds);
LC_API void ithread_msleep(unsigned int milliseconds);
LC_API void ithread_usleep(unsigned int microseconds);

/* pshared nonzero: the semaphore lives in memory shared between processes. */
LC_API int ithread_sem_init(void *sem, int pshared, unsigned int value);
LC_API int ithread_sem_post(void *sem);
LC_API int ithread_sem_wait(void *sem);
LC_API int ithread_sem_destroy(void *sem);

/* Pins the calling thread to processor cpu.  -1 when cpu is not below the
   count of online processors; otherwise the platform's result (0, or an
   error number such as EINVAL for a negative cpu). */
LC_API int ithread_set_affinity(int cpu);

LC_END_DECLS

#endif /* LC_ITHREAD_H */
