/**
 * \file
 * \defgroup lib_common_ithread Thread wrappers
 * \ingroup lib_common_platform
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
 *
 * The wrappers keep no state: each is as thread-safe as the platform call
 * it forwards to.
 * @{
 */
#ifndef LC_ITHREAD_H
#define LC_ITHREAD_H

#include "lc_defs.h"

LC_BEGIN_DECLS

/** Start function of a thread: takes and returns an untyped pointer. */
typedef void *(*ithread_start_fn)(void *arg);

/** Bytes of a thread handle (pthread_t).

    Thread safety: any thread. */
LC_API unsigned int ithread_get_handle_size(void);
/** Bytes of a mutex (pthread_mutex_t); the same as
    ithread_get_mutex_struct_size.

    Thread safety: any thread. */
LC_API unsigned int ithread_get_mutex_lock_size(void);
/** Bytes of a mutex (pthread_mutex_t).

    Thread safety: any thread. */
LC_API unsigned int ithread_get_mutex_struct_size(void);
/** Bytes of an unnamed semaphore (sem_t).

    Thread safety: any thread. */
LC_API unsigned int ithread_get_sem_struct_size(void);

/** Starts a thread and stores its handle in *handle.  attr points to
    thread attributes (pthread_attr_t) or is null for the defaults.  0, or
    pthread_create's error number.

    Thread safety: any thread. */
LC_API int ithread_create(void *handle, const void *attr, ithread_start_fn start, void *arg);
/** Waits for the thread whose handle is stored at *handle; its exit value
    goes to *retval unless retval is null.  0, or pthread_join's error
    number.

    Thread safety: any thread but the one joined; one join per thread. */
LC_API int ithread_join(const void *handle, void **retval);
/** Ends the calling thread with the given exit value.

    Thread safety: a thread of the program's own; never a task function or a
    command handler (the library's threads must not end under it). */
LC_API void ithread_exit(void *value)
#if defined(__GNUC__)
    __attribute__((noreturn))
#endif
    ;

/** Initialises a mutex with default attributes in the caller's storage:
    pthread_mutex_init's result.

    Thread safety: any thread, before the mutex is shared. */
LC_API int ithread_mutex_init(void *mutex);
/** Destroys an unlocked mutex: pthread_mutex_destroy's result.

    Thread safety: any thread, once no thread uses the mutex. */
LC_API int ithread_mutex_destroy(void *mutex);
/** Locks the mutex, waiting for it: pthread_mutex_lock's result.

    Thread safety: any thread. */
LC_API int ithread_mutex_lock(void *mutex);
/** Unlocks the mutex: pthread_mutex_unlock's result.

    Thread safety: the thread that locked it. */
LC_API int ithread_mutex_unlock(void *mutex);

/** Lets other threads run (sched_yield).

    Thread safety: any thread. */
LC_API void ithread_yield(void);
/** Sleeps through select() on no descriptors.  A signal ends the sleep
    early; the rest is not slept and nothing reports it.

    Thread safety: any thread; from a command handler it holds up the
    scheduler, from a task function a pool worker. */
LC_API void ithread_sleep(unsigned int seconds);
/** As ithread_sleep, in milliseconds.

    Thread safety: as ithread_sleep. */
LC_API void ithread_msleep(unsigned int milliseconds);
/** As ithread_sleep, in microseconds.

    Thread safety: as ithread_sleep. */
LC_API void ithread_usleep(unsigned int microseconds);

/** Initialises an unnamed semaphore to value in the caller's storage;
    pshared nonzero: the semaphore lives in memory shared between
    processes.  0, or -1 with errno.

    Thread safety: any thread, before the semaphore is shared. */
LC_API int ithread_sem_init(void *sem, int pshared, unsigned int value);
/** Gives one unit back (sem_post): 0, or -1 with errno.

    Thread safety: any thread; async-signal-safe, as sem_post is: a signal
    handler may call it to wake a thread that does the work (no other call
    of the library is promised to be). */
LC_API int ithread_sem_post(void *sem);
/** Takes one unit, waiting while there is none (sem_wait; a signal may end
    the wait with -1 and EINTR): 0, or -1 with errno.

    Thread safety: any thread; from a command handler it holds up the
    scheduler while it waits. */
LC_API int ithread_sem_wait(void *sem);
/** Destroys the semaphore: 0, or -1 with errno.

    Thread safety: any thread, once no thread waits on it. */
LC_API int ithread_sem_destroy(void *sem);

/** Pins the calling thread to processor cpu.  -1 when cpu is not below the
    count of online processors; otherwise the platform's result (0, or an
    error number such as EINVAL for a negative cpu).

    Thread safety: any thread, for itself; not from a task function or a
    command handler, whose threads belong to the library. */
LC_API int ithread_set_affinity(int cpu);

LC_END_DECLS

/** @} */

#endif /* LC_ITHREAD_H */
