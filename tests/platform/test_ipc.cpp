// System V IPC wrappers between two real processes.  Keys are derived from
// the test process's id, so parallel runs do not meet; every object made
// under a test key is removed afterwards, also when the test fails.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

enum { KEYS = 8 };

static int32_t test_key(int n)
{
    return static_cast<int32_t>(0x40000000u | ((static_cast<uint32_t>(getpid()) & 0x3fffffu) << 4) |
                                static_cast<uint32_t>(n));
}

// Removes whatever queue, semaphore set or segment a key names.
static void remove_key(int32_t key)
{
    int id = msgget(key, 0);
    if (id >= 0)
        msgctl(id, IPC_RMID, nullptr);
    id = semget(key, 0, 0);
    if (id >= 0)
        semctl(id, 0, IPC_RMID);
    id = shmget(key, 0, 0);
    if (id >= 0)
        shmctl(id, IPC_RMID, nullptr);
}

struct Msg {
    long type;
    char text[64];
};

class Ipc : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 0; i < KEYS; i++)
            remove_key(test_key(i));  // left by an earlier process with this id
    }
    void TearDown() override
    {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        for (int i = 0; i < KEYS; i++)
            remove_key(test_key(i));
    }
    // Starts fn in a child whose exit code is fn's result.
    template <typename Fn> void start_child(Fn fn)
    {
        fflush(stdout);
        fflush(stderr);
        child_ = fork();
        ASSERT_GE(child_, 0);
        if (child_ == 0)
            _exit(fn());
    }
    int child_exit_code()
    {
        int status = 0;
        if (waitpid(child_, &status, 0) != child_)
            return -1;
        child_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid_t child_ = 0;
};

TEST_F(Ipc, ProcessesExchangeMessagesByType)
{
    const int32_t key = test_key(0);
    const int32_t id = IpcMsgInit(key);
    ASSERT_GE(id, 0);
    start_child([key, id] {
        int32_t cid = IpcMsgInit(key);
        if (cid != id)
            return 1;
        Msg m = {};
        if (IpcMsgRecv(cid, 1, &m, sizeof m) != static_cast<int32_t>(sizeof m.text))
            return 2;
        std::string reply = std::string("pong:") + m.text;
        m.type = 2;
        snprintf(m.text, sizeof m.text, "%s", reply.c_str());
        if (IpcMsgSend(cid, &m, sizeof m) != 0)
            return 3;
        // A buffer of only the type field carries an empty message.
        int32_t got = IpcMsgRecv(cid, 3, &m, sizeof m);
        m.type = 4;
        snprintf(m.text, sizeof m.text, "%d", got);
        return IpcMsgSend(cid, &m, sizeof m) == 0 ? 0 : 4;
    });

    Msg m = {};
    m.type = 1;
    strcpy(m.text, "ping");
    EXPECT_EQ(IpcMsgSendRecv(id, 2, &m, sizeof m), static_cast<int32_t>(sizeof m.text));
    EXPECT_EQ(m.type, 2);
    EXPECT_STREQ(m.text, "pong:ping");

    Msg empty = {};
    empty.type = 3;
    EXPECT_EQ(IpcMsgSend(id, &empty, sizeof(long)), 0);
    EXPECT_EQ(IpcMsgRecv(id, 4, &m, sizeof m), static_cast<int32_t>(sizeof m.text));
    EXPECT_STREQ(m.text, "0");
    EXPECT_EQ(child_exit_code(), 0);
    EXPECT_EQ(IpcMsgKill(id), 0);
    EXPECT_EQ(msgget(key, 0), -1) << "the queue is gone";
}

TEST_F(Ipc, QueueOpenKeepsItsModeAndBadBuffersAreRefused)
{
    const int32_t mine = msgget(test_key(1), IPC_CREAT | 0600);
    ASSERT_GE(mine, 0);
    EXPECT_EQ(IpcMsgInit(test_key(1)), mine);
    struct msqid_ds ds;
    ASSERT_EQ(msgctl(mine, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_perm.mode & 0777, 0600u);
    const int32_t id = IpcMsgInit(test_key(2));
    ASSERT_GE(id, 0);
    ASSERT_EQ(msgctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_perm.mode & 0777, 0666u);

    // A message longer than the receiving buffer: refused, buffer intact.
    Msg big = {};
    big.type = 5;
    memset(big.text, 'm', sizeof big.text);
    ASSERT_EQ(IpcMsgSend(id, &big, sizeof big), 0);
    char small[sizeof(long) + 8 + 16];
    memset(small, '#', sizeof small);
    errno = 0;
    EXPECT_EQ(IpcMsgRecv(id, 5, small, sizeof(long) + 8), -1);
    EXPECT_EQ(errno, E2BIG);
    EXPECT_EQ(std::string(small + sizeof(long) + 8, 16), std::string(16, '#'));
    // Sizes that cannot hold the type field never reach the kernel.
    errno = 0;
    EXPECT_EQ(IpcMsgRecv(id, 5, small, static_cast<int32_t>(sizeof(long)) - 1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(IpcMsgRecv(id, 5, small, -4), -1);
    EXPECT_EQ(IpcMsgSend(id, nullptr, sizeof big), -1);
    EXPECT_EQ(IpcMsgRecv(id, 5, &big, sizeof big), static_cast<int32_t>(sizeof big.text));

    // A failed send returns at once: the reply is never waited for.
    alarm(20);
    static char huge[sizeof(long) + 1024 * 1024];
    EXPECT_EQ(IpcMsgSendRecv(id, 9, huge, sizeof huge), -1);
    EXPECT_EQ(IpcMsgSendRecv(id, 9, small, 2), -1);
    alarm(0);

    EXPECT_EQ(IpcMsgKill(id), 0);
    EXPECT_EQ(IpcMsgKill(id), 0);  // unknown now: still 0
    EXPECT_EQ(IpcMsgSend(id, &big, sizeof big), -1);
    EXPECT_EQ(IpcMsgRecv(id, 0, &big, sizeof big), -1);
}

TEST_F(Ipc, SemaphoreWaitBlocksUntilAnotherProcessPosts)
{
    const int32_t key = test_key(3);
    const int32_t sid = IpcSemaphore_Init(key);
    ASSERT_GE(sid, 0);
    ASSERT_EQ(IpcSemaphore_SetValue(sid, 0), 0);
    start_child([key, sid] {
        int32_t cid = IpcSemaphore_Init(key);
        if (cid != sid)
            return 1;
        return IpcSemaPhore_Wait(cid) == 0 ? 0 : 2;
    });
    EXPECT_TRUE(lc_test::wait_until([&] { return semctl(sid, 0, GETNCNT) == 1; }))
        << "the child waits on the semaphore";
    EXPECT_EQ(IpcSemaPhore_Post(sid), 0);
    EXPECT_EQ(child_exit_code(), 0);
    // SEM_UNDO: the child's take is given back when it exits.
    EXPECT_EQ(semctl(sid, 0, GETVAL), 1);
    EXPECT_EQ(IpcSemaPhore_Wait(sid), 0);
    EXPECT_EQ(semctl(sid, 0, GETVAL), 0);

    EXPECT_EQ(IpcSemaphore_kill(sid), 0);
    CaptureStderr();
    EXPECT_EQ(IpcSemaphore_SetValue(sid, 1), -1);
    EXPECT_EQ(IpcSemaPhore_Wait(sid), -1);
    EXPECT_EQ(IpcSemaPhore_Post(sid), -1);
    EXPECT_EQ(IpcSemaphore_kill(sid), -1);
    std::string err = GetCapturedStderr();
    size_t a = err.find("Sem init: ");
    size_t b = err.find("\nSem Wait operation: ");
    size_t c = err.find("\nSem Post operation: ");
    size_t d = err.find("\nSem kill: ");
    EXPECT_TRUE(a == 0 && a < b && b < c && c < d && d != std::string::npos) << err;
}

TEST_F(Ipc, SharedMemoryIsReadAndWrittenAtOffsetsByTwoProcesses)
{
    const int32_t key = test_key(4);
    const int32_t shm = IpcShareMemInit(key, 4096);
    ASSERT_GE(shm, 0);
    const int32_t sem = IpcSemaphore_Init(test_key(5));
    ASSERT_GE(sem, 0);
    ASSERT_EQ(IpcSemaphore_SetValue(sem, 0), 0);
    start_child([key, shm, sem] {
        int32_t cid = IpcShareMemInit(key, 4096);
        if (cid != shm)
            return 1;
        if (IpcShareMemWrite(cid, 100, "hello", 5) != 0 || IpcShareMemWrite(cid, 4090, "ABCDEF", 6) != 0)
            return 2;
        return IpcSemaPhore_Post(sem) == 0 ? 0 : 3;
    });
    ASSERT_EQ(IpcSemaPhore_Wait(sem), 0);
    char buf[16];
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(IpcShareMemRead(shm, 100, buf, 5), 0);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(IpcShareMemRead(shm, 4090, buf, 6), 0);
    EXPECT_EQ(std::string(buf, 6), "ABCDEF");
    EXPECT_EQ(child_exit_code(), 0);
    EXPECT_EQ(IpcShareMemWrite(shm, 0, "zz", 2), 0);
    EXPECT_EQ(IpcShareMemRead(shm, 0, buf, 3), 0);
    EXPECT_EQ(std::string(buf, 3), std::string("zz\0", 3));

    // A larger request opens the existing, smaller segment.
    EXPECT_EQ(IpcShareMemInit(key, 8192), shm);
    struct shmid_ds ds;
    ASSERT_EQ(shmctl(shm, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, 4096u);

    // Accesses outside the segment are refused and copy nothing.
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(IpcShareMemRead(shm, 4093, buf, 4), -1);
    EXPECT_EQ(IpcShareMemRead(shm, -1, buf, 4), -1);
    EXPECT_EQ(IpcShareMemRead(shm, 0, buf, -1), -1);
    EXPECT_EQ(IpcShareMemRead(shm, 0, nullptr, 4), -1);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(IpcShareMemWrite(shm, 4096, "x", 1), -1);
    EXPECT_EQ(IpcShareMemWrite(shm, 2147483647, "x", 1), -1);
    EXPECT_EQ(IpcShareMemRead(shm, 4096, buf, 0), 0);  // empty range at the end

    const int32_t gone = shmget(test_key(6), 4096, IPC_CREAT | 0600);
    ASSERT_GE(gone, 0);
    shmctl(gone, IPC_RMID, nullptr);
    EXPECT_EQ(IpcShareMemRead(gone, 0, buf, 4), -1);
    EXPECT_EQ(IpcShareMemWrite(gone, 0, "x", 1), -1);
    EXPECT_EQ(IpcShareMemDestroy(gone), 0);
    EXPECT_EQ(IpcShareMemDestroy(shm), 0);
    EXPECT_EQ(shmget(key, 0, 0), -1) << "the key is released at once";
}
