// File helpers on real files: path joining, whole-file transfers under flock (also against a second process), shared
// mappings, and the mapping record.
#include "lc_test.h"

#include "lc_layout.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

LC_OFFSET(mapped_file, length, 4, 8);
LC_OFFSET(mapped_file, offset, 8, 16);
LC_OFFSET(mapped_file, fd, 12, 24);
LC_OFFSET(mapped_file, addr, 16, 32);
LC_SIZE(mapped_file, 20, 40);

class Files : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(&dir_[0]), nullptr); }
    void TearDown() override { EXPECT_EQ(system(("rm -rf " + dir_).c_str()), 0); }
    std::string path(const char *name) const { return dir_ + "/" + name; }
    static std::string read_back(const std::string &p)
    {
        char *text = read_file_to_buf(p.c_str());
        std::string s = text ? text : "(null)";
        free(text);
        return s;
    }
    lc_test::TraceCapture cap_;
    std::string dir_ = "/tmp/lc_files_XXXXXX";
};

TEST(CatFileName, JoinsWithOneSlashAndNeverCutsOrOverruns)
{
    const char *cases[][3] = {{"/tmp", "a.txt", "/tmp/a.txt"}, {"/tmp/", "a.txt", "/tmp/a.txt"},
                              {nullptr, "a.txt", "a.txt"},     {"/tmp", nullptr, "/tmp/"},
                              {"", "a.txt", "a.txt"},          {nullptr, nullptr, ""}};
    for (const auto &c : cases) {
        const size_t need = strlen(c[2]) + 1;
        for (size_t room : {need, need - 1}) {  // one byte short: empty, not cut
            char dst[16];
            memset(dst, '#', sizeof dst);
            cat_file_name(dst, static_cast<uint32_t>(room), c[0], c[1]);
            EXPECT_EQ(std::string(dst, room + 1),
                      (room == need ? c[2] + std::string(1, '\0') : std::string(room, '\0')) + '#')
                << c[2] << " in " << room;
        }
    }
}

// read_file2 gives the size even to a buffer too small, and copies no terminator; a fixed-size read fills what the
// file lacks with zeros; missing files, null arguments and files that cannot be created give null or -1; a write
// replaces the whole content, and a write that fails is not reported.
TEST_F(Files, WholeFileReadsAndWrites)
{
    const std::string a = path("a"), missing = path("missing"), nowhere = path("no/file");
    ASSERT_EQ(write_file(a.c_str(), "li\0ne", 5), 0);
    char buf[8] = "#######";
    int32_t len = -1;
    EXPECT_EQ(read_file2(a.c_str(), &len, buf, 5), -1) << "refused";
    EXPECT_EQ(len, 5) << "size given";
    EXPECT_EQ(buf[0], '#') << "nothing copied";
    EXPECT_EQ(read_file2(a.c_str(), &len, buf, 6), 0);
    EXPECT_EQ(std::string(buf, 6), std::string("li\0ne#", 6));
    ASSERT_EQ(write_file(a.c_str(), "abc", 3), 0);
    EXPECT_EQ(read_back(a), "abc");  // nothing left of the longer content
    EXPECT_EQ(read_file2(a.c_str(), &len, nullptr, 8), -1);
    EXPECT_EQ(len, 3);
    char *six = static_cast<char *>(read_file_fixbytes_to_buf(a.c_str(), 6)),
         *none = static_cast<char *>(read_file_fixbytes_to_buf(a.c_str(), 0));
    EXPECT_EQ(std::string(six, 6) + none[0], std::string("abc\0\0\0\0", 7));
    free(six), free(none);
    EXPECT_EQ(read_file_to_buf(missing.c_str()), nullptr);
    EXPECT_EQ(read_file2(missing.c_str(), &len, buf, 8), -1);
    EXPECT_EQ(len, 3) << "len left alone";
    EXPECT_EQ(cap_.count("]" + missing + " does not exist\n\n"), 2u);
    for (void *p : {read_file_fixbytes_to_buf(missing.c_str(), 4), read_file_fixbytes_to_buf(nullptr, 4),
                    (void *)read_file_to_buf(nullptr)})
        EXPECT_EQ(p, nullptr);
    for (int rc : {read_file2(nullptr, &len, buf, 8), read_file2(a.c_str(), nullptr, buf, 8),
                   write_file(a.c_str(), nullptr, 2), write_file(nowhere.c_str(), "x", 1), write_file(nullptr, "x", 1)})
        EXPECT_EQ(rc, -1);
    EXPECT_EQ(write_file("/dev/full", "x", 1), 0);
    EXPECT_EQ(write_file(a.c_str(), nullptr, 0), 0);  // empties the file
    EXPECT_EQ(read_back(a), "");
}

// A writer process alternates two lengths; every read gets one whole (never an empty file from a writer still waiting
// for the lock).
TEST_F(Files, LockedReadersNeverSeeATornOrEmptiedFile)
{
    const std::string p = path("shared"), a(1000, 'a'), b(3000, 'b');
    ASSERT_EQ(write_file(p.c_str(), a.data(), 1000), 0);
    const pid_t child = fork();
    if (child == 0)
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // ends with a test process that dies before it kills the writer
    for (int i = 0; child == 0; i++)
        write_file(p.c_str(), (i % 2 ? a : b).data(), i % 2 ? 1000 : 3000);
    int torn = 0;
    char buf[4096];
    for (int i = 0, len = 0; i < 300; i++) {
        const std::string whole = read_back(p);
        torn += (whole != a && whole != b) + (read_file2(p.c_str(), &len, buf, sizeof buf) != 0 ||
                                              std::string(buf, static_cast<size_t>(len)) != (len == 1000 ? a : b));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(torn, 0);
}

// A file mapping grows the file with zeros and is shared; map_devmem maps a range of any file it can open, shared,
// keeping no descriptor.  A range that cannot be mapped gives -1 (for map_devmem, with errno's trace); so does a file
// that cannot grow to the range (beyond the process's file size limit, with perror's line).  An unmapping or a close
// that fails gives -1 and perror's line, leaving the record for another try.
TEST_F(Files, MappingsAreSharedGrowTheFileWithZerosAndSayWhyTheyFail)
{
    testing::internal::CaptureStdout();  // the helpers print what they map
    testing::internal::CaptureStderr();
    const std::string p = path("map"), e = path("empty"), bad = path("no/file"), big = path("big");
    mapped_file one = {}, two = {}, dev = {}, empty = {}, nowhere = {}, large = {}, misaligned = {}, closed = {};
    one.path = two.path = dev.path = p.c_str();
    one.length = nowhere.length = large.length = 4096;
    ASSERT_EQ(map_file_to_buf(&one), 0);
    ASSERT_EQ(map_file_to_buf(&two), 0);  // length 0: the whole file
    EXPECT_EQ(std::string(static_cast<char *>(two.addr), two.length), std::string(4096, '\0'));
    memcpy(one.addr, "shared!", 7);
    EXPECT_EQ(memcmp(two.addr, "shared!", 7), 0);
    EXPECT_EQ(unmap_file_to_buf(&two) + unmap_file_to_buf(&one), 0);
    EXPECT_EQ(one.addr, nullptr);
    EXPECT_EQ(one.fd, 0);
    ASSERT_EQ(write_file(p.c_str(), std::string(8192, 'd').data(), 8192), 0);
    dev.length = dev.offset = 4096;
    ASSERT_EQ(map_devmem(&dev), 0);
    EXPECT_EQ(dev.fd, 0);
    memcpy(dev.addr, "mapped", 6);
    EXPECT_EQ(unmap_file_to_buf(&dev), 0);
    EXPECT_EQ(dev.addr, nullptr);
    EXPECT_EQ(read_back(p), std::string(4096, 'd') + "mapped" + std::string(4090, 'd'));

    empty.path = e.c_str();  // a new, empty file maps zero bytes: refused
    nowhere.path = bad.c_str();
    for (int rc : {map_file_to_buf(&empty), map_file_to_buf(&nowhere), map_devmem(&nowhere), map_devmem(nullptr),
                   map_file_to_buf(nullptr), unmap_file_to_buf(nullptr)})
        EXPECT_EQ(rc, -1);
    EXPECT_EQ(empty.addr, nullptr);
    EXPECT_EQ(empty.fd, 0);
    cap_.clear();
    dbgout_profile.lib_level = 6;
    dev.length = 0;
    EXPECT_EQ(map_devmem(&dev), -1);
    EXPECT_EQ(dev.addr, nullptr);
    EXPECT_EQ(cap_.texts(), (std::vector<std::string>{
                                lc_test::traced_tag("lib", "lib_common/lib_helpers.cpp", "lib_strerror", "%s errno:") +
                                "mmap errno:" + std::to_string(EINVAL) + " " + strerror(EINVAL) + "\n"}));

    large.path = big.c_str();
    struct rlimit saved, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    small = saved;
    small.rlim_cur = 1024;
    void (*const was)(int) = signal(SIGXFSZ, SIG_IGN);  // the write beyond the limit fails with EFBIG instead
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int rc = map_file_to_buf(&large);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, was);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(large.fd, 0);
    EXPECT_EQ(large.addr, nullptr);
    char page[2 * 4096];
    misaligned.addr = page + 1;  // munmap refuses an address inside a page
    misaligned.length = 16;
    closed.fd = 1000;  // no such descriptor
    EXPECT_EQ(unmap_file_to_buf(&misaligned) + unmap_file_to_buf(&closed), -2);
    EXPECT_EQ(misaligned.addr, page + 1);
    EXPECT_EQ(closed.fd, 1000);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("ftruncate: ") + strerror(EFBIG) + "\nmunmap: " +
                                                          strerror(EINVAL) + "\nclose: " + strerror(EBADF) + "\n");
}
