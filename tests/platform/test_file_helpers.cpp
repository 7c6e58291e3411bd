// File helpers on real files: path joining, whole-file reads and writes
// under flock (also against a second process), and shared mappings.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class Files : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/lc_files_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf " + dir_;
        if (system(cmd.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << dir_;
    }
    std::string path(const char *name) const { return dir_ + "/" + name; }
    static void put(const std::string &p, const std::string &text)
    {
        ASSERT_EQ(write_file(p.c_str(), text.data(), static_cast<uint32_t>(text.size())), 0);
    }
    static off_t size_of(const std::string &p)
    {
        struct stat st;
        return stat(p.c_str(), &st) == 0 ? st.st_size : -1;
    }
    std::string dir_;
};

TEST(CatFileName, JoinsWithOneSlashAndNeverPassesDstsize)
{
    struct {
        const char *dir, *name, *out;
    } cases[] = {{"/tmp", "a.txt", "/tmp/a.txt"}, {"/tmp/", "a.txt", "/tmp/a.txt"},
                 {nullptr, "a.txt", "a.txt"},     {"/tmp", nullptr, "/tmp/"},
                 {"", "a.txt", "a.txt"},          {nullptr, nullptr, ""},
                 {"/", "x", "/x"}};
    for (const auto &c : cases) {
        char dst[32];
        memset(dst, '#', sizeof dst);
        cat_file_name(dst, 20, c.dir, c.name);
        EXPECT_STREQ(dst, c.out);
        EXPECT_EQ(std::string(dst + 20, 12), std::string(12, '#'));
    }
    // "/tmp/a.txt" needs 11 bytes: with 10 the result is empty, not cut.
    char dst[16];
    memset(dst, '#', sizeof dst);
    cat_file_name(dst, 11, "/tmp", "a.txt");
    EXPECT_STREQ(dst, "/tmp/a.txt");
    memset(dst, '#', sizeof dst);
    cat_file_name(dst, 10, "/tmp", "a.txt");
    EXPECT_EQ(std::string(dst, 10), std::string(10, '\0'));
    EXPECT_EQ(dst[10], '#');
    memset(dst, '#', sizeof dst);
    cat_file_name(dst, 5, "/tmp", nullptr);  // the slash does not fit
    EXPECT_EQ(std::string(dst, 5), std::string(5, '\0'));
    cat_file_name(dst, 0, "/tmp", "a");
    EXPECT_EQ(dst[0], '\0');
    cat_file_name(nullptr, 10, "/tmp", "a");
}

TEST_F(Files, ReadWholeFilesAndFixedBlocks)
{
    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 6;
    const std::string text("line one\nline\0two\n", 18);
    put(path("a"), text);
    char *whole = read_file_to_buf(path("a").c_str());
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(std::string(whole, 18), text);
    EXPECT_EQ(whole[18], '\0');
    free(whole);
    EXPECT_TRUE(capture.contains("[lib read_file_to_buf +"));
    EXPECT_TRUE(capture.contains("]" + path("a") + "\n"));

    put(path("empty"), "");
    char *empty = read_file_to_buf(path("empty").c_str());
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], '\0');
    free(empty);

    capture.clear();
    EXPECT_EQ(read_file_to_buf(path("missing").c_str()), nullptr);
    EXPECT_TRUE(capture.contains("]" + path("missing") + " does not exist\n\n"));
    EXPECT_EQ(read_file_to_buf(nullptr), nullptr);

    // A fixed block: the start of the file, zeros past a shorter file.
    capture.clear();
    char *block = static_cast<char *>(read_file_fixbytes_to_buf(path("a").c_str(), 4));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::string(block, 4), "line");
    free(block);
    EXPECT_TRUE(capture.contains("[lib read_file_fixbytes_to_buf +"));
    block = static_cast<char *>(read_file_fixbytes_to_buf(path("a").c_str(), 24));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::string(block, 24), text + std::string(6, '\0'));
    free(block);
    EXPECT_EQ(read_file_fixbytes_to_buf(path("missing").c_str(), 4), nullptr);
    EXPECT_EQ(read_file_fixbytes_to_buf(nullptr, 4), nullptr);
}

TEST_F(Files, ReadIntoCallerBufferNeedsOneByteMore)
{
    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 6;
    put(path("f"), "0123456789");
    char buf[16];
    int32_t len = -1;
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(read_file2(path("f").c_str(), &len, buf, 10), -1);
    EXPECT_EQ(len, 10);  // the size it needs, although the read is refused
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(read_file2(path("f").c_str(), &len, nullptr, 0), -1);
    EXPECT_EQ(len, 10);

    len = -1;
    EXPECT_EQ(read_file2(path("f").c_str(), &len, buf, 11), 0);
    EXPECT_EQ(len, 10);
    EXPECT_EQ(std::string(buf, 11), "0123456789#");  // no terminator

    len = 77;
    EXPECT_EQ(read_file2(path("missing").c_str(), &len, buf, 16), -1);
    EXPECT_EQ(len, 77);
    EXPECT_TRUE(capture.contains("[lib read_file2 +"));
    EXPECT_TRUE(capture.contains("]" + path("missing") + " does not exist\n\n"));
    EXPECT_EQ(read_file2(nullptr, &len, buf, 16), -1);
    EXPECT_EQ(read_file2(path("f").c_str(), nullptr, buf, 16), -1);
}

TEST_F(Files, WriteReplacesTheWholeContent)
{
    const std::string p = path("w");
    put(p, std::string(100, 'x'));
    put(p, "short");
    EXPECT_EQ(size_of(p), 5);
    char *back = read_file_to_buf(p.c_str());
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back, "short");
    free(back);

    EXPECT_EQ(write_file(p.c_str(), "", 0), 0);
    EXPECT_EQ(size_of(p), 0);
    EXPECT_EQ(write_file(p.c_str(), nullptr, 0), 0);

    put(p, "keep");
    EXPECT_EQ(write_file(p.c_str(), nullptr, 4), -1);  // nothing touched
    EXPECT_EQ(size_of(p), 4);
    EXPECT_EQ(write_file(path("no/such/dir").c_str(), "x", 1), -1);
    EXPECT_EQ(write_file(nullptr, "x", 1), -1);

    FILE *f = fopen(p.c_str(), "a");
    ASSERT_NE(f, nullptr);
    fputs("more", f);
    fflush(f);
    lib_fsync_for_FILE(f);
    fclose(f);
    EXPECT_EQ(size_of(p), 8);
    lib_fsync_for_FILE(nullptr);
}

TEST_F(Files, AWaitingWriterDoesNotEmptyTheFileUnderALock)
{
    const std::string p = path("locked");
    put(p, "old content");
    int fd = open(p.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);  // as a reader in the middle of a read
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(write_file(p.c_str(), "new", 3) == 0 ? 0 : 1);
    // The writer is blocked on the lock by now (or soon): the file is whole.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(size_of(p), 11);
    flock(fd, LOCK_UN);
    close(fd);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    char *now = read_file_to_buf(p.c_str());
    ASSERT_NE(now, nullptr);
    EXPECT_STREQ(now, "new");
    free(now);
}

// One text of each length: a reader must always get exactly one of them.
static bool is_whole(const std::string &s)
{
    if (s.size() == 1000)
        return s == std::string(1000, 'a');
    if (s.size() == 3000)
        return s == std::string(3000, 'b');
    return false;
}

TEST_F(Files, ReaderAndWriterProcessesNeverSeeATornFile)
{
    const std::string p = path("shared");
    const std::string a(1000, 'a'), b(3000, 'b');
    put(p, a);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int i = 0;; i++) {
            const std::string &t = i % 2 ? a : b;
            write_file(p.c_str(), t.data(), static_cast<uint32_t>(t.size()));
        }
    }
    int torn = 0;
    char buf[4096];
    for (int i = 0; i < 300; i++) {
        char *whole = read_file_to_buf(p.c_str());
        if (whole == nullptr || !is_whole(whole))
            torn++;
        free(whole);
        int32_t len = 0;
        if (read_file2(p.c_str(), &len, buf, sizeof buf) != 0 ||
            !is_whole(std::string(buf, static_cast<size_t>(len))))
            torn++;
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(torn, 0);
}

TEST_F(Files, FileMappingGrowsWithZerosAndIsShared)
{
    mapped_file one = {};
    const std::string p = path("map");
    one.path = p.c_str();
    one.length = 4096;
    CaptureStdout();
    ASSERT_EQ(map_file_to_buf(&one), 0);
    EXPECT_EQ(GetCapturedStdout(), "mmap file " + p + " offset:0 length:4096ld\n");
    ASSERT_NE(one.addr, nullptr);
    EXPECT_GT(one.fd, 0);
    EXPECT_EQ(size_of(p), 4096);
    const char *bytes = static_cast<const char *>(one.addr);
    EXPECT_EQ(std::string(bytes, 4096), std::string(4096, '\0'));

    // A second mapping of the whole file (length 0) sees the first's stores.
    mapped_file two = {};
    two.path = p.c_str();
    two.offset = 123;  // ignored for the whole file
    CaptureStdout();
    ASSERT_EQ(map_file_to_buf(&two), 0);
    GetCapturedStdout();
    EXPECT_EQ(two.length, 4096u);
    EXPECT_EQ(two.offset, 0);
    memcpy(one.addr, "shared!", 7);
    EXPECT_EQ(memcmp(two.addr, "shared!", 7), 0);
    EXPECT_EQ(unmap_file_to_buf(&two), 0);
    EXPECT_EQ(two.addr, nullptr);
    EXPECT_EQ(two.fd, 0);
    EXPECT_EQ(unmap_file_to_buf(&one), 0);
    char *on_disk = read_file_to_buf(p.c_str());
    ASSERT_NE(on_disk, nullptr);
    EXPECT_STREQ(on_disk, "shared!");
    free(on_disk);

    // The second page of a larger file: the page before and the bytes after
    // the mapped range stay in the file.
    put(p, std::string(12288, 'z'));
    mapped_file page = {};
    page.path = p.c_str();
    page.length = 4096;
    page.offset = 4096;
    CaptureStdout();
    ASSERT_EQ(map_file_to_buf(&page), 0);
    GetCapturedStdout();
    EXPECT_EQ(size_of(p), 12288);
    static_cast<char *>(page.addr)[0] = 'P';
    EXPECT_EQ(unmap_file_to_buf(&page), 0);
    char *after = read_file_to_buf(p.c_str());
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after[4095], 'z');
    EXPECT_EQ(after[4096], 'P');
    EXPECT_EQ(after[12287], 'z');
    free(after);
}

TEST_F(Files, MappingFailuresLeaveTheRecordUnmapped)
{
    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 6;
    mapped_file empty = {};
    const std::string p = path("new_empty");
    empty.path = p.c_str();
    CaptureStdout();
    EXPECT_EQ(map_file_to_buf(&empty), -1);  // zero bytes cannot be mapped
    GetCapturedStdout();
    EXPECT_EQ(empty.addr, nullptr);
    EXPECT_EQ(empty.fd, 0);
    EXPECT_TRUE(capture.contains("]mmap errno:22 "));

    mapped_file nowhere = {};
    const std::string bad = path("no/such/file");
    nowhere.path = bad.c_str();
    nowhere.length = 4096;
    CaptureStdout();
    EXPECT_EQ(map_file_to_buf(&nowhere), -1);
    EXPECT_EQ(map_devmem(&nowhere), -1);
    EXPECT_EQ(GetCapturedStdout(), "open " + bad + " fail\nopen " + bad + " fail\n");
    EXPECT_EQ(map_file_to_buf(nullptr), -1);
    EXPECT_EQ(map_devmem(nullptr), -1);
    EXPECT_EQ(unmap_file_to_buf(nullptr), -1);

    mapped_file zero = {};
    EXPECT_EQ(unmap_file_to_buf(&zero), 0);  // nothing mapped: nothing done
}

TEST(DevMem, DeviceMappingKeepsNoDescriptor)
{
    mapped_file dev = {};
    dev.path = "/dev/zero";
    dev.length = 8192;
    ASSERT_EQ(map_devmem(&dev), 0);
    ASSERT_NE(dev.addr, nullptr);
    EXPECT_EQ(dev.fd, 0);
    static_cast<char *>(dev.addr)[8191] = 1;  // readable and writable
    EXPECT_EQ(unmap_file_to_buf(&dev), 0);
    EXPECT_EQ(dev.addr, nullptr);

    lc_test::TraceCapture capture;
    dbgout_profile.lib_level = 6;
    dev.offset = 1;  // not page aligned: the mapping fails
    EXPECT_EQ(map_devmem(&dev), -1);
    EXPECT_EQ(dev.addr, nullptr);
    EXPECT_TRUE(capture.contains("[lib lib_strerror +"));
    EXPECT_TRUE(capture.contains("]mmap errno:22 Invalid argument\n"));
}
