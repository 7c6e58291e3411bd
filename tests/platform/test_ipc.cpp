// System V IPC between two real processes.  Keys come from the test's pid (no parallel run meets them); their objects
// are removed around every test.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <regex>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

static const pid_t test_pid = getpid();  // kept by the children too
static auto key = [](int n) { return static_cast<int32_t>(0x40000000 | (test_pid & 0x3fffff) << 4 | n); };

class Ipc : public ::testing::Test {
protected:
    void SetUp() override
    {
        TearDown();
        id = IpcMsgInit(key(0)), sid = IpcSemaphore_Init(key(1)), shm = IpcShareMemInit(key(2), 4096);
        ASSERT_TRUE(id >= 0 && sid >= 0 && shm >= 0);
    }
    void TearDown() override  // on an object that is not there: a harmless EINVAL
    {
        msgctl(msgget(key(0), 0), IPC_RMID, nullptr);
        semctl(semget(key(1), 0, 0), 0, IPC_RMID);
        shmctl(shmget(key(2), 0, 0), IPC_RMID, nullptr);
    }
    int32_t id = -1, sid = -1, shm = -1;
};

// The child answers a message, then passes the semaphore gate and writes the shared segment: the hand-over is seen
// once it has exited.
TEST_F(Ipc, MessagesSemaphoreAndSharedMemoryBetweenProcesses)
{
    struct Msg {
        long type;
        char text[64];
    } m = {1, "ping"};
    ASSERT_EQ(IpcSemaphore_SetValue(sid, 0), 0);
    const pid_t child = fork();
    if (child == 0) {
        Msg got = {};
        bool ok = IpcMsgInit(key(0)) == id && IpcMsgRecv(id, 1, &got, sizeof got) == 64;
        got.type = 2;
        strcat(got.text, "+pong");
        ok = ok && IpcMsgSend(id, &got, sizeof got) == 0 && IpcMsgSend(id, &got, sizeof(long)) == 0;
        ok = ok && IpcSemaphore_Init(key(1)) == sid && IpcSemaPhore_Wait(sid) == 0;
        ok = ok && IpcShareMemInit(key(2), 4096) == shm && IpcShareMemWrite(shm, 100, "hello", 5) == 0;
        _exit(ok && IpcShareMemWrite(shm, 4090, "ABCDEF", 6) == 0 ? 0 : 1);
    }
    EXPECT_EQ(IpcMsgSendRecv(id, 2, &m, sizeof m), 64);
    EXPECT_STREQ(m.text, "ping+pong");
    EXPECT_EQ(IpcMsgRecv(id, 2, &m, sizeof m), 0);  // only the type field: empty
    EXPECT_TRUE(lc_test::wait_until([&] { return semctl(sid, 0, GETNCNT) == 1; })) << "child waits";
    EXPECT_EQ(IpcSemaPhore_Post(sid), 0);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(semctl(sid, 0, GETVAL), 1);  // SEM_UNDO gave the child's take back
    char buf[12] = {};
    EXPECT_EQ(IpcShareMemRead(shm, 100, buf, 5) + IpcShareMemRead(shm, 4090, buf + 5, 6), 0);
    EXPECT_STREQ(buf, "helloABCDEF");
    EXPECT_EQ(IpcShareMemWrite(shm, 4095, "Z", 1) + IpcShareMemRead(shm, 4094, buf, 2), 0);
    EXPECT_EQ(std::string(buf, 2), "EZ");
    EXPECT_EQ(IpcShareMemInit(key(2), 8192), shm);  // the existing, smaller segment
}

// A message 4 bytes longer than the receiving buffer, outside the segment, no buffer, unknown ids: refused, nothing
// copied; the semaphore calls say why on stderr.
TEST_F(Ipc, BadSizesAndIdsAreRefusedAndNothingCopied)
{
    long m[1 + 64 / sizeof(long)] = {2};  // type 2, 64 bytes of text
    char small[sizeof(long) + 16], buf[8];
    memset(small, '#', sizeof small), memset(buf, '#', sizeof buf);
    ASSERT_EQ(IpcMsgSend(id, &m, sizeof(long) + 12), 0);
    EXPECT_EQ(IpcMsgRecv(id, 2, small, sizeof(long) + 8), -1);
    EXPECT_EQ(errno, E2BIG);
    EXPECT_EQ(std::string(small + sizeof(long) + 8, 8), "########");
    EXPECT_EQ(IpcMsgKill(id) + IpcShareMemDestroy(shm) + IpcSemaphore_kill(sid), 0);
    EXPECT_EQ(shmget(key(2), 0, 0), -1);
    testing::internal::CaptureStderr();
    for (int32_t r :
         {IpcMsgRecv(id, 2, small, sizeof(long) - 1), IpcMsgSend(id, small, sizeof(long) - 1),
          IpcMsgSendRecv(id, 2, small, sizeof(long) - 1), IpcMsgSend(id, nullptr, sizeof(long)),
          IpcShareMemInit(IPC_PRIVATE, 0), IpcMsgSend(id, &m, sizeof m), IpcShareMemRead(shm, 4093, buf, 4),
          IpcShareMemRead(shm, -1, buf, 4), IpcShareMemWrite(shm, 2147483647, "x", 1),
          IpcShareMemRead(shm, 0, nullptr, 4), IpcShareMemRead(-1, 0, buf, 4), IpcSemaphore_SetValue(sid, 1),
          IpcSemaPhore_Wait(sid), IpcSemaPhore_Post(sid), IpcSemaphore_kill(sid)})
        EXPECT_EQ(r, -1);
    EXPECT_EQ(buf[0], '#');
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(
        err, std::regex("Sem init: .*\nSem Wait operation: .*\nSem Post operation: .*\nSem kill: .*\n")))
        << err;
}
