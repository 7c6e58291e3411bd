// System V IPC wrappers between two real processes.  Keys come from the
// test process's id, so parallel runs never meet; every object under a test
// key is removed before and after each test, also when it fails.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

static int32_t test_key(int n)
{
    return static_cast<int32_t>(0x40000000u | (static_cast<uint32_t>(getpid()) & 0x3fffffu) << 4 | n);
}

struct Msg {
    long type;
    char text[64];
};

class Ipc : public ::testing::Test {
protected:
    void SetUp() override { remove_all(); }
    void TearDown() override
    {
        if (child_ > 0)
            kill(child_, SIGKILL), waitpid(child_, nullptr, 0);
        remove_all();
    }
    static void remove_all()
    {
        for (int i = 0; i < 8; i++) {
            int32_t key = test_key(i), id;
            if ((id = msgget(key, 0)) >= 0)
                msgctl(id, IPC_RMID, nullptr);
            if ((id = semget(key, 0, 0)) >= 0)
                semctl(id, 0, IPC_RMID);
            if ((id = shmget(key, 0, 0)) >= 0)
                shmctl(id, IPC_RMID, nullptr);
        }
    }
    // Runs fn in a child process; its result is the exit code.
    template <typename Fn> void start_child(Fn fn)
    {
        fflush(stdout);
        if ((child_ = fork()) == 0)
            _exit(fn());
    }
    int child_exit_code()
    {
        int status = 0;
        waitpid(child_, &status, 0);
        child_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
    }
    pid_t child_ = 0;
};

TEST_F(Ipc, ProcessesExchangeMessagesByType)
{
    const int32_t key = test_key(0), id = IpcMsgInit(key);
    ASSERT_GE(id, 0);
    start_child([key, id] {
        Msg m = {};
        if (IpcMsgInit(key) != id || IpcMsgRecv(id, 1, &m, sizeof m) != 64)
            return 1;
        std::string reply = std::string("pong:") + m.text;
        m.type = 2;
        strcpy(m.text, reply.c_str());
        // A buffer of only the type field carries an empty message.
        if (IpcMsgSend(id, &m, sizeof m) != 0 || IpcMsgRecv(id, 3, &m, sizeof m) != 0)
            return 2;
        return IpcMsgSend(id, &m, sizeof(long)) == 0 ? 0 : 3;  // type still 3
    });
    Msg m = {1, "ping"};
    EXPECT_EQ(IpcMsgSendRecv(id, 2, &m, sizeof m), 64);
    EXPECT_EQ(m.type, 2);
    EXPECT_STREQ(m.text, "pong:ping");
    Msg empty = {3, ""};
    EXPECT_EQ(IpcMsgSend(id, &empty, sizeof(long)), 0);
    EXPECT_EQ(child_exit_code(), 0);
    EXPECT_EQ(IpcMsgRecv(id, 3, &m, sizeof m), 0);
    EXPECT_EQ(IpcMsgKill(id), 0);
    EXPECT_EQ(msgget(key, 0), -1);
    EXPECT_EQ(IpcMsgKill(id), 0);  // unknown now: still 0
    EXPECT_EQ(IpcMsgSend(id, &m, sizeof m), -1);
}

TEST_F(Ipc, QueueOpenKeepsItsModeAndBadBuffersAreRefused)
{
    const int32_t mine = msgget(test_key(1), IPC_CREAT | 0600), id = IpcMsgInit(test_key(2));
    struct msqid_ds ds;
    EXPECT_EQ(IpcMsgInit(test_key(1)), mine);
    ASSERT_EQ(msgctl(mine, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_perm.mode & 0777, 0600u);
    ASSERT_EQ(msgctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_perm.mode & 0777, 0666u);

    // A message longer than the receiving buffer: refused, buffer intact.
    Msg big = {5, ""};
    memset(big.text, 'm', sizeof big.text);
    ASSERT_EQ(IpcMsgSend(id, &big, sizeof big), 0);
    char small[sizeof(long) + 8 + 8];
    memset(small, '#', sizeof small);
    EXPECT_EQ(IpcMsgRecv(id, 5, small, sizeof(long) + 8), -1);
    EXPECT_EQ(errno, E2BIG);
    EXPECT_EQ(std::string(small + sizeof(long) + 8, 8), "########");
    EXPECT_EQ(IpcMsgRecv(id, 5, small, sizeof(long) - 1), -1);  // no room for the type
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(IpcMsgSend(id, nullptr, sizeof big), -1);
    // A failed send returns at once; no reply of type 9 is ever waited for.
    alarm(20);
    static char huge[sizeof(long) + 1024 * 1024];
    EXPECT_EQ(IpcMsgSendRecv(id, 9, huge, sizeof huge), -1);
    alarm(0);
}

TEST_F(Ipc, SemaphoreWaitBlocksUntilAnotherProcessPosts)
{
    const int32_t key = test_key(3), sid = IpcSemaphore_Init(key);
    ASSERT_EQ(IpcSemaphore_SetValue(sid, 0), 0);
    start_child([key, sid] { return IpcSemaphore_Init(key) == sid && IpcSemaPhore_Wait(sid) == 0 ? 0 : 1; });
    EXPECT_TRUE(lc_test::wait_until([&] { return semctl(sid, 0, GETNCNT) == 1; })) << "child waits";
    EXPECT_EQ(IpcSemaPhore_Post(sid), 0);
    EXPECT_EQ(child_exit_code(), 0);
    EXPECT_EQ(semctl(sid, 0, GETVAL), 1);  // SEM_UNDO: the child's take was given back
    EXPECT_EQ(IpcSemaPhore_Wait(sid), 0);
    EXPECT_EQ(IpcSemaphore_kill(sid), 0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(IpcSemaphore_SetValue(sid, 1), -1);
    EXPECT_EQ(IpcSemaPhore_Wait(sid), -1);
    EXPECT_EQ(IpcSemaPhore_Post(sid), -1);
    EXPECT_EQ(IpcSemaphore_kill(sid), -1);
    std::string err = testing::internal::GetCapturedStderr();
    size_t at[] = {err.find("Sem init: "), err.find("\nSem Wait operation: "),
                   err.find("\nSem Post operation: "), err.find("\nSem kill: "), std::string::npos};
    EXPECT_TRUE(at[0] == 0 && at[1] > at[0] && at[2] > at[1] && at[3] > at[2] && at[4] > at[3]) << err;
}

TEST_F(Ipc, SharedMemoryAtOffsetsBetweenTwoProcesses)
{
    const int32_t key = test_key(4), shm = IpcShareMemInit(key, 4096), sem = IpcSemaphore_Init(test_key(5));
    ASSERT_GE(shm, 0);
    ASSERT_EQ(IpcSemaphore_SetValue(sem, 0), 0);
    start_child([key, shm, sem] {
        bool ok = IpcShareMemInit(key, 4096) == shm && IpcShareMemWrite(shm, 100, "hello", 5) == 0 &&
                  IpcShareMemWrite(shm, 4090, "ABCDEF", 6) == 0;
        return IpcSemaPhore_Post(sem) == 0 && ok ? 0 : 1;
    });
    ASSERT_EQ(IpcSemaPhore_Wait(sem), 0);
    char buf[8] = {};
    EXPECT_EQ(IpcShareMemRead(shm, 100, buf, 5), 0);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(IpcShareMemRead(shm, 4090, buf, 6), 0);
    EXPECT_STREQ(buf, "ABCDEF");
    EXPECT_EQ(child_exit_code(), 0);
    EXPECT_EQ(IpcShareMemInit(key, 8192), shm);  // the existing, smaller segment

    // Outside the segment: refused, nothing copied.
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(IpcShareMemRead(shm, 4093, buf, 4), -1);
    EXPECT_EQ(IpcShareMemRead(shm, -1, buf, 4), -1);
    EXPECT_EQ(IpcShareMemRead(shm, 0, buf, -1), -1);
    EXPECT_EQ(IpcShareMemWrite(shm, 2147483647, "x", 1), -1);
    EXPECT_EQ(IpcShareMemRead(shm, 0, nullptr, 4), -1);
    EXPECT_EQ(buf[0], '#');
    const int32_t gone = shmget(test_key(6), 4096, IPC_CREAT | 0600);
    shmctl(gone, IPC_RMID, nullptr);
    EXPECT_EQ(IpcShareMemRead(gone, 0, buf, 4), -1);
    EXPECT_EQ(IpcShareMemDestroy(gone), 0);
    EXPECT_EQ(IpcShareMemDestroy(shm), 0);
    EXPECT_EQ(shmget(key, 0, 0), -1);
}
