/**
 * \file
 * \defgroup lib_common_ipc System V IPC wrappers
 * \ingroup lib_common_platform
 * ipc.h - System V message queue, semaphore and shared memory wrappers.
 *
 * Objects are named by numeric keys the processes agree on.  Queues and
 * semaphores are created with mode 0666, segments with 0777, never
 * exclusively: the first caller creates, the others open.
 *
 * Message buffers belong to the caller: a `long` message type followed by
 * the payload.  Every size below is the size of the whole buffer, type
 * included; the kernel is given size - sizeof(long) bytes of payload (4 on
 * the 32-bit target).  A size below sizeof(long) or a null buffer is
 * refused with -1 and errno EINVAL, so a receive can never be told it has
 * more room than the buffer holds.
 *
 * Shared memory is reached through attach-copy-detach; no address is ever
 * handed out.  An access that does not lie inside the segment (negative
 * offset or length, or offset + length past its size) or a null buffer is
 * refused with -1 and errno EINVAL, and nothing is copied.
 *
 * Kernel failures of the message and shared memory calls return -1 with
 * errno and print nothing; the semaphore calls print "Sem init", "Sem Wait
 * operation", "Sem Post operation" or "Sem kill" through perror.
 *
 * The wrappers keep no state and may be called from any thread; mutual
 * exclusion between processes that share a segment is the callers' (the
 * semaphore wrappers serve).  The blocking calls (receive, semaphore wait)
 * hold up the scheduler when called from a command handler.
 * @{
 */
#ifndef LC_IPC_H
#define LC_IPC_H

#include "lc_defs.h"

LC_BEGIN_DECLS

/** Queue id of key (opened, or created when missing), or -1.

    Thread safety: any thread. */
LC_API int32_t IpcMsgInit(int32_t key);
/** Sends the buffer (blocking); msgsnd's result.

    Thread safety: any thread; it may wait while the queue is full. */
LC_API int32_t IpcMsgSend(int32_t id, void *buf, int32_t size);
/** Receives a message of the wanted type (blocking): bytes of payload or -1.

    Thread safety: any thread; it waits for a message (so not from a
    command handler). */
LC_API int32_t IpcMsgRecv(int32_t id, long type, void *buf, int32_t size);
/** Sends the buffer, then receives a message of the wanted type into it.
    A failed send is returned at once, without waiting for a reply.

    Thread safety: as IpcMsgRecv. */
LC_API int32_t IpcMsgSendRecv(int32_t id, long type, void *buf, int32_t size);
/** Removes the queue; always 0.

    Thread safety: any thread. */
LC_API int32_t IpcMsgKill(int32_t id);

/** Set of one semaphore for key (created or opened), or -1.

    Thread safety: any thread. */
LC_API int32_t IpcSemaphore_Init(int32_t key);
/** Sets the semaphore's value: 0, or -1 ("Sem init" through perror).

    Thread safety: any thread. */
LC_API int32_t IpcSemaphore_SetValue(int32_t id, uint32_t value);
/** Takes one unit, waiting while there is none, with SEM_UNDO (the kernel
    reverts it when the process exits): 0, or -1.

    Thread safety: any thread; it may wait (so not from a command
    handler). */
LC_API int32_t IpcSemaPhore_Wait(int32_t id);
/** Gives one unit back, with SEM_UNDO: 0, or -1.

    Thread safety: any thread. */
LC_API int32_t IpcSemaPhore_Post(int32_t id);
/** Removes the semaphore set: 0, or -1 ("Sem kill" through perror).

    Thread safety: any thread, once no process needs the set. */
LC_API int32_t IpcSemaphore_kill(int32_t id);

/** Segment id of key: created with size bytes, or the existing segment of
    any size; the segment stays attached to the process.  -1 on failure.

    Thread safety: any thread. */
LC_API int32_t IpcShareMemInit(int32_t key, uint32_t size);
/** Removes the segment once the last process detaches; always 0.

    Thread safety: any thread. */
LC_API int32_t IpcShareMemDestroy(int32_t id);
/** Copies length bytes at offset out of the segment: 0, or -1.

    Thread safety: any thread; reads and writes of the same bytes at the
    same time need a lock of the callers' (a semaphore). */
LC_API int32_t IpcShareMemRead(int32_t id, int32_t offset, void *dst, int32_t length);
/** Copies length bytes into the segment at offset: 0, or -1.

    Thread safety: as IpcShareMemRead. */
LC_API int32_t IpcShareMemWrite(int32_t id, int32_t offset, const void *src, int32_t length);

LC_END_DECLS

/** @} */

#endif /* LC_IPC_H */
