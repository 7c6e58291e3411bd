/* ipc_peer serve|call KEY - two processes of the board exchange data through the System V IPC wrappers of all three
   kinds, named by one key; whoever starts first creates each object.  The caller writes a text into the shared
   memory, posts the semaphore and sends 41; the server takes the semaphore (so reads only a finished text) and
   answers 42 and that text; the caller checks it and removes the objects.  Status 0: a right exchange. */
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

static int serve(int32_t queue, int32_t sem, int32_t shm)
{
    struct message m;
    if (IpcMsgRecv(queue, REQUEST, &m, (int32_t)sizeof m) < 0 || IpcSemaPhore_Wait(sem) != 0 ||
        IpcShareMemRead(shm, TEXT_AT, m.text, TEXT_SIZE) != 0)
        return 1;
    m.text[TEXT_SIZE - 1] = '\0';
    printf("serve %ld: request %d, shared memory '%s'\n", (long)getpid(), (int)m.number, m.text);
    m.type = ANSWER;
    m.number++;
    return IpcMsgSend(queue, &m, (int32_t)sizeof m) == 0 ? 0 : 1;
}

static int call(int32_t queue, int32_t sem, int32_t shm)
{
    char text[TEXT_SIZE] = {0};
    struct message m = {REQUEST, 41, {0}};
    snprintf(text, sizeof text, "frame from %ld", (long)getpid());
    int ok = IpcShareMemWrite(shm, TEXT_AT, text, TEXT_SIZE) == 0 && IpcSemaPhore_Post(sem) == 0 &&
             IpcMsgSendRecv(queue, ANSWER, &m, (int32_t)sizeof m) >= 0;
    m.text[TEXT_SIZE - 1] = '\0';
    printf("call %ld: answer %d, '%s'\n", (long)getpid(), (int)m.number, m.text);
    IpcMsgKill(queue);
    IpcSemaphore_kill(sem);
    IpcShareMemDestroy(shm);
    return ok && m.number == 42 && strcmp(m.text, text) == 0 ? 0 : 1;
}

int main(int argc, char **argv)
{
    int serving = argc == 3 && strcmp(argv[1], "serve") == 0;
    if (argc != 3 || (!serving && strcmp(argv[1], "call") != 0)) {
        fprintf(stderr, "usage: ipc_peer serve|call KEY\n");
        return 2;
    }
    int32_t key = (int32_t)strtol(argv[2], NULL, 0);
    int32_t queue = IpcMsgInit(key), sem = IpcSemaphore_Init(key), shm = IpcShareMemInit(key, SHM_SIZE);
    if (queue < 0 || sem < 0 || shm < 0) {
        perror("ipc_peer: open");
        return 1;
    }
    return serving ? serve(queue, sem, shm) : call(queue, sem, shm);
}
