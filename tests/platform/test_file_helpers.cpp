// File helpers on real files: path joining, whole-file transfers under flock
// (also against a second process), and shared mappings.
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
        capture_.reset(new lc_test::TraceCapture);
        dbgout_profile.lib_level = 6;
    }
    void TearDown() override { EXPECT_EQ(system(("rm -rf " + dir_).c_str()), 0); }
    std::string path(const char *name) const { return dir_ + "/" + name; }
    static off_t size_of(const std::string &p)
    {
        struct stat st;
        return stat(p.c_str(), &st) == 0 ? st.st_size : -1;
    }
    static std::string read_back(const std::string &p)
    {
        char *text = read_file_to_buf(p.c_str());
        std::string out = text ? text : "(null)";
        free(text);
        return out;
    }
    std::string dir_;
    std::unique_ptr<lc_test::TraceCapture> capture_;
};

TEST(CatFileName, JoinsWithOneSlashAndNeverPassesDstsize)
{
    const char *cases[][4] = {{"/tmp", "a.txt", "/tmp/a.txt", "11"}, {"/tmp/", "a.txt", "/tmp/a.txt", "11"},
                              {nullptr, "a.txt", "a.txt", "6"},       {"/tmp", nullptr, "/tmp/", "6"},
                              {"", "a.txt", "a.txt", "6"},            {nullptr, nullptr, "", "1"}};
    for (const auto &c : cases) {
        size_t need = static_cast<size_t>(atoi(c[3]));
        char dst[16];
        memset(dst, '#', sizeof dst);
        cat_file_name(dst, static_cast<uint32_t>(need), c[0], c[1]);
        EXPECT_STREQ(dst, c[2]);
        EXPECT_EQ(dst[need], '#');
        // One byte short: left empty (zero-filled), never cut or overrun.
        memset(dst, '#', sizeof dst);
        cat_file_name(dst, static_cast<uint32_t>(need - 1), c[0], c[1]);
        EXPECT_EQ(std::string(dst, need), std::string(need - 1, '\0') + "#") << c[2];
    }
    cat_file_name(nullptr, 10, "/tmp", "a");
}

TEST_F(Files, ReadsAndWritesOfWholeFiles)
{
    const std::string a = path("a"), missing = path("missing");
    const std::string text("line\0two\n", 9);
    ASSERT_EQ(write_file(a.c_str(), text.data(), 9), 0);
    char *whole = read_file_to_buf(a.c_str());
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(std::string(whole, 10), text + '\0');
    free(whole);
    char *block = static_cast<char *>(read_file_fixbytes_to_buf(a.c_str(), 12));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::string(block, 12), text + std::string(3, '\0'));  // zeros past the end
    free(block);
    EXPECT_TRUE(capture_->contains("[lib read_file_to_buf +"));
    EXPECT_TRUE(capture_->contains("[lib read_file_fixbytes_to_buf +"));
    EXPECT_TRUE(capture_->contains("]" + a + "\n"));

    char buf[16];
    int32_t len = -1;
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(read_file2(a.c_str(), &len, buf, 9), -1);
    EXPECT_EQ(len, 9);  // the size it needs, although the read is refused
    EXPECT_EQ(buf[0], '#');
    EXPECT_EQ(read_file2(a.c_str(), &len, buf, 10), 0);
    EXPECT_EQ(std::string(buf, 10), text + '#');  // no terminator

    // Shorter content leaves nothing of the longer; 0 bytes empty the file.
    ASSERT_EQ(write_file(a.c_str(), "ab", 2), 0);
    EXPECT_EQ(read_back(a), "ab");
    EXPECT_EQ(write_file(a.c_str(), nullptr, 2), -1);  // refused, file untouched
    EXPECT_EQ(write_file(a.c_str(), "", 0), 0);
    EXPECT_EQ(read_back(a), "");
    EXPECT_EQ(write_file(path("no/dir").c_str(), "x", 1), -1);

    len = 77;
    EXPECT_EQ(read_file_to_buf(missing.c_str()), nullptr);
    EXPECT_EQ(read_file2(missing.c_str(), &len, buf, 16), -1);
    EXPECT_EQ(len, 77);
    EXPECT_EQ(capture_->count("]" + missing + " does not exist\n\n"), 2u);
    EXPECT_EQ(read_file_fixbytes_to_buf(missing.c_str(), 4), nullptr);
    EXPECT_EQ(read_file2(a.c_str(), nullptr, buf, 16), -1);
    EXPECT_EQ(read_file_to_buf(nullptr), nullptr);

    FILE *f = fopen(a.c_str(), "a");
    ASSERT_NE(f, nullptr);
    lib_fsync_for_FILE(f);
    fclose(f);
    lib_fsync_for_FILE(nullptr);
}

TEST_F(Files, LockedReadersNeverSeeATornOrEmptiedFile)
{
    const std::string p = path("shared");
    ASSERT_EQ(write_file(p.c_str(), "old content", 11), 0);
    // A writer waiting for the lock must not empty the file meanwhile.
    int fd = open(p.c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    pid_t child = fork();
    if (child == 0)
        _exit(write_file(p.c_str(), "new", 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(size_of(p), 11);
    flock(fd, LOCK_UN);  // the child shares this open file: unlock, not close
    close(fd);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(read_back(p), "new");

    // A writer process alternates two lengths; every read gets one whole.
    const std::string a(1000, 'a'), b(3000, 'b');
    child = fork();
    if (child == 0)
        for (int i = 0;; i++)
            write_file(p.c_str(), (i % 2 ? a : b).data(), i % 2 ? 1000 : 3000);
    int torn = 0;
    char buf[4096];
    for (int i = 0; i < 300; i++) {
        std::string whole = read_back(p);
        int32_t len = 0;
        torn += whole != a && whole != b && whole != "new";
        if (read_file2(p.c_str(), &len, buf, sizeof buf) == 0) {
            std::string got(buf, static_cast<size_t>(len));
            torn += got != a && got != b && got != "new";
        }
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(torn, 0);
}

TEST_F(Files, FileMappingsGrowWithZerosAndAreShared)
{
    const std::string p = path("map");
    mapped_file one = {}, two = {};
    one.path = two.path = p.c_str();
    one.length = 4096;
    two.offset = 123;  // ignored when the whole file is mapped
    CaptureStdout();
    ASSERT_EQ(map_file_to_buf(&one), 0);
    ASSERT_EQ(map_file_to_buf(&two), 0);  // length 0: the whole file
    EXPECT_EQ(GetCapturedStdout(), "mmap file " + p + " offset:0 length:4096ld\nmmap file " + p +
                                       " offset:0 length:4096ld\n");
    EXPECT_EQ(size_of(p), 4096);
    EXPECT_EQ(two.length, 4096u);
    EXPECT_GT(one.fd, 0);
    EXPECT_EQ(std::string(static_cast<char *>(one.addr), 4096), std::string(4096, '\0'));
    memcpy(one.addr, "shared!", 7);
    EXPECT_EQ(memcmp(two.addr, "shared!", 7), 0);
    EXPECT_EQ(unmap_file_to_buf(&two), 0);
    EXPECT_EQ(unmap_file_to_buf(&one), 0);
    EXPECT_TRUE(one.addr == nullptr && one.fd == 0);
    EXPECT_EQ(read_back(p), "shared!");

    // The middle page of a larger file: what lies beyond stays in the file.
    ASSERT_EQ(write_file(p.c_str(), std::string(12288, 'z').data(), 12288), 0);
    one.length = 4096;
    one.offset = 4096;
    CaptureStdout();
    ASSERT_EQ(map_file_to_buf(&one), 0);
    static_cast<char *>(one.addr)[0] = 'P';
    EXPECT_EQ(unmap_file_to_buf(&one), 0);
    EXPECT_EQ(read_back(p), std::string(4096, 'z') + "P" + std::string(8191, 'z'));

    // A new, empty file maps zero bytes: refused, the record stays unmapped.
    mapped_file empty = {}, nowhere = {}, zero = {};
    const std::string e = path("empty"), bad = path("no/file");
    empty.path = e.c_str();
    nowhere.path = bad.c_str();
    nowhere.length = 4096;
    EXPECT_EQ(map_file_to_buf(&empty), -1);
    EXPECT_TRUE(empty.addr == nullptr && empty.fd == 0);
    EXPECT_TRUE(capture_->contains("]mmap errno:22 Invalid argument\n"));
    EXPECT_EQ(map_file_to_buf(&nowhere), -1);
    EXPECT_EQ(map_devmem(&nowhere), -1);
    EXPECT_NE(GetCapturedStdout().find("open " + bad + " fail\nopen " + bad + " fail\n"), std::string::npos);
    EXPECT_EQ(map_file_to_buf(nullptr), -1);
    EXPECT_EQ(unmap_file_to_buf(nullptr), -1);
    EXPECT_EQ(unmap_file_to_buf(&zero), 0);
}

TEST_F(Files, DeviceMappingKeepsNoDescriptor)
{
    mapped_file dev = {};
    dev.path = "/dev/zero";
    dev.length = 8192;
    ASSERT_EQ(map_devmem(&dev), 0);
    EXPECT_EQ(dev.fd, 0);
    static_cast<char *>(dev.addr)[8191] = 1;  // readable and writable
    EXPECT_EQ(unmap_file_to_buf(&dev), 0);
    dev.offset = 1;  // not page aligned: the mapping fails
    EXPECT_EQ(map_devmem(&dev), -1);
    EXPECT_EQ(dev.addr, nullptr);
    EXPECT_TRUE(capture_->contains("[lib lib_strerror +"));
    EXPECT_TRUE(capture_->contains("]mmap errno:22 Invalid argument\n"));
}
