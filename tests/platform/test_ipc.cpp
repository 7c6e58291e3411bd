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

#include <regex>
#include <string>

// The test process's id, kept by the children too.
static const pid_t test_pid = getpid();
static int32_t key(int n) { return static_cast<int32_t>(0x40000000 | (test_pid & 0x3fffff) << 4 | n); }

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
        for (int i = 0, id; i < 4; i++) {
            if ((id = msgget(key(i), 0)) >= 0)
                msgctl(id, IPC_RMID, nullptr);
            if ((id = semget(key(i), 0, 0)) >= 0)
                semctl(id, 0, IPC_RMID);
            if ((id = shmget(key(i), 0, 0)) >= 0)
                shmctl(id, IPC_RMID, nullptr);
        }
    }
    // Runs fn in a child process; returns (later) fn's result as exit code.
    template <typename Fn> void start_child(Fn fn)
    {
        if ((child_ = fork()) == 0)
            _exit(fn());
    }
    int child_result()
    {
        int status = 0;
        waitpid(child_, &status, 0);
        child_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
    }
    pid_t child_ = 0;
};

TEST_F(Ipc, MessagesBetweenProcessesByTypeAndSizeChecks)
{
    const int32_t id = IpcMsgInit(key(0));
    ASSERT_GE(id, 0);
    start_child([id] {
        Msg m = {};
        if (IpcMsgInit(key(0)) != id || IpcMsgRecv(id, 1, &m, sizeof m) != 64)
            return 1;
        m.type = 2;
        strcat(m.text, "+pong");
        return IpcMsgSend(id, &m, sizeof m) == 0 && IpcMsgSend(id, &m, sizeof(long)) == 0 ? 0 : 2;
    });
    Msg m = {1, "ping"};
    EXPECT_EQ(IpcMsgSendRecv(id, 2, &m, sizeof m), 64);
    EXPECT_STREQ(m.text, "ping+pong");
    EXPECT_EQ(IpcMsgRecv(id, 2, &m, sizeof m), 0);  // only the type field: empty
    EXPECT_EQ(child_result(), 0);

    // A message longer than the receiving buffer: refused, buffer intact.
    char small[sizeof(long) + 16];
    memset(small, '#', sizeof small);
    ASSERT_EQ(IpcMsgSend(id, &m, sizeof m), 0);
    EXPECT_EQ(IpcMsgRecv(id, 2, small, sizeof(long) + 8), -1);
    EXPECT_EQ(errno, E2BIG);
    EXPECT_EQ(std::string(small + sizeof(long) + 8, 8), "########");
    EXPECT_EQ(IpcMsgRecv(id, 2, small, sizeof(long) - 1), -1);  // no room for the type
    // A failed send returns at once; no reply of type 9 is waited for.
    static char huge[sizeof(long) + 1024 * 1024];
    alarm(20);
    EXPECT_EQ(IpcMsgSendRecv(id, 9, huge, sizeof huge), -1);
    alarm(0);

    // An existing queue is opened as it is.
    const int32_t mine = msgget(key(1), IPC_CREAT | 0600);
    struct msqid_ds ds;
    EXPECT_EQ(IpcMsgInit(key(1)), mine);
    EXPECT_TRUE(msgctl(mine, IPC_STAT, &ds) == 0 && (ds.msg_perm.mode & 0777) == 0600);
    EXPECT_EQ(IpcMsgKill(id), 0);
    EXPECT_EQ(IpcMsgKill(id), 0);  // unknown now: still 0
    EXPECT_EQ(IpcMsgSend(id, &m, sizeof m), -1);
}

TEST_F(Ipc, SemaphoreWaitBlocksUntilAnotherProcessPosts)
{
    const int32_t sid = IpcSemaphore_Init(key(2));
    ASSERT_EQ(IpcSemaphore_SetValue(sid, 0), 0);
    start_child([sid] { return IpcSemaphore_Init(key(2)) == sid && IpcSemaPhore_Wait(sid) == 0 ? 0 : 1; });
    EXPECT_TRUE(lc_test::wait_until([&] { return semctl(sid, 0, GETNCNT) == 1; })) << "child waits";
    EXPECT_EQ(IpcSemaPhore_Post(sid), 0);
    EXPECT_EQ(child_result(), 0);
    EXPECT_EQ(semctl(sid, 0, GETVAL), 1);  // SEM_UNDO gave the child's take back
    EXPECT_EQ(IpcSemaphore_kill(sid), 0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(IpcSemaphore_SetValue(sid, 1) + IpcSemaPhore_Wait(sid) + IpcSemaPhore_Post(sid) +
                  IpcSemaphore_kill(sid), -4);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(err, std::regex("Sem init: .*\nSem Wait operation: .*\n"
                                                 "Sem Post operation: .*\nSem kill: .*\n"))) << err;
}

TEST_F(Ipc, SharedMemoryAtOffsetsBetweenTwoProcesses)
{
    const int32_t shm = IpcShareMemInit(key(3), 4096);
    ASSERT_GE(shm, 0);
    // The child's end is the hand-over: a semaphore posted with SEM_UNDO
    // would be taken back when the child exits.
    start_child([shm] {
        bool ok = IpcShareMemInit(key(3), 4096) == shm && IpcShareMemWrite(shm, 100, "hello", 5) == 0 &&
                  IpcShareMemWrite(shm, 4090, "ABCDEF", 6) == 0;
        return ok ? 0 : 1;
    });
    ASSERT_EQ(child_result(), 0);
    char buf[8] = {};
    EXPECT_EQ(IpcShareMemRead(shm, 100, buf, 5), 0);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(IpcShareMemRead(shm, 4090, buf, 6), 0);
    EXPECT_STREQ(buf, "ABCDEF");
    EXPECT_EQ(IpcShareMemInit(key(3), 8192), shm);  // the existing, smaller segment

    // Outside the segment, or no buffer: refused, nothing copied.
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(IpcShareMemRead(shm, 4093, buf, 4), -1);
    EXPECT_EQ(IpcShareMemRead(shm, -1, buf, 4), -1);
    EXPECT_EQ(IpcShareMemWrite(shm, 2147483647, "x", 1), -1);
    EXPECT_EQ(IpcShareMemRead(shm, 0, nullptr, 4), -1);
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(IpcShareMemDestroy(shm), 0);
    EXPECT_EQ(shmget(key(3), 0, 0), -1);
    EXPECT_EQ(IpcShareMemRead(-1, 0, buf, 4), -1);
    EXPECT_EQ(IpcShareMemDestroy(-1), 0);
}
