/*
 * ipc.cpp - System V message queues, one-semaphore sets and shared memory.
 */
#include "ipc.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>

enum {
    MSG_MODE = 0666,
    SEM_MODE = 0666,
    SHM_MODE = 0777,
};

namespace {
/* The caller defines this union for semctl, glibc does not. */
union semun {
    int val;
    struct semid_ds *buf;
    unsigned short *array;
};
}  // namespace

/* Payload length of a whole buffer of size bytes, or -1 (errno EINVAL)
   when the buffer cannot even hold the type field. */
static long payload_size(const void *buf, int32_t size)
{
    if (buf == nullptr || size < static_cast<int32_t>(sizeof(long))) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<long>(size) - static_cast<long>(sizeof(long));
}

/* One semop on semaphore 0 with SEM_UNDO; perror(what) on failure. */
static int32_t sem_step(int32_t id, short op, const char *what)
{
    struct sembuf step;
    step.sem_num = 0;
    step.sem_op = op;
    step.sem_flg = SEM_UNDO;
    if (semop(id, &step, 1) != 0) {
        perror(what);
        return -1;
    }
    return 0;
}

/* Attaches the segment if [offset, offset + length) lies inside it. */
static void *attach_range(int32_t id, int32_t offset, const void *buf, int32_t length)
{
    if (buf == nullptr || offset < 0 || length < 0) {
        errno = EINVAL;
        return nullptr;
    }
    struct shmid_ds ds;
    if (shmctl(id, IPC_STAT, &ds) != 0)
        return nullptr;
    if (static_cast<unsigned long long>(offset) + static_cast<unsigned long long>(length) >
        static_cast<unsigned long long>(ds.shm_segsz)) {
        errno = EINVAL;
        return nullptr;
    }
    void *base = shmat(id, nullptr, 0);
    return base == reinterpret_cast<void *>(-1) ? nullptr : base;
}

extern "C" {

LC_API int32_t IpcMsgInit(int32_t key)
{
    int id = msgget(key, 0);
    if (id < 0)
        id = msgget(key, IPC_CREAT | MSG_MODE);
    return id;
}

LC_API int32_t IpcMsgSend(int32_t id, void *buf, int32_t size)
{
    long payload = payload_size(buf, size);
    if (payload < 0)
        return -1;
    return msgsnd(id, buf, static_cast<size_t>(payload), 0);
}

LC_API int32_t IpcMsgRecv(int32_t id, long type, void *buf, int32_t size)
{
    long payload = payload_size(buf, size);
    if (payload < 0)
        return -1;
    return static_cast<int32_t>(msgrcv(id, buf, static_cast<size_t>(payload), type, 0));
}

LC_API int32_t IpcMsgSendRecv(int32_t id, long type, void *buf, int32_t size)
{
    int32_t rc = IpcMsgSend(id, buf, size);
    if (rc < 0)
        return rc;
    return IpcMsgRecv(id, type, buf, size);
}

LC_API int32_t IpcMsgKill(int32_t id)
{
    (void)msgctl(id, IPC_RMID, nullptr);
    return 0;
}

LC_API int32_t IpcSemaphore_Init(int32_t key)
{
    return semget(key, 1, IPC_CREAT | SEM_MODE);
}

LC_API int32_t IpcSemaphore_SetValue(int32_t id, uint32_t value)
{
    union semun arg;
    arg.val = static_cast<int>(value);
    if (semctl(id, 0, SETVAL, arg) != 0) {
        perror("Sem init");
        return -1;
    }
    return 0;
}

LC_API int32_t IpcSemaPhore_Wait(int32_t id)
{
    return sem_step(id, -1, "Sem Wait operation");
}

LC_API int32_t IpcSemaPhore_Post(int32_t id)
{
    return sem_step(id, 1, "Sem Post operation");
}

LC_API int32_t IpcSemaphore_kill(int32_t id)
{
    if (semctl(id, 0, IPC_RMID) != 0) {
        perror("Sem kill");
        return -1;
    }
    return 0;
}

LC_API int32_t IpcShareMemInit(int32_t key, uint32_t size)
{
    int id = shmget(key, size, IPC_CREAT | SHM_MODE);
    if (id < 0)
        id = shmget(key, 0, 0);
    if (id < 0)
        return -1;
    /* Kept attached for the life of the process; the address is not used. */
    (void)shmat(id, nullptr, 0);
    return id;
}

LC_API int32_t IpcShareMemDestroy(int32_t id)
{
    (void)shmctl(id, IPC_RMID, nullptr);
    return 0;
}

LC_API int32_t IpcShareMemRead(int32_t id, int32_t offset, void *dst, int32_t length)
{
    void *base = attach_range(id, offset, dst, length);
    if (base == nullptr)
        return -1;
    memcpy(dst, static_cast<char *>(base) + offset, static_cast<size_t>(length));
    return shmdt(base);
}

LC_API int32_t IpcShareMemWrite(int32_t id, int32_t offset, const void *src, int32_t length)
{
    void *base = attach_range(id, offset, src, length);
    if (base == nullptr)
        return -1;
    memcpy(static_cast<char *>(base) + offset, src, static_cast<size_t>(length));
    return shmdt(base);
}

}  // extern "C"
