/*
 * ipc_peer - two processes of the board exchange data through the System V
 * IPC wrappers, all three kinds, named by one key:
 *
 *   ipc_peer serve KEY   waits for a request, answers it, exits
 *   ipc_peer call KEY    writes a text into the shared memory, posts the
 *                        semaphore, sends a request (a number), waits for
 *                        the answer, checks it and removes the objects
 *
 * The server takes the semaphore before it reads the shared memory, so it
 * reads only what the caller finished writing, and answers with the number
 * plus one and the text it read.  Either may start first: every object is
 * opened or created by whoever comes first.  Exit status 0 when the
 * exchange was right.
 */
#include <lib_common/lib_common.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { SHM_SIZE = 4096, TEXT_AT = 128, TEXT_SIZE = 64, REQUEST = 1, ANSWER = 2 };

/* A message: the type field (a long: 32 bits here), then the payload. */
struct message {
    long type;
    int32_t number;
    char text[TEXT_SIZE];
};

struct objects {
    int32_t queue, sem, shm;
};

static int open_objects(int32_t key, struct objects *o)
{
    o->queue = IpcMsgInit(key);
    o->sem = IpcSemaphore_Init(key);
    o->shm = IpcShareMemInit(key, SHM_SIZE);
    if (o->queue < 0 || o->sem < 0 || o->shm < 0) {
        perror("ipc_peer: open");
        return -1;
    }
    return 0;
}

static int serve(const struct objects *o)
{
    struct message m;
    if (IpcMsgRecv(o->queue, REQUEST, &m, (int32_t)sizeof m) < 0 || IpcSemaPhore_Wait(o->sem) != 0)
        return 1;
    char text[TEXT_SIZE];
    if (IpcShareMemRead(o->shm, TEXT_AT, text, TEXT_SIZE) != 0)
        return 1;
    text[TEXT_SIZE - 1] = '\0';
    printf("serve %ld: request %d, shared memory '%s'\n", (long)getpid(), (int)m.number, text);
    m.type = ANSWER;
    m.number++;
    memcpy(m.text, text, TEXT_SIZE);
    return IpcMsgSend(o->queue, &m, (int32_t)sizeof m) == 0 ? 0 : 1;
}

static int call(const struct objects *o)
{
    char text[TEXT_SIZE] = {0};
    snprintf(text, sizeof text, "frame from %ld", (long)getpid());
    struct message m = {REQUEST, 41, {0}};
    int ok = IpcShareMemWrite(o->shm, TEXT_AT, text, TEXT_SIZE) == 0 && IpcSemaPhore_Post(o->sem) == 0 &&
             IpcMsgSendRecv(o->queue, ANSWER, &m, (int32_t)sizeof m) >= 0;
    m.text[TEXT_SIZE - 1] = '\0';
    if (ok)
        printf("call %ld: answer %d, '%s'\n", (long)getpid(), (int)m.number, m.text);
    ok = ok && m.number == 42 && strcmp(m.text, text) == 0;
    IpcMsgKill(o->queue);
    IpcSemaphore_kill(o->sem);
    IpcShareMemDestroy(o->shm);
    return ok ? 0 : 1;
}

int main(int argc, char **argv)
{
    struct objects o;
    if (argc != 3 || (strcmp(argv[1], "serve") != 0 && strcmp(argv[1], "call") != 0)) {
        fprintf(stderr, "usage: ipc_peer serve|call KEY\n");
        return 2;
    }
    if (open_objects((int32_t)strtol(argv[2], NULL, 0), &o) != 0)
        return 1;
    return strcmp(argv[1], "serve") == 0 ? serve(&o) : call(&o);
}
